// The sorted file table, pfopen and pfclose.
#include "pdisk/pfile.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "base/clock.h"
#include "base/cpu_budget.h"
#include "base/debug_log.h"
#include "base/klog.h"
#include "machine/memory_room.h"
#include "machine/process.h"
#include "pod/murmur3.h"
#include "pdisk/cart_mount.h"
#include "pdisk/hooks.h"
#include "pdisk/host_file.h"
#include "pdisk/mount.h"
#include "pdisk/path.h"

pfile_entry *pfile[PDISK_MAX_PFILES];
int32_t num_pfiles;
int pending_sync;
int32_t last_sync_t;
int32_t total_pdisk_calls;

static uint32_t name_hash(const char *name, size_t len) {
  uint32_t h = 0;
  murmurhash3_x86_32(name, (int)len, 0, &h);
  return h;
}

static bool is_live(const pfile_entry *f) { return f && f->kind != PFILE_EMPTY; }

static void uncharge_writer(pfile_entry *f) {
  if (f->writer == 0) return;
  if (proc *p = get_process(f->writer)) p->file_bytes -= f->charged;
  f->writer = 0;
  f->charged = 0;
}

// What a RAM file holds: its record, its name and its data's capacity.
static int64_t ram_file_cost(const char *origin, int64_t capacity) {
  return int64_t(sizeof(pfile_entry)) + int64_t(strlen(origin)) + capacity;
}

void pfile_charge_writer(pfile_entry *f) {
  if (!f || f->kind != PFILE_RAM || !f->data) return;
  uncharge_writer(f);
  if (!cproc) return;
  // The data is held at its size: a buffer that grew (or kept the room of
  // longer contents) would hold memory nobody is charged for.
  pbuffer *d = f->data;
  if (d->capacity > uint64_t(d->length) + 1) {
    pbuffer *fit = create_buffer_2(d->length, 'd');
    bwrite(d->data, 1, d->length, fit);
    fit->cursor = d->cursor < d->length ? d->cursor : d->length;
    destroy_buffer(d);
    f->data = fit;
  }
  f->writer = cproc->id;
  f->charged = ram_file_cost(to_cstr(f->origin), int64_t(f->data->capacity));
  cproc->file_bytes += f->charged;
}

void pfile_charge_writer_at(const char *path) {
  uint32_t kind = 0;
  pbuffer *origin = resolve_to_origin(path, &kind, 0);
  if (origin->length > 0 && kind == MOUNT_RAM)
    pfile_charge_writer(get_ram_file_by_name(to_cstr(origin)));
  destroy_buffer(origin);
}

bool pfile_write_fits(const char *path, int64_t bytes) {
  if (!cproc) return true;
  uint32_t kind = 0;
  pbuffer *origin = resolve_to_origin(path, &kind, 0);
  bool fits = true;
  if (origin->length > 0 && kind == MOUNT_RAM) {
    const pfile_entry *f = get_ram_file_by_name(to_cstr(origin));
    int64_t already = f && f->writer == cproc->id ? f->charged : 0;
    fits = ram_file_cost(to_cstr(origin), bytes + 1) - already <= memory_room_left();
  }
  destroy_buffer(origin);
  return fits;
}

void pfile_release(pfile_entry *f) {
  if (!f) return;
  uncharge_writer(f);
  if (f->host_file) host_write_abandon(f->host_file, f->host_tmp_path);
  if (f->name != f->origin) destroy_buffer(f->name);
  destroy_buffer(f->origin);
  destroy_buffer(f->data);
  destroy_buffer(f->host_tmp_path);
  *f = pfile_entry{};
}

void pfile_init() {
  static bool done;
  if (done) return;
  done = true;
  // The table starts zeroed (static storage); clearing it again would touch
  // all of its 2 MiB at start-up.
  num_pfiles = 0;
  pdisk_clear_mounts();
}

void pfile_reset() {
  for (int i = 0; i < num_pfiles; i++) {
    pfile_release(pfile[i]);
    free(pfile[i]);
    pfile[i] = nullptr;
  }
  num_pfiles = 0;
  pdisk_clear_mounts();
}

// Bounds [lo, hi] of the slots that can hold name, from one comparison per
// 1024 slots. With `exact`, a sampled record named `name` is reported there.
static void coarse_bounds(const char *name, int *lo, int *hi, int *exact) {
  *lo = 0;
  *hi = num_pfiles - 1;
  if (exact) *exact = -1;
  for (int s = 0; s < num_pfiles; s += 1024) {
    if (!is_live(pfile[s])) continue;
    int c = strcmp(to_cstr(pfile[s]->name), name);
    if (exact && c == 0) {
      *exact = s;
      return;
    }
    if (c <= 0) *lo = s;
    if (c >= 0) {
      *hi = s;
      return;
    }
  }
}

pfile_entry *pfile_insert(pbuffer *name, uint32_t kind, pbuffer *origin) {
  // Closed records hold slots until a sweep: the table is full only when a
  // sweep frees none.
  if (num_pfiles >= PDISK_MAX_PFILES) sweep_empty_pfiles();
  if (num_pfiles >= PDISK_MAX_PFILES) return nullptr;
  const char *n = to_cstr(name);
  int lo, hi;
  coarse_bounds(n, &lo, &hi, nullptr);
  int slot = hi + 1;
  for (int i = lo; i <= hi; i++)
    if (is_live(pfile[i]) && strcmp(to_cstr(pfile[i]->name), n) > 0) {
      slot = i;
      break;
    }
  // The table stays sorted by name: the record goes after every live record
  // whose name is not greater.
  INVARIANT(slot >= 0 && slot <= num_pfiles && num_pfiles < PDISK_MAX_PFILES);
  INVARIANT(slot == 0 || !is_live(pfile[slot - 1]) ||
            strcmp(to_cstr(pfile[slot - 1]->name), n) <= 0);
  auto *f = (pfile_entry *)calloc(1, sizeof(pfile_entry));
  memmove(&pfile[slot + 1], &pfile[slot], sizeof(pfile[0]) * (num_pfiles - slot));
  pfile[slot] = f;
  num_pfiles++;
  f->name = name;
  f->name_hash = name_hash(n, name->length);
  f->kind = kind;
  f->origin = origin;
  return f;
}

int get_index_by_name(const char *name) {
  int lo, hi, exact;
  coarse_bounds(name, &lo, &hi, &exact);
  if (exact >= 0) return exact;
  size_t len = strlen(name);
  uint32_t h = name_hash(name, len);
  for (int i = lo; i <= hi; i++) {
    const pfile_entry *f = pfile[i];
    if (is_live(f) && f->name_hash == h && (size_t)f->name->length == len &&
        memcmp(f->name->data, name, len) == 0)
      return i;
  }
  return -1;
}

pfile_entry *get_ram_file_by_index(int index) {
  if (index < 0 || index >= num_pfiles || index > PDISK_MAX_PFILES - 1) return nullptr;
  pfile_entry *f = pfile[index];
  return (f && f->kind == PFILE_RAM) ? f : nullptr;
}

pfile_entry *get_ram_file_by_name(const char *name) {
  return get_ram_file_by_index(get_index_by_name(name));
}

void sweep_empty_pfiles() {
  int out = 0;
  for (int i = 0; i < num_pfiles; i++) {
    if (is_live(pfile[i])) {
      pfile[out++] = pfile[i];
    } else {
      pfile_release(pfile[i]);
      free(pfile[i]);
    }
  }
  for (int i = out; i < num_pfiles; i++) pfile[i] = nullptr;
  INVARIANT(out <= num_pfiles);
  num_pfiles = out;
}

int32_t pdisk_num_pfiles() { return num_pfiles; }

int pdisk_count_slots_by_kind(uint32_t kind) {
  int n = 0;
  for (int i = 0; i < num_pfiles; i++) n += (pfile[i] && pfile[i]->kind == kind);
  return n;
}

// Reopening an existing RAM file: "w" empties it, "a" appends at its end,
// anything else reads from the start.
static pfile_entry *ram_record_reopen(pfile_entry *f, const char *mode) {
  f->data->cursor = 0;
  if (mode[0] == 'w')
    f->data->length = 0;
  else if (mode[0] == 'a')
    f->data->cursor = f->data->length;
  f->mode[0] = mode[0];
  f->mode[1] = mode[0] ? mode[1] : 0;
  return f;
}

static void report_table_full() {
  printf("** too many files **\n");
  fflush(stdout);
  klog("** too many files **\n");
}

// Opens the host side of a new host record. False when the host refuses.
static bool open_host_side(pfile_entry *f, const char *mode) {
  const char *host_path = to_cstr(f->origin);
  if (mode[0] == 'w' || mode[0] == 'a') {
    f->host_file = host_write_begin(host_path, &f->host_tmp_path);
    f->data = create_buffer_2(1024, 'd');
    return f->host_file != nullptr;
  }
  if (mode[1] == 'e') {
    if (!host_file_is_readable(host_path)) return false;
    f->data = create_buffer_2(32, 'd');
    spend_cpu(16);
    return true;
  }
  f->data = create_buffer_2(1024, 'd');
  if (host_file_read(host_path, f->data, mode[1] == 'm' ? 65536 : -1) != 0) return false;
  spend_cpu(f->data->length / 8);
  return true;
}

pfile_entry *pfopen(const char *path, const char *mode) {
  total_pdisk_calls++;
  if (!mode || (mode[0] != 'r' && mode[0] != 'w' && mode[0] != 'a')) return nullptr;
  pbuffer *canon = normalise_kavelund_path(path);
  if (!canon) return nullptr;
  uint32_t kind = 0;
  pbuffer *origin = resolve_to_origin(to_cstr(canon), &kind, mode[1] == 'f');
  if (origin->length == 0) {
    destroy_buffer(canon);
    destroy_buffer(origin);
    return nullptr;
  }
  if (mode[0] == 'r' && mode[1] == 'f') flush_dirty_mounts_for_whole_read();
  if (mode[0] != 'r' && cart_change_refused(to_cstr(canon), to_cstr(origin), kind, false)) {
    destroy_buffer(canon);
    destroy_buffer(origin);
    return nullptr;
  }

  int idx = get_index_by_name(to_cstr(origin));
  if (idx >= 0 && pfile[idx]->kind == PFILE_RAM) {
    pfile_entry *f = pfile[idx];
    destroy_buffer(canon);
    destroy_buffer(origin);
    if (f->attributes & PFILE_ATTR_FOLDER) return nullptr;
    return ram_record_reopen(f, mode);
  }

  pfile_entry *f = nullptr;
  if (kind == MOUNT_RAM) {
    destroy_buffer(canon);
    if (mode[0] == 'r') {
      destroy_buffer(origin);
      return nullptr;
    }
    f = pfile_insert(origin, PFILE_RAM, origin);
    if (!f) {
      destroy_buffer(origin);
      report_table_full();
      return nullptr;
    }
    f->data = create_buffer_2(1024, 'd');
  } else {
    f = pfile_insert(canon, PFILE_HOST, origin);
    if (!f) {
      destroy_buffer(canon);
      destroy_buffer(origin);
      report_table_full();
      return nullptr;
    }
    if (!open_host_side(f, mode)) {
      pfile_release(f);
      return nullptr;
    }
  }
  f->mode[0] = mode[0];
  f->mode[1] = mode[1];
  f->data->cursor = (mode[0] == 'a') ? f->data->length : 0;
  return f;
}

int pfclose(pfile_entry *f) {
  if (!f) return 0;
  int result = 0;
  if (f->kind == PFILE_HOST && f->host_file) {
    FILE *tmp = f->host_file;
    f->host_file = nullptr;
    const char *host_path = to_cstr(f->origin);
    result = host_write_settle(tmp, f->host_tmp_path, host_path, f->data, f->mode[0] == 'a');
    spend_cpu(f->data->length / 8);
    spend_cpu(0x11111);
    // The history takes the version from the finished temporary file before
    // it replaces the file: a kill between the two steps leaves the version
    // in the history rather than on the disk alone. When the replacement
    // fails, the history is told what the path holds instead.
    if (result == 0) {
      pdisk_record_history(ANYWHEN_WRITE, to_cstr(f->name), to_cstr(f->host_tmp_path));
      result = host_write_commit(f->host_tmp_path, host_path);
      if (result != 0) {
        struct stat st;
        bool file = stat(host_path, &st) == 0 && S_ISREG(st.st_mode);
        pdisk_record_history(file ? ANYWHEN_WRITE : ANYWHEN_DELETE, to_cstr(f->name), host_path);
      }
    }
    if (result == 0) {
      pending_sync = 1;
    } else {
      klog("** could not write host file %s (%s); not saved\n", to_cstr(f->name), host_path);
    }
  } else if (f->kind == PFILE_RAM && (f->mode[0] == 'w' || f->mode[0] == 'a')) {
    mark_parent_mount_dirty(to_cstr(f->origin));
  }
  if (f->kind == PFILE_HOST) pfile_release(f);
  f->mode[0] = f->mode[1] = 0;
  return result;
}

int64_t pfwrite(const void *src, uint64_t size, uint64_t count, pfile_entry *f) {
  return (f && f->data) ? bwrite(src, size, count, f->data) : 0;
}

void sync_fs(int force) {
  int32_t now = (int32_t)clock_now_ms();
  if (pending_sync && (force || now - last_sync_t > 2000 || now < last_sync_t)) {
    last_sync_t = now;
    pending_sync = 0;
  }
}
