// Mapping a typed array into the current process's memory: _map_ram points
// a run of pages at the array's elements, _unmap_ram points them back at the
// process's own pages. Each mapped page keeps its array alive (keep_alive.h),
// so a mapping never outlives the bytes it shows.
#include <algorithm>

#include "base/cpu_budget.h"
#include "base/ram_layout.h"
#include "machine/process.h"
#include "lang/args.h"
#include "userdata/udata.h"
#include "kernel/api.h"
#include "kernel/keep_alive.h"

// A number or numeric string truncated toward zero; `def` for anything else.
static int64_t trunc_arg(lua_State *L, int index, int64_t def) {
  if (lua_isinteger(L, index)) return lua_tointeger(L, index);
  int t = lua_type(L, index);
  if (t != LUA_TNUMBER && t != LUA_TSTRING) return def;
  int isnum = 0;
  lua_Number n = lua_tonumberx(L, index, &isnum);
  return isnum ? kvd_double_to_i64(n) : def;
}

static void set_mapped_bit(proc_memory &m, int page, bool on) {
  uint64_t bit = uint64_t(1) << (page & 63);
  if (on)
    m.mapped_page_bits[page >> 6] |= bit;
  else
    m.mapped_page_bits[page >> 6] &= ~bit;
}

static bool mapped_bit(const proc_memory &m, int page) {
  return (m.mapped_page_bits[page >> 6] >> (page & 63)) & 1;
}

// Records where ud's bytes now show, so that a write through the record marks
// those pages (udata_mark_mapped_pages); a record seen at a second run marks
// every mapped page instead, and a write into one of its pages may show at
// another.
static void note_mapped_run(proc_memory &m, udata *ud, int first, int last) {
  uint32_t run = uint32_t(first) | uint32_t(last - first) << 12;
  if (ud->mapped[0] == UDATA_NOT_MAPPED) {
    ud->mapped[0] = UDATA_MAPPED_ONCE;
    ud->map_run = run;
  } else if (ud->mapped[0] != UDATA_MAPPED_ONCE || ud->map_run != run) {
    ud->mapped[0] = UDATA_MAPPED_MORE;
    m.mapped_marks |= MAPPED_ALIASED;
  }
  // Another record may now lie where the one marked last was.
  m.mapped_write_seen = nullptr;
}

int lua54__map_ram(lua_State *L) {
  udata *ud = to_udata(L, 1);
  if (!ud || !cproc) return 0;
  int64_t address = trunc_arg(L, 2, 0);
  if (address == RAM_MAP) {
    bool is_map = (ud->utype & 31) == UTYPE_I16;
    keep_alive_set(L, KEEP_CURRENT_MAP, is_map ? 1 : 0);
    cproc->current_map = is_map ? ud : nullptr;
  }
  if ((ud->utype & 31) == UTYPE_F64) return 0;
  int64_t bytes = int64_t(udata_bytes(ud));
  int64_t offset = trunc_arg(L, 3, 0) & ~int64_t(3);
  if (offset < 0 || offset >= bytes) return 0;
  int64_t length = lua_isnoneornil(L, 4) ? bytes - offset : trunc_arg(L, 4, 0);
  if (length <= 0) {
    lua_pushinteger(L, length);
    return 1;
  }
  int first = int((uint64_t(address) & (RAM_SIZE - RAM_PAGE_SIZE)) / RAM_PAGE_SIZE);
  // No run of pages passes the memory's size, so the count is formed from a
  // length held at that size and cannot overflow.
  int64_t pages = std::max<int64_t>(
      1, (std::min<int64_t>(length, RAM_SIZE) + RAM_PAGE_SIZE - 1) / RAM_PAGE_SIZE);
  // Never past the bytes the array has after the offset.
  int64_t remaining = std::min(length, bytes - offset);
  uint8_t *source = udata_elements(ud) + offset;
  proc_memory &m = cproc->mem;
  // The pages every process has from creation are mapped whole or not at all.
  bool whole_pages_only = uint32_t(first) < RAM_INITIAL_PAGES;
  int mapped_first = -1, mapped_last = -1;
  for (int64_t k = 0; k < pages && first + k < int64_t(RAM_PAGES) && remaining > 0; k++) {
    int page = int(first + k);
    int64_t take = std::min<int64_t>(remaining, RAM_PAGE_SIZE);
    if (!whole_pages_only || take == RAM_PAGE_SIZE) {
      if (mapped_first < 0) mapped_first = page;
      mapped_last = page;
      keep_alive_set(L, KEEP_PAGES + page, 1);
      m.page_pointer[page] = source;
      m.mapped_length[page] = int32_t(take);
      set_mapped_bit(m, page, true);
      m.page_flags[page] = PAGE_WRITTEN;
    }
    source += RAM_PAGE_SIZE;
    remaining -= RAM_PAGE_SIZE;
  }
  if (mapped_first >= 0) note_mapped_run(m, ud, mapped_first, mapped_last);
  lua_pushinteger(L, length);
  return 1;
}

int lua54__unmap_ram_by_userdata(lua_State *L) {
  udata *ud = to_udata(L, 1);
  if (!ud || !cproc) return 0;
  // The whole block, not the present shape: a record reshaped smaller after
  // mapping still owns the pages that point into the rest of its block.
  int64_t bytes = int64_t(lua_rawlen(L, 1) - sizeof(udata));
  int64_t address = kvd_intp(L, 2, -1);
  int64_t length = std::min(bytes, kvd_intp(L, 3, bytes));
  int first = 0, last = int(RAM_PAGES) - 1;
  if (address >= 0) {
    // The address is taken modulo 16 MiB, as _map_ram takes it.
    int64_t a = address & (RAM_SIZE - 1);
    first = int(a / RAM_PAGE_SIZE);
    // A length of 0 or less is an empty range; a positive one is at most the
    // record's bytes, so the end is formed without overflow.
    last =
        length < 1 ? -1 : int(std::min<int64_t>((a + length - 1) / RAM_PAGE_SIZE, RAM_PAGES - 1));
  }
  // A page belongs to ud when it points anywhere into the record, whatever
  // length was asked for.
  const uint8_t *start = reinterpret_cast<const uint8_t *>(ud);
  const uint8_t *end = udata_elements(ud) + bytes;
  proc_memory &m = cproc->mem;
  bool some_left = false;
  for (int page = 0; page < int(RAM_PAGES); page++) {
    if (!mapped_bit(m, page) || m.page_pointer[page] < start || m.page_pointer[page] >= end)
      continue;
    if (page < first || page > last) {
      some_left = true;
      continue;
    }
    // Back to the process's own page, whole; absent when it never had one.
    m.page_pointer[page] = m.own_page[page];
    m.mapped_length[page] = m.own_page[page] ? int32_t(RAM_PAGE_SIZE) : 0;
    set_mapped_bit(m, page, false);
    m.page_flags[page] = PAGE_WRITTEN;
    keep_alive_set(L, KEEP_PAGES + page, 0);
  }
  spend_cpu(4);
  lua_pushboolean(L, !some_left);
  return 1;
}
