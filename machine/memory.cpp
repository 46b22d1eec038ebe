// Paged process memory: byte resolution, value access, block copy and fill,
// page copies between processes.
#include "machine/memory.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/debug_log.h"
#include "base/ram_layout.h"

static constexpr uint32_t addr_mask = 0xFFFFFF;

static int page_of(uint32_t a) { return int((a >> 12) & 0xFFF); }
static int offset_of(uint32_t a) { return int(a & 0xFFF); }

// The process's own page p, allocated zero-filled when missing. An absent page
// (mapped length 0) is made present on its own block.
static uint8_t *own_page(proc_memory &m, int p) {
  if (!m.own_page[p]) {
    uint8_t *block = static_cast<uint8_t *>(calloc(PROC_PAGE_SIZE, 1));
    if (!block) {
      fprintf(stderr, "** out of memory allocating a process page\n");
      abort();
    }
    m.own_page[p] = block;
    if (m.mapped_length[p] == 0) {
      m.page_pointer[p] = block;
      m.mapped_length[p] = PROC_PAGE_SIZE;
    }
    m.page_bytes += PROC_PAGE_SIZE;
  }
  INVARIANT(m.mapped_length[p] > 0 && m.page_pointer[p] != nullptr);
  return m.own_page[p];
}

// Where the byte at address a lives; creates the own page when needed.
static uint8_t *resolve(proc_memory &m, uint32_t a) {
  int p = page_of(a), o = offset_of(a);
  // A page shows at most one page of bytes, and shows them from somewhere.
  INVARIANT(m.mapped_length[p] <= PROC_PAGE_SIZE);
  INVARIANT(m.mapped_length[p] == 0 || m.page_pointer[p] != nullptr);
  if (o < m.mapped_length[p]) return m.page_pointer[p] + o;
  return own_page(m, p) + o;
}

// The end of the contiguous region holding offset o of page p: the mapped
// length when o lies below it, else the page's end.
static int region_end(const proc_memory &m, uint32_t a) {
  int p = page_of(a), o = offset_of(a);
  return o < m.mapped_length[p] ? m.mapped_length[p] : PROC_PAGE_SIZE;
}

// The byte at address a as read by the running process: its own reads create
// the pages they touch; a read of another process's page that does not exist
// yields 0 and leaves that memory as it was.
static uint8_t read_byte(proc *p, uint32_t a) {
  const proc_memory &m = p->mem;
  int pg = page_of(a), o = offset_of(a);
  if (p != cproc && o >= m.mapped_length[pg] && !m.own_page[pg]) return 0;
  return *resolve(p->mem, a);
}

static uint64_t read_le(proc *p, uint32_t a, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; i++) v |= uint64_t(read_byte(p, a + uint32_t(i))) << (8 * i);
  return v;
}

static void write_byte(proc_memory &m, uint32_t a, uint8_t v) {
  m.page_flags[page_of(a)] = PAGE_WRITTEN;
  *resolve(m, a) = v;
}

static void write_le(proc *p, uint32_t a, uint64_t v, int n) {
  for (int i = 0; i < n; i++) write_byte(p->mem, a + uint32_t(i), uint8_t(v >> (8 * i)));
}

int32_t peek_proc(proc *p, int32_t addr) { return p ? int32_t(read_le(p, uint32_t(addr), 1)) : 0; }
int32_t peek2_proc(proc *p, int32_t addr) {
  return p ? int32_t(int16_t(read_le(p, uint32_t(addr), 2))) : 0;
}
int32_t peek4_proc(proc *p, int32_t addr) {
  return p ? int32_t(uint32_t(read_le(p, uint32_t(addr), 4))) : 0;
}

int32_t peek(int32_t addr) { return peek_proc(cproc, addr); }
int32_t peek2(int32_t addr) { return peek2_proc(cproc, addr); }
int32_t peek4(int32_t addr) { return peek4_proc(cproc, addr); }
int64_t peek8(int32_t addr) { return cproc ? int64_t(read_le(cproc, uint32_t(addr), 8)) : 0; }

void poke_proc(proc *p, int32_t addr, int32_t value) {
  if (p) write_le(p, uint32_t(addr), uint32_t(value), 1);
}
void poke2_proc(proc *p, int32_t addr, int32_t value) {
  if (p) write_le(p, uint32_t(addr), uint32_t(value), 2);
}

void poke(int32_t addr, int32_t value) { poke_proc(cproc, addr, value); }
void poke2(int32_t addr, int32_t value) { poke2_proc(cproc, addr, value); }
void poke4(uint32_t addr, uint32_t value) {
  if (cproc) write_le(cproc, addr, value, 4);
}
void poke8(uint32_t addr, uint64_t value) {
  if (cproc) write_le(cproc, addr, value, 8);
}

// Byte-by-byte copy for overlapping ranges, backwards when the destination
// lies ahead of the source so every source byte is read before it is
// overwritten.
static void copy_bytes(proc_memory &m, uint32_t dest, uint32_t src, int32_t length,
                       bool backwards) {
  for (int32_t k = 0; k < length; k++) {
    uint32_t i = uint32_t(backwards ? length - 1 - k : k);
    uint8_t v = *resolve(m, src + i);
    write_byte(m, dest + i, v);
  }
}

int32_t kvd_memcpy(int32_t dest, int32_t src, int32_t length) {
  if (dest == src || !cproc) return 0;
  proc_memory &m = cproc->mem;
  uint32_t d = uint32_t(dest), s = uint32_t(src);
  // How far the destination lies ahead of the source on the 16 MiB ring; a
  // copy whose destination starts inside its own source must run backwards.
  uint32_t ahead = (d - s) & addr_mask;
  bool dest_inside_source = length > 0 && ahead != 0 && ahead < uint32_t(length);
  // The ranges as given (32-bit sums, before reduction modulo 16 MiB).
  bool disjoint = int32_t(d + uint32_t(length)) <= src || int32_t(s + uint32_t(length)) <= dest;
  if (disjoint && !dest_inside_source) {
    int32_t cost = 0;
    while (length > 0) {
      int32_t chunk = length;
      int dl = region_end(m, d) - offset_of(d), sl = region_end(m, s) - offset_of(s);
      if (chunk > dl) chunk = dl;
      if (chunk > sl) chunk = sl;
      uint8_t *from = resolve(m, s);
      uint8_t *to = resolve(m, d);
      // Source and destination may share host storage (the ring wrapping into
      // its own source, or two pages mapped onto the same bytes).
      memmove(to, from, size_t(chunk));
      m.page_flags[page_of(d)] = PAGE_WRITTEN;
      cost += chunk / 128 + 1;
      d += uint32_t(chunk);
      s += uint32_t(chunk);
      length -= chunk;
    }
    return cost;
  }
  if (length <= 0) return 0;
  copy_bytes(m, d, s, length, dest_inside_source);
  return length / 8;
}

int32_t kvd_memset(int32_t addr, int32_t value, int32_t length) {
  if (length < 1 || !cproc) return 0;
  proc_memory &m = cproc->mem;
  uint32_t a = uint32_t(addr);
  int32_t cost = 0;
  while (length > 0) {
    int32_t chunk = length;
    int room = region_end(m, a) - offset_of(a);
    if (chunk > room) chunk = room;
    memset(resolve(m, a), value & 255, size_t(chunk));
    m.page_flags[page_of(a)] = PAGE_WRITTEN;
    cost += chunk / 128 + 1;
    a += uint32_t(chunk);
    length -= chunk;
  }
  return cost;
}

void kvd_pwrite(proc *p, int32_t addr, const void *bytes, int32_t length) {
  if (length < 1 || !p) return;
  proc_memory &m = p->mem;
  uint32_t a = uint32_t(addr);
  const uint8_t *from = static_cast<const uint8_t *>(bytes);
  while (length > 0) {
    int32_t chunk = length;
    int room = region_end(m, a) - offset_of(a);
    if (chunk > room) chunk = room;
    memcpy(resolve(m, a), from, size_t(chunk));
    m.page_flags[page_of(a)] = PAGE_WRITTEN;
    a += uint32_t(chunk);
    from += chunk;
    length -= chunk;
  }
}

void kvd_read_block(int32_t addr, void *bytes, int32_t length) {
  if (length < 1 || !cproc) return;
  proc_memory &m = cproc->mem;
  uint32_t a = uint32_t(addr);
  uint8_t *to = static_cast<uint8_t *>(bytes);
  while (length > 0) {
    int32_t chunk = length;
    int room = region_end(m, a) - offset_of(a);
    if (chunk > room) chunk = room;
    memmove(to, resolve(m, a), size_t(chunk));
    a += uint32_t(chunk);
    to += chunk;
    length -= chunk;
  }
}

// Copies bytes [0, 4096) of page p region by region, so that a page mapped
// onto a partial userdata tail is never read or written past its end.
static void copy_page(proc_memory &from, proc_memory &to, int p) {
  uint32_t base = uint32_t(p) << 12;
  int o = 0;
  while (o < PROC_PAGE_SIZE) {
    uint32_t a = base + uint32_t(o);
    int chunk = region_end(from, a) - o;
    int room = region_end(to, a) - o;
    if (chunk > room) chunk = room;
    memmove(resolve(to, a), resolve(from, a), size_t(chunk));
    o += chunk;
  }
}

void kvd_pmemcpy_pages(proc *src, proc *dest, int32_t start, int32_t end) {
  if (!src || !dest) return;
  int first = start >> 12, last = end >> 12;
  if (first < 0) first = 0;
  if (last > PROC_NUM_PAGES) last = PROC_NUM_PAGES;
  proc_memory &from = src->mem, &to = dest->mem;
  for (int p = first; p < last; p++) {
    if (!from.page_pointer[p]) continue;
    uint8_t *own = own_page(to, p);
    // A plain page (not mapped onto a userdata) shows its own block whole.
    bool mapped = to.page_pointer[p] != own && to.mapped_length[p] > 0;
    if (!mapped) {
      to.page_pointer[p] = own;
      to.mapped_length[p] = PROC_PAGE_SIZE;
    }
    copy_page(from, to, p);
  }
}

void proc_memory_init(proc *p) {
  proc_memory &m = p->mem;
  for (uint32_t i = 0; i < RAM_INITIAL_PAGES; i++) own_page(m, i);
  for (uint32_t i = 0; i < RAM_COLOUR_TABLE_PAGES; i++)
    m.page_flags[RAM_COLOUR_TABLES / RAM_PAGE_SIZE + i] = PAGE_COLTAB_CHANGED;
}

void proc_memory_free(proc *p) {
  proc_memory &m = p->mem;
  for (int i = 0; i < PROC_NUM_PAGES; i++)
    if (m.own_page[i]) free(m.own_page[i]);
  memset(m.own_page, 0, sizeof m.own_page);
  memset(m.page_pointer, 0, sizeof m.page_pointer);
  memset(m.mapped_length, 0, sizeof m.mapped_length);
  memset(m.page_flags, 0, sizeof m.page_flags);
  memset(m.mapped_page_bits, 0, sizeof m.mapped_page_bits);
  m.mapped_write_seen = nullptr;
  m.mapped_marks = 0;
  m.page_bytes = 0;
}
