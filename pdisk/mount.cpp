// The mount table and the resolution of workstation paths to their origins.
#include "pdisk/mount.h"

#include <cstdio>
#include <cstring>

#include "base/clock.h"
#include "base/debug_log.h"
#include "base/klog.h"
#include "pdisk/cart_mount.h"
#include "pdisk/fileops.h"
#include "pdisk/path.h"
#include "pdisk/pfile.h"

pmount_entry pmount[PDISK_MAX_MOUNTS];

static bool same_text(const pbuffer *a, const pbuffer *b) {
  return a && b && a->length == b->length && memcmp(a->data, b->data, (size_t)a->length) == 0;
}
int32_t pmounts;
int block_automounting;
int64_t mount_index = 1;
// Counts uses of mounts: the least recently used cartridge is unmounted
// first when unpacked cartridges need room.
static uint64_t mount_use_clock;

void release_mount(pmount_entry *m) {
  destroy_buffer(m->mount_point);
  destroy_buffer(m->origin);
  destroy_buffer(m->cart_file);
  *m = pmount_entry{};
}

void pdisk_clear_mounts() {
  for (int i = 0; i < pmounts; i++) release_mount(&pmount[i]);
  pmounts = 0;
}

// The next free record, zeroed, or null (logged) when the table is full.
static pmount_entry *next_mount_slot(const char *what) {
  if (pmounts >= PDISK_MAX_MOUNTS) {
    klog("** mount table full (%d); not mounting %s\n", pmounts, what);
    return nullptr;
  }
  INVARIANT(pmounts >= 0);
  pmount_entry *m = &pmount[pmounts];
  release_mount(m);
  m->last_use = ++mount_use_clock;
  return m;
}

// A copy of text with one trailing "/" cut.
static pbuffer *copy_without_trailing_slash(const char *text, int tag) {
  pbuffer *b = create_buffer_2((int32_t)strlen(text), tag);
  bappend_str(b, text);
  cut_trailing_slash(b, false);
  return b;
}

int mount_host_path(const char *mount_point, const char *host_path) {
  if (!mount_point || !host_path) return -1;
  pmount_entry *m = next_mount_slot(mount_point);
  if (!m) return -1;
  m->kind = MOUNT_HOST;
  m->mount_point = copy_without_trailing_slash(mount_point, 'M');
  m->origin = copy_without_trailing_slash(host_path, 'M');
  m->fixed = 1;
  pmounts++;
  INVARIANT(pmounts <= PDISK_MAX_MOUNTS);
  return 0;
}

int mount_ram_folder(const char *path) {
  pbuffer *canon = normalise_kavelund_path(path);
  if (!canon) return 1;
  pmount_entry *m = next_mount_slot(path);
  if (!m) {
    destroy_buffer(canon);
    return 1;
  }
  m->kind = MOUNT_RAM;
  m->mount_point = canon;
  m->origin = create_buffer_from_buffer_2(canon, 'M');
  m->folder_flag = 1;
  m->fixed = 1;
  pmounts++;
  INVARIANT(pmounts <= PDISK_MAX_MOUNTS);
  return 0;
}

pmount_entry *mount_p_path(const char *mount_point, const char *target) {
  pbuffer *canon = normalise_kavelund_path(mount_point);
  if (!canon) return nullptr;
  uint32_t kind = 0;
  pbuffer *origin = target ? resolve_to_origin(target, &kind, 0) : nullptr;
  pmount_entry *m = nullptr;
  if (origin && origin->length > 0 && kind != 0) m = next_mount_slot(mount_point);
  if (!m) {
    destroy_buffer(canon);
    destroy_buffer(origin);
    return nullptr;
  }
  cut_trailing_slash(origin, true);
  m->kind = kind;
  m->mount_point = canon;
  m->origin = origin;
  pmounts++;
  return m;
}

pmount_entry *get_mount_by_mount_point(const char *mount_point, uint32_t kind) {
  for (int i = 0; i < pmounts; i++)
    if (strcmp(to_cstr(pmount[i].mount_point), mount_point) == 0 &&
        (kind == 0 || pmount[i].kind == kind))
      return &pmount[i];
  return nullptr;
}

void automount_p_path(char *p) {
  size_t len = strlen(p);
  if (block_automounting || len < 2) return;
  block_automounting = 1;
  // each prefix is tested by its suffix alone: one pass over the path
  for (size_t end = 1; end <= len; end++) {
    if (end < len && p[end] != '/') continue;
    if (kvd_path_kind_n(p, end) == KVD_NONE) continue;
    char saved = p[end];
    p[end] = 0;
    if (!pdisk_directory_exists(p, true)) {
      pfile_entry *f = pfopen(p, "r");
      if (f) {
        pfclose(f);
        mount_kvd_path(p);
      } else {
        // a new cartridge not written yet is reached through its other
        // mount points too
        mount_kvd_alias(p);
      }
    }
    p[end] = saved;
  }
  block_automounting = 0;
}

pbuffer *resolve_to_origin(const char *path, uint32_t *kind, int skip_exact) {
  pbuffer *canon = normalise_kavelund_path(path);
  if (!canon) return create_buffer_2(0, '!');
  automount_p_path(to_cstr(canon));
  const char *p = to_cstr(canon);

  int best = -1, best_depth = -1;
  for (int i = 0; i < pmounts; i++) {
    const char *point = to_cstr(pmount[i].mount_point);
    if (skip_exact && strcmp(point, p) == 0) continue;
    int d = get_path_parent_match_depth(point, p);
    if (d > best_depth) {
      best_depth = d;
      best = i;
    }
  }
  pbuffer *out = create_buffer_2(0, '!');
  if (best < 0) {
    klog("** could not resolve file to origin: %s (no matching mount)\n", p);
    destroy_buffer(canon);
    return out;
  }
  pmount_entry *m = &pmount[best];
  m->last_use = ++mount_use_clock;
  // The root point "/" (from mount_p_path) covers every path at length 0,
  // like the root stored as "", so the rest keeps its leading "/".
  int skip = strcmp(to_cstr(m->mount_point), "/") == 0 ? 0 : m->mount_point->length;
  bwrite(m->origin->data, 1, m->origin->length, out);
  bappend_str(out, p + skip);
  *kind = m->kind;
  destroy_buffer(canon);
  return out;
}

pmount_entry *mount_owning_ram_path(const char *ram_path) {
  int best = -1, best_depth = -1;
  for (int i = 0; ram_path && i < pmounts; i++) {
    int d = get_path_parent_match_depth(to_cstr(pmount[i].origin), ram_path);
    if (d > best_depth) {
      best_depth = d;
      best = i;
    }
  }
  return best < 0 ? nullptr : &pmount[best];
}

pmount_entry *cartridge_owning_ram_path(const char *ram_path) {
  pmount_entry *best = nullptr;
  for (int i = 0; ram_path && i < pmounts; i++) {
    pmount_entry *m = &pmount[i];
    if (!m->cart_file || !path_is_at_or_below(ram_path, to_cstr(m->origin))) continue;
    if (!best || m->origin->length > best->origin->length) best = m;
  }
  return best;
}

// Marks m and every other mount point of the same folder as changed.
static void mark_mount_folder_dirty(const pmount_entry *m) {
  uint64_t due = m->flush_time ? m->flush_time : clock_now_ms() + 300;
  for (int i = 0; i < pmounts; i++) {
    if (&pmount[i] != m && (pmount[i].kind != m->kind || !same_text(pmount[i].origin, m->origin)))
      continue;
    pmount[i].flush_time = due;
    pmount[i].dirty = 1;
  }
}

void mark_parent_mount_dirty(const char *ram_path) {
  pmount_entry *m = mount_owning_ram_path(ram_path);
  if (!m) return;
  mark_mount_folder_dirty(m);
  // A plain mount into a cartridge's subfolder writes nothing back itself:
  // the cartridge holding the path carries the mark.
  const pmount_entry *cart = cartridge_owning_ram_path(ram_path);
  if (cart && !cart->dirty) mark_mount_folder_dirty(cart);
}

const char *get_mount_description(const char *path) {
  static char desc[1024];
  pbuffer *canon = normalise_kavelund_path(path);
  if (!canon) return nullptr;
  const char *result = nullptr;
  for (int i = 0; i < pmounts && !result; i++) {
    if (strcmp(to_cstr(pmount[i].mount_point), to_cstr(canon)) != 0) continue;
    snprintf(desc, sizeof desc, "%s%s", pmount[i].kind == MOUNT_HOST ? "host:" : "",
             to_cstr(pmount[i].origin));
    result = desc;
  }
  destroy_buffer(canon);
  return result;
}
