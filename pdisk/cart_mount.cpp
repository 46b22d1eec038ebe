// Cartridge mounting, write-back of dirty mounts, and pruning of mounts.
#include "pdisk/cart_mount.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/clock.h"
#include "base/klog.h"
#include "machine/app.h"
#include "machine/message.h"
#include "pdisk/fileops.h"
#include "pdisk/hooks.h"
#include "pdisk/host_file.h"
#include "pdisk/kvd_text.h"
#include "pdisk/mount.h"
#include "pdisk/path.h"
#include "pdisk/pfile.h"
#include "pdisk/png_cart.h"
#include "pdisk/rom.h"

// Pruning runs when the mount table is more than three quarters full or the
// file table holds more records than the threshold. The threshold follows the
// table: after a pruning that left it below, it shrinks by a quarter (never
// below the floor); otherwise it grows by half (never above seven eighths of
// the table).
static constexpr int32_t prune_mounts_above = PDISK_MAX_MOUNTS / 4 * 3;
static constexpr int32_t prune_slots_floor = 4096;
static constexpr int32_t prune_slots_ceiling = PDISK_MAX_PFILES / 8 * 7;

int32_t prune_slots_threshold = prune_slots_floor;
int64_t cart_unpacked_bound = CART_UNPACKED_BOUND;
// Above zero while a caller holds pointers into the mount table across
// calls that may mount (a write-back): no mount is removed to make room then.
static int room_making_held;

void cart_mount_reset() {
  prune_slots_threshold = prune_slots_floor;
  cart_unpacked_bound = CART_UNPACKED_BOUND;
  room_making_held = 0;
}

static bool ends_with(const char *p, size_t n, const char *suffix) {
  size_t k = strlen(suffix);
  return n > k && memcmp(p + n - k, suffix, k) == 0;
}

int kvd_path_kind(const char *path) {
  return path ? kvd_path_kind_n(path, strlen(path)) : KVD_NONE;
}

int kvd_path_kind_n(const char *path, size_t n) {
  if (!path) return KVD_NONE;
  if (ends_with(path, n, ".kvd")) return KVD_TEXT;
  if (ends_with(path, n, ".kvd.rom")) return KVD_ROM;
  if (ends_with(path, n, ".kvd.png")) return KVD_PNG;
  return KVD_NONE;
}

static bool system_is_held() { return app.exclusive_process != 0; }

int populate_ram_folder_from_kvd_buffer(const char *dest, pbuffer *b) {
  if (!b || b->cursor >= b->length) return 0;  // an empty file: a new cartridge
  pbuffer *line = breadln(b, nullptr);         // header line, not checked
  breadln(b, line);
  int version = 0;
  if (sscanf(to_cstr(line), "version %d", &version) != 1) version = 0;
  destroy_buffer(line);
  // Cartridge files inside are stored as files, not mounted on the way.
  int was_blocked = block_automounting;
  block_automounting = 1;
  int result = -1;  // an unknown version unpacks nothing
  if (version == 1) result = populate_ram_folder_from_kvd_buffer_v1(dest, b);
  if (version == 2) result = populate_ram_folder_from_kvd_buffer_v2(dest, b);
  block_automounting = was_blocked;
  if (version != 1 && version != 2) klog("** unknown text cartridge version: %s\n", dest);
  return result;
}

int populate_ram_folder_from_kvd_png_buffer(const char *dest, pbuffer *b) {
  pbuffer_owner rom(read_kvd_rom_from_png(b));
  if (!rom) {
    printf("can not populate %s\n", dest);
    klog("not a readable kvd.png cartridge: %s\n", dest);
    return -1;
  }
  int result = populate_ram_folder_from_kvd_rom_buffer(dest, rom.get());
  if (!png_cart_label_fits(dest)) result = -1;
  // The label travels in the picture, not in the ROM: kept as "label.qoi" so
  // that writing the cartridge back shows it again.
  std::string label = std::string(dest) + "/label.qoi";
  if (pdisk_file_exists((std::string(dest) + "/label.png").c_str()) ||
      pdisk_file_exists(label.c_str()))
    return result;
  pbuffer_owner qoi(read_kvd_png_label(b));
  pfile_entry *f = qoi ? pfopen(label.c_str(), "w") : nullptr;
  if (f) {
    bwrite(qoi->data, 1, uint64_t(qoi->length), f->data);
    pfclose(f);
  }
  return result;
}

constexpr const char *CART_ROOT = "/ram/mount";
constexpr const char *CART_FOLDERS = "/ram/mount/";

// The cartridge folder being unpacked, which no mount holds yet: the
// reader's files and folders go there.
static std::string folder_being_filled;

// True when a mount stands for the RAM folder at or below ram_path.
static bool mount_refers_to(const char *ram_path) {
  for (int i = 0; i < pmounts; i++)
    if (pmount[i].kind == MOUNT_RAM && path_is_at_or_below(to_cstr(pmount[i].origin), ram_path))
      return true;
  return false;
}

// Picks and creates a fresh, empty folder under "/ram/mount"; its path in
// out. A folder that is taken, or that some mount already stands for, is
// passed over; records left below the new one are released.
static void make_mount_folder(char *out, size_t size) {
  folder_being_filled = CART_ROOT;
  if (!pdisk_directory_exists(CART_ROOT, true)) pmkdir(CART_ROOT);
  for (;;) {
    for (int i = 0; i < 12; i++) (void)rand();
    snprintf(out, size, "/ram/mount/m%lld", (long long)mount_index++);
    if (!pdisk_directory_exists(out, true) && !mount_refers_to(out)) break;
    klog("mount folder %s taken; picking another\n", out);
  }
  delete_ram_files_in_path(out);
  folder_being_filled = out;
  pmkdir(out);
}

// The origin of the cartridge file at canonical path p itself (past a mount
// at p), with automounting blocked; null when it resolves to nothing. A host
// file has one origin however it is reached (through a symbolic link too), so
// that every way to it shares one mounted folder.
static pbuffer *cartridge_file_origin(const char *p, uint32_t *kind) {
  int was_blocked = block_automounting;
  block_automounting = 1;
  *kind = 0;
  pbuffer *origin = resolve_to_origin(p, kind, 1);
  block_automounting = was_blocked;
  if (origin->length > 0 && *kind == MOUNT_HOST) {
    pbuffer *real = host_real_path(to_cstr(origin));
    destroy_buffer(origin);
    return real;
  }
  if (origin->length > 0) return origin;
  destroy_buffer(origin);
  return nullptr;
}

// The cartridge mount (at any point) of the file with that origin, or null.
static pmount_entry *mount_of_cartridge_file(const pbuffer *file) {
  for (int i = 0; file && i < pmounts; i++) {
    const pbuffer *c = pmount[i].cart_file;
    if (c && c->length == file->length && memcmp(c->data, file->data, (size_t)c->length) == 0)
      return &pmount[i];
  }
  return nullptr;
}

// One cartridge file reached through a second mount point shares the first
// point's folder: both see every change and one write-back saves them all.
static pmount_entry *mount_alias(const char *p, pbuffer *file, const pmount_entry *first) {
  pbuffer *folder = create_buffer_from_buffer_2(first->origin, 'c');
  uint32_t read_only = first->read_only, file_kind = first->cart_file_kind;
  int was_blocked = block_automounting;
  block_automounting = 1;
  pmount_entry *m = mount_p_path(p, to_cstr(folder));
  block_automounting = was_blocked;
  destroy_buffer(folder);
  if (!m) {
    destroy_buffer(file);
    return nullptr;
  }
  m->cart_file = file;
  m->cart_file_kind = file_kind;
  m->read_only = read_only;
  return m;
}

static bool begins_with(const pbuffer *b, const char *prefix) {
  size_t n = strlen(prefix);
  return b && (size_t)b->length >= n && memcmp(b->data, prefix, n) == 0;
}

static int remove_mount_and_files(int i);

// The cartridge folder ("/ram/mount/m<n>") that a RAM path lies in, or "".
static std::string cart_folder_of(const pbuffer *ram_path) {
  if (!begins_with(ram_path, CART_FOLDERS)) return "";
  const char *o = (const char *)ram_path->data;
  size_t n = strlen(CART_FOLDERS);
  const void *slash = memchr(o + n, '/', size_t(ram_path->length) - n);
  return std::string(o, slash ? size_t((const char *)slash - o) : size_t(ram_path->length));
}

// What the RAM files of one cartridge folder hold, and how its mounts use it.
struct cart_folder_use {
  int64_t bytes = 0;
  bool open = false;      // a file of it is open (between pfopen and pfclose)
  bool kept = false;      // dirty, or another mount depends on the folder
  bool mounted = false;   // a cartridge mount has it as its folder
  uint64_t last_use = 0;  // latest use of any of its mount points
};

static int64_t record_bytes(const pfile_entry *f) {
  int64_t n = int64_t(sizeof *f) + (f->origin ? int64_t(f->origin->capacity) : 0);
  return n + (f->data ? int64_t(f->data->capacity) : 0);
}

static std::unordered_map<std::string, cart_folder_use> cart_folders_in_use() {
  std::unordered_map<std::string, cart_folder_use> use;
  for (int i = 0; i < num_pfiles; i++) {
    const pfile_entry *f = pfile[i];
    if (!f || f->kind != PFILE_RAM) continue;
    std::string folder = cart_folder_of(f->origin);
    if (folder.empty()) continue;
    cart_folder_use &u = use[folder];
    u.bytes += record_bytes(f);
    u.open |= f->mode[0] != 0;
  }
  for (int i = 0; i < pmounts; i++) {
    const pmount_entry *m = &pmount[i];
    std::string folder = cart_folder_of(m->origin);
    if (!folder.empty()) {
      cart_folder_use &u = use[folder];
      bool own_point = m->cart_file && folder.size() == size_t(m->origin->length);
      u.mounted |= own_point;
      u.kept |= !own_point || m->dirty;
      u.last_use = std::max(u.last_use, m->last_use);
    }
    // a cartridge mounted from a file inside another keeps the outer one
    std::string outer = cart_folder_of(m->cart_file);
    if (!outer.empty()) use[outer].kept = true;
  }
  return use;
}

int64_t cart_unpacked_bytes() {
  int64_t total = 0;
  for (const auto &[folder, u] : cart_folders_in_use()) total += u.bytes;
  return total;
}

// An upper bound of what cartridge folders hold, at no cost: every buffer
// there is, and a record for every slot of the file table.
static bool cartridges_surely_fit() {
  uint64_t most = get_total_buffer_allocation() + uint64_t(num_pfiles) * sizeof(pfile_entry);
  return most <= uint64_t(cart_unpacked_bound);
}

// Removes the victims' cartridge mounts (every point of each) and their RAM
// records, each table walked once.
static void remove_cartridge_folders(const std::unordered_map<std::string, int64_t> &victims) {
  const size_t prefix = strlen(CART_FOLDERS);
  for (int i = 0; i < num_pfiles; i++) {
    pfile_entry *f = pfile[i];
    if (!f || f->kind != PFILE_RAM || !begins_with(f->origin, CART_FOLDERS)) continue;
    const char *o = (const char *)f->origin->data;
    const char *slash = (const char *)memchr(o + prefix, '/', size_t(f->origin->length) - prefix);
    std::string folder(o, slash ? size_t(slash - o) : size_t(f->origin->length));
    if (victims.count(folder)) pfile_release(f);
  }
  int kept = 0;
  for (int i = 0; i < pmounts; i++) {
    pmount_entry *m = &pmount[i];
    if (m->cart_file && victims.count(to_cstr(m->origin))) {
      release_mount(m);
      continue;
    }
    if (kept != i) {
      pmount[kept] = *m;
      *m = pmount_entry{};
    }
    kept++;
  }
  pmounts = kept;
}

// Unmounts clean cartridges, least recently used first and never the one
// in `keep`, until unpacked cartridges fit the bound: one look at the
// tables picks every victim, one walk removes them. False (nothing removed)
// when they cannot be made to fit.
static bool make_room_for_cartridges(const std::string &keep) {
  if (cartridges_surely_fit()) return true;
  auto use = cart_folders_in_use();
  int64_t total = 0;
  for (const auto &[folder, u] : use) total += u.bytes;
  if (total <= cart_unpacked_bound) return true;
  if (room_making_held) return false;
  std::vector<std::pair<uint64_t, const std::string *>> candidates;
  for (const auto &[folder, u] : use)
    if (u.mounted && !u.open && !u.kept && folder != keep)
      candidates.push_back({u.last_use, &folder});
  std::sort(candidates.begin(), candidates.end(),
            [](const auto &a, const auto &b) { return a.first < b.first; });
  std::unordered_map<std::string, int64_t> victims;
  for (const auto &[last_use, folder] : candidates) {
    if (total <= cart_unpacked_bound) break;
    victims[*folder] = use[*folder].bytes;
    total -= use[*folder].bytes;
  }
  if (total > cart_unpacked_bound) return false;
  for (int i = 0; i < pmounts; i++)
    if (pmount[i].cart_file && victims.count(to_cstr(pmount[i].origin)))
      klog("// cartridge %s unmounted to make room (%lld bytes unpacked)\n",
           to_cstr(pmount[i].mount_point), (long long)victims[to_cstr(pmount[i].origin)]);
  remove_cartridge_folders(victims);
  return true;
}

pmount_entry *mount_kvd_alias(const char *p) {
  if (!p) return nullptr;
  if (pmount_entry *m = get_mount_by_mount_point(p, 0)) return m;
  uint32_t file_kind = 0;
  pbuffer *file = cartridge_file_origin(p, &file_kind);
  if (const pmount_entry *first = mount_of_cartridge_file(file)) return mount_alias(p, file, first);
  destroy_buffer(file);
  return nullptr;
}

pmount_entry *mount_kvd_path(const char *p) {
  if (!p) return nullptr;
  if (pmount_entry *m = get_mount_by_mount_point(p, 0)) return m;
  uint32_t file_kind = 0;
  pbuffer *file = cartridge_file_origin(p, &file_kind);
  if (const pmount_entry *first = mount_of_cartridge_file(file)) return mount_alias(p, file, first);
  // The cartridge file is read through its parent mount: no path taken on
  // the way may mount it a second time.
  int was_blocked = block_automounting;
  block_automounting = 1;
  char folder[64];
  make_mount_folder(folder, sizeof folder);
  int status = 0;
  if (pfile_entry *f = pfopen(p, "r")) {
    f->data->cursor = 0;
    switch (kvd_path_kind(p)) {
      case KVD_TEXT:
        status = populate_ram_folder_from_kvd_buffer(folder, f->data);
        break;
      case KVD_ROM:
        status = populate_ram_folder_from_kvd_rom_buffer(folder, f->data);
        break;
      case KVD_PNG:
        status = populate_ram_folder_from_kvd_png_buffer(folder, f->data);
        break;
    }
    pfclose(f);
  }
  folder_being_filled.clear();
  pmount_entry *m = mount_p_path(p, folder);
  if (m) {
    m->folder_flag = 0;
    m->dirty = 0;
    m->flush_time = 0;
    m->read_only = uint32_t(status != 0);
    m->cart_file = file;
    m->cart_file_kind = file_kind;
    file = nullptr;
    if (status != 0)
      klog("** cartridge %s was not read whole: mounted read-only, its file is kept as it is\n", p);
    // Making room removes mounts and moves the table: m is found again.
    bool fits = make_room_for_cartridges(folder);
    int index = -1;
    for (int i = 0; i < pmounts && index < 0; i++)
      if (pmount[i].cart_file && strcmp(to_cstr(pmount[i].origin), folder) == 0) index = i;
    m = index >= 0 ? &pmount[index] : nullptr;
    if (m && !fits) {
      klog("** cartridge %s not mounted: unpacked cartridges would hold more than %lld MiB\n", p,
           (long long)(cart_unpacked_bound >> 20));
      remove_mount_and_files(index);
      m = nullptr;
    }
  } else {
    delete_ram_files_in_path(folder);
  }
  destroy_buffer(file);
  block_automounting = was_blocked;
  return m;
}

// Why nothing changed below ram_path would be saved, or null when it would.
// The cartridge that holds the path decides, through whichever mount it
// came, and so does every cartridge that holds its file in turn. *holder
// gets the cartridge that refuses (null when none holds the path). A
// failed write-back refuses new writes (`writing`) until one succeeds.
static const char *change_blocked(const char *ram_path, bool writing, const pmount_entry **holder) {
  *holder = nullptr;
  if (!folder_being_filled.empty() && path_is_at_or_below(ram_path, folder_being_filled.c_str()))
    return nullptr;
  std::string at = ram_path;
  for (int hops = 0; hops <= pmounts; hops++) {
    const pmount_entry *m = cartridge_owning_ram_path(at.c_str());
    if (!m) return path_is_at_or_below(at.c_str(), CART_ROOT) ? "no cartridge holds it" : nullptr;
    *holder = m;
    if (m->read_only) return "it was not read whole: it is read-only";
    if (writing && m->write_failures > 0) return "it could not be saved";
    if (!m->cart_file || m->cart_file_kind != MOUNT_RAM) return nullptr;
    at = to_cstr(m->cart_file);
  }
  return "no cartridge holds it";
}

// Tells (log and notification) once per cartridge why it takes no change.
static void tell_refusal(const pmount_entry *m, const char *why) {
  if (!m || m->refusal_told || m->write_failures > 0) return;
  char text[1200];
  snprintf(text, sizeof text, "%s takes no change: %s", to_cstr(m->mount_point), why);
  klog("** %s\n", text);
  notify(text);
  for (int i = 0; i < pmounts; i++)
    if (strcmp(to_cstr(pmount[i].origin), to_cstr(m->origin)) == 0) pmount[i].refusal_told = 1;
}

// The cartridge kind of the first n characters of p.
static int kvd_kind_n(const char *p, size_t n) {
  if (ends_with(p, n, ".kvd")) return KVD_TEXT;
  if (ends_with(p, n, ".kvd.rom")) return KVD_ROM;
  if (ends_with(p, n, ".kvd.png")) return KVD_PNG;
  return KVD_NONE;
}

// True when the canonical path goes through a cartridge name (a folder on
// the way, not the path itself) that is neither mounted nor a plain folder:
// a cartridge refused for room or not yet mounted again. The mount the path
// resolves through is found once; only the names after its point are
// looked up.
static bool passes_unmounted_cartridge(const char *canon) {
  bool any = false;  // most paths pass no cartridge name: no mount is looked at
  for (const char *slash = strchr(canon + 1, '/'); slash && !any; slash = strchr(slash + 1, '/'))
    any = kvd_kind_n(canon, size_t(slash - canon)) != KVD_NONE;
  if (!any) return false;
  int best = -1, best_depth = -1;
  for (int i = 0; i < pmounts; i++) {
    int d = get_path_parent_match_depth(to_cstr(pmount[i].mount_point), canon);
    if (d > best_depth) {
      best_depth = d;
      best = i;
    }
  }
  if (best < 0) return false;
  const pmount_entry *m = &pmount[best];
  size_t skip = strcmp(to_cstr(m->mount_point), "/") == 0 ? 0 : size_t(m->mount_point->length);
  if (canon[skip] == 0) return false;  // the path is the mount point itself
  std::string folder;
  for (const char *slash = strchr(canon + skip + 1, '/'); slash; slash = strchr(slash + 1, '/')) {
    size_t n = size_t(slash - canon);
    if (kvd_kind_n(canon, n) == KVD_NONE) continue;
    folder.assign(to_cstr(m->origin));
    folder.append(canon + skip, n - skip);
    bool is_folder = m->kind == MOUNT_HOST ? host_directory_exists(folder.c_str()) : false;
    if (m->kind == MOUNT_RAM) {
      const pfile_entry *f = get_ram_file_by_name(folder.c_str());
      is_folder = f && (f->attributes & PFILE_ATTR_FOLDER);
    }
    if (!is_folder) return true;
  }
  return false;
}

bool cart_change_refused(const char *canon, const char *origin, uint32_t kind, bool deleting) {
  if (kind == MOUNT_RAM && !folder_being_filled.empty() && origin &&
      path_is_at_or_below(origin, folder_being_filled.c_str()))
    return false;
  if (canon && passes_unmounted_cartridge(canon)) return true;
  if (kind != MOUNT_RAM || !origin) return false;
  const pmount_entry *holder = nullptr;
  const char *why = change_blocked(origin, !deleting, &holder);
  if (why) tell_refusal(holder, why);
  return why != nullptr;
}

// Packs the mount's folder as a cartridge of `kind` into a new buffer; null
// with *why set when it cannot be packed.
static pbuffer *pack_cartridge(const pmount_entry *m, int kind, const char **why) {
  pbuffer *out = create_buffer_2(4096, 'c');
  if (kind == KVD_TEXT) {
    write_kvd_from_ram_files(out, m->origin, 0);
    return out;
  }
  if (kind == KVD_ROM && write_kvd_rom_from_ram_files(out, m->origin, 0) == 0) return out;
  // a retry does not repeat the writer's notification
  if (kind == KVD_PNG && write_kvd_png_from_ram_files(out, m->origin, m->write_failures > 0) == 0)
    return out;
  *why = kind == KVD_ROM ? "contents too large for a ROM cartridge"
                         : "contents too large for a PNG cartridge";
  destroy_buffer(out);
  return nullptr;
}

// Clears the mark of m and of every other point of the same folder.
static void clear_dirty(pmount_entry *m) {
  for (int i = 0; i < pmounts; i++) {
    pmount_entry *o = &pmount[i];
    if (o != m && (o->kind != m->kind || strcmp(to_cstr(o->origin), to_cstr(m->origin)) != 0))
      continue;
    o->dirty = 0;
    o->flush_time = 0;
    o->write_failures = 0;
  }
}

static void report_failed_write_back(pmount_entry *m, const char *why) {
  const char *point = to_cstr(m->mount_point);
  m->flush_time = clock_now_ms() + CART_RETRY_DELAY_MS;
  if (m->write_failures++ > 0) return;
  klog("** could not save cartridge %s: %s; kept in memory, will try again\n", point, why);
  char text[1200];
  snprintf(text, sizeof text, "could not save %s: %s", point, why);
  notify(text);
}

// Writes the packed cartridge over the file the mount was read from,
// wherever its mount point has gone since: a host file in one piece, or the
// RAM file inside another cartridge (which is then marked changed). Null on
// success, else why it failed.
static const char *write_cartridge_file(const pmount_entry *m, const pbuffer *packed) {
  const char *file = to_cstr(m->cart_file);
  if (m->cart_file_kind == MOUNT_HOST) {
    pbuffer *tmp_path = nullptr;
    FILE *tmp = host_write_begin(file, &tmp_path);
    if (!tmp) {
      destroy_buffer(tmp_path);
      return "its file cannot be opened";
    }
    int r = host_write_finish(tmp, tmp_path, file, packed, 0);
    destroy_buffer(tmp_path);
    if (r != 0) return "the host refused the write";
    pdisk_record_history(ANYWHEN_WRITE, to_cstr(m->mount_point), file);
    pending_sync = 1;
    return nullptr;
  }
  pfile_entry *f = get_ram_file_by_name(file);
  if (f && (f->attributes & PFILE_ATTR_FOLDER)) return "a folder took its place";
  if (!f) {
    // a new cartridge inside another: its folder must still be there
    const char *slash = strrchr(file, '/');
    std::string parent(file, slash ? size_t(slash - file) : 0);
    const pfile_entry *p = get_ram_file_by_name(parent.c_str());
    if (!p || !(p->attributes & PFILE_ATTR_FOLDER)) return "its folder is gone";
    pbuffer *name = create_buffer_from_str(file);
    f = pfile_insert(name, PFILE_RAM, name);
    if (!f) {
      destroy_buffer(name);
      return "too many files";
    }
    f->data = create_buffer_2(packed->length, 'd');
  }
  f->data->length = 0;
  f->data->cursor = 0;
  bwrite(packed->data, 1, packed->length, f->data);
  f->data->cursor = 0;
  mark_parent_mount_dirty(file);
  return nullptr;
}

// Writes one mount back; `held_too` writes it even while a process holds the
// system (the exit path). *failed (when given) is set when a write failed.
static int flush_one(pmount_entry *m, int delayed, bool held_too, bool *failed) {
  if (!m || !m->dirty) return 0;
  // m and the callers' table indexes must stay valid while the file opens
  room_making_held++;
  struct release_hold {
    ~release_hold() { room_making_held--; }
  } hold;
  if (delayed && clock_now_ms() < m->flush_time) return 0;
  if (system_is_held() && !held_too) return 0;
  // Only a mount made from a cartridge file is written back, whatever its
  // point is called: a plain mount into a cartridge's folder leaves that to
  // the cartridge's own mount, which carries the mark too.
  int kind = m->cart_file ? kvd_path_kind(to_cstr(m->mount_point)) : KVD_NONE;
  if (kind == KVD_NONE) {
    m->dirty = 0;
    m->flush_time = 0;
    return 0;
  }
  const char *why = nullptr;
  const pmount_entry *holder = nullptr;
  if (m->read_only)
    why = "its file could not be read whole";
  else if (m->cart_file_kind == MOUNT_RAM && change_blocked(to_cstr(m->cart_file), false, &holder))
    why = "the cartridge that holds it takes no change";
  pbuffer *packed = why ? nullptr : pack_cartridge(m, kind, &why);
  if (!packed) {
    report_failed_write_back(m, why);
    if (failed) *failed = true;
    return 0;
  }
  const char *error = write_cartridge_file(m, packed);
  destroy_buffer(packed);
  if (error) {
    report_failed_write_back(m, error);
    if (failed) *failed = true;
    return 0;
  }
  clear_dirty(m);
  return 1;
}

int flush_dirty_mount(pmount_entry *m, int delayed) {
  return flush_one(m, delayed, false, nullptr);
}

// Before a mount is dropped, or its file read whole: its changes are
// written now, also while a process holds the system, which would
// otherwise lose them (or give the old bytes).
static void save_before_release(pmount_entry *m) { flush_one(m, 0, true, nullptr); }

void flush_dirty_mounts_for_whole_read() {
  for (int i = pmounts - 1; i >= 0; i--)
    if (i < pmounts) save_before_release(&pmount[i]);
}

int flush_dirty_mounts_ex(int delayed) {
  int n = 0;
  for (int i = pmounts - 1; i >= 0; i--)
    if (i < pmounts) n += flush_dirty_mount(&pmount[i], delayed);
  return n;
}

// Writes every dirty mount back now, also while a process holds the
// system, and names each one that could not be saved (`when`: "at exit").
static int flush_all_naming_failures(const char *when) {
  int failures = 0;
  for (int i = pmounts - 1; i >= 0; i--) {
    if (i >= pmounts) continue;
    bool failed = false;
    flush_one(&pmount[i], 0, true, &failed);
    if (!failed) continue;
    failures++;
    const char *point = to_cstr(pmount[i].mount_point);
    klog("** changes to %s were not saved %s\n", point, when);
    fprintf(stderr, "kavelund: changes to %s were not saved %s\n", point, when);
  }
  return failures;
}

int flush_dirty_mounts_at_exit() { return flush_all_naming_failures("at exit"); }

void flush_dirty_mounts_delayed() { flush_dirty_mounts_ex(1); }
void flush_dirty_mounts_immediately() { flush_dirty_mounts_ex(0); }

void delete_mount_entry(int index) {
  if (index < 0 || index >= pmounts) return;
  release_mount(&pmount[index]);
  memmove(&pmount[index], &pmount[index + 1], sizeof(pmount[0]) * (pmounts - index - 1));
  pmounts--;
  pmount[pmounts] = pmount_entry{};
}

// Removes mount i, with every other mount point of the same cartridge, and
// the RAM records under its origin; the number of removed records that
// stood before i. A plain mount into a mounted cartridge's folder goes
// alone: the files are the cartridge's.
static int remove_mount_and_files(int i) {
  std::string origin = to_cstr(pmount[i].origin);
  bool cart = pmount[i].cart_file != nullptr;
  const pmount_entry *holder = cart ? nullptr : cartridge_owning_ram_path(origin.c_str());
  if (!holder) delete_ram_files_in_path(origin.c_str());
  int before = 0;
  for (int j = pmounts - 1; j >= 0; j--) {
    if (j != i && (!cart || !pmount[j].cart_file || origin != to_cstr(pmount[j].origin))) continue;
    delete_mount_entry(j);
    if (j < i) before++;
  }
  return before;
}

// The index of the cartridge mount (its own point, not an alias made
// later) whose folder is `folder`, or -1.
static int cartridge_mount_of_folder(const std::string &folder) {
  for (int i = 0; i < pmounts; i++)
    if (pmount[i].cart_file && folder == to_cstr(pmount[i].origin)) return i;
  return -1;
}

void cart_release_files_in(const char *ram_path, bool write_back) {
  for (;;) {
    int j = -1;
    for (int i = 0; i < pmounts && j < 0; i++)
      if (pmount[i].cart_file && pmount[i].cart_file_kind == MOUNT_RAM &&
          path_is_at_or_below(to_cstr(pmount[i].cart_file), ram_path))
        j = i;
    if (j < 0) return;
    std::string inner = to_cstr(pmount[j].origin);
    // cartridges inside this one go first: their changes land in it
    cart_release_files_in(inner.c_str(), write_back);
    j = cartridge_mount_of_folder(inner);
    if (j < 0) continue;
    if (write_back) save_before_release(&pmount[j]);
    remove_mount_and_files(j);
  }
}

void cart_release_mounts_below(const char *point) {
  std::unordered_set<std::string> unsaved_folders;
  for (;;) {
    int j = -1;
    for (int i = 0; i < pmounts && j < 0; i++) {
      const char *p = to_cstr(pmount[i].mount_point);
      if (pmount[i].cart_file && strcmp(p, point) != 0 &&
          get_path_parent_match_depth(point, p) >= 0 &&
          !unsaved_folders.count(to_cstr(pmount[i].origin)))
        j = i;
    }
    if (j < 0) return;
    std::string folder = to_cstr(pmount[j].origin);
    cart_release_files_in(folder.c_str(), true);
    j = cartridge_mount_of_folder(folder);
    if (j < 0) continue;
    flush_dirty_mount(&pmount[j], 0);
    // one that cannot be saved now stays, and is written to its own file
    if (pmount[j].dirty)
      unsaved_folders.insert(folder);
    else
      remove_mount_and_files(j);
  }
}

int delete_mount_point(const char *path) {
  pbuffer *canon = normalise_kavelund_path(path);
  if (!canon) return 0;
  int found = 0;
  for (int i = 0; i < pmounts && !found; i++) {
    if (strcmp(to_cstr(pmount[i].mount_point), to_cstr(canon)) != 0) continue;
    found = 1;
    bool cart_folder = begins_with(pmount[i].origin, CART_FOLDERS);
    if (cart_folder && pmount[i].cart_file) {
      // the cartridges whose files lie in it are written into it first
      cart_release_files_in(to_cstr(pmount[i].origin), true);
      i = -1;
      for (int k = 0; k < pmounts && i < 0; k++)
        if (strcmp(to_cstr(pmount[k].mount_point), to_cstr(canon)) == 0) i = k;
      if (i < 0) break;
    }
    save_before_release(&pmount[i]);
    if (cart_folder)
      remove_mount_and_files(i);
    else
      delete_mount_entry(i);
  }
  destroy_buffer(canon);
  return found;
}

void cart_release_file(const char *path, bool keep_unsaved) {
  pbuffer *canon = path ? normalise_kavelund_path(path) : nullptr;
  if (!canon) return;
  uint32_t file_kind = 0;
  pbuffer *file = kvd_path_kind(to_cstr(canon)) != KVD_NONE
                      ? cartridge_file_origin(to_cstr(canon), &file_kind)
                      : nullptr;
  for (;;) {
    pmount_entry *m = get_mount_by_mount_point(to_cstr(canon), 0);
    if (!m || !m->cart_file) m = mount_of_cartridge_file(file);
    if (!m) break;
    // a cartridge inside it is written into it, and dropped, first: it
    // would otherwise write its old contents into the new file
    std::string folder = to_cstr(m->origin);
    cart_release_files_in(folder.c_str(), true);
    int i = cartridge_mount_of_folder(folder);
    if (i < 0) continue;
    save_before_release(&pmount[i]);
    // its changes outlive a replacement that may yet fail
    if (keep_unsaved && pmount[i].dirty) break;
    remove_mount_and_files(i);
  }
  destroy_buffer(file);
  destroy_buffer(canon);
}

// The mounts of the cart server's listings and of the file history, which
// userland makes again when it needs them.
static bool program_mount_is_dropped(const pmount_entry *m) {
  return begins_with(m->mount_point, "/ram/bbs/") || begins_with(m->mount_point, "/ram/anywhen/");
}

void delete_clean_ram_mounts() {
  // A program's mount into a cartridge stays, and keeps the cartridge; so
  // does a cartridge that holds the file of another one mounted. Once the
  // inner one goes, the next pass takes the one around it.
  for (bool removed = true; removed;) {
    removed = false;
    std::unordered_set<std::string> kept;
    for (int i = 0; i < pmounts; i++) {
      const pmount_entry *m = &pmount[i];
      if (m->cart_file && m->cart_file_kind == MOUNT_RAM) kept.insert(cart_folder_of(m->cart_file));
      if (!m->cart_file && begins_with(m->origin, CART_FOLDERS) && !program_mount_is_dropped(m))
        kept.insert(cart_folder_of(m->origin));
    }
    for (int i = 0; i < pmounts;) {
      const pmount_entry *m = &pmount[i];
      bool clean_cart = !m->dirty && m->cart_file && begins_with(m->origin, CART_FOLDERS) &&
                        !kept.count(cart_folder_of(m->origin));
      if (clean_cart || program_mount_is_dropped(m)) {
        i -= remove_mount_and_files(i);
        removed = true;
      } else {
        i++;
      }
    }
  }
}

int32_t next_prune_threshold(int32_t t, int32_t n) {
  if (n < t) return (int32_t)std::max<int64_t>(prune_slots_floor, (int64_t)t * 3 / 4);
  return (int32_t)std::min<int64_t>((int64_t)t * 3 / 2, prune_slots_ceiling);
}

void prune_mounts() {
  if (system_is_held()) return;
  if (pmounts <= prune_mounts_above && num_pfiles <= prune_slots_threshold) {
    sweep_empty_pfiles();
    return;
  }
  int32_t slots = num_pfiles;
  flush_dirty_mounts_immediately();
  delete_clean_ram_mounts();
  for (int i = 0; i < num_pfiles; i++)
    if (pfile[i] && pfile[i]->kind == PFILE_RAM && begins_with(pfile[i]->origin, "/ram/anywhen/"))
      pfile_release(pfile[i]);
  prune_slots_threshold = next_prune_threshold(prune_slots_threshold, slots);
  // Nothing a process does may end the workstation: a full table refuses
  // new mounts (logged) until some are removed.
  if (pmounts >= PDISK_MAX_MOUNTS - 2) klog("** too many mounts (%d); could not prune\n", pmounts);
  sweep_empty_pfiles();
}

void prune_process_mounts(int64_t process_id) {
  flush_dirty_mounts_immediately();
  char prefix[64];
  snprintf(prefix, sizeof prefix, "/ram/anywhen/%lld_", (long long)process_id);
  for (int i = 0; i < pmounts;) {
    if (begins_with(pmount[i].mount_point, prefix))
      i -= remove_mount_and_files(i);
    else
      i++;
  }
}

// Cartridges with unsaved changes carried over a reboot: their mount
// records (every point of each) and their RAM records, out of the tables
// while the reset empties them.
struct unsaved_cartridges {
  std::vector<pmount_entry> mounts;
  std::vector<pfile_entry *> records;
};
static unsaved_cartridges unsaved;

int cart_hold_unsaved() {
  int failures = flush_all_naming_failures("before the reboot");
  // the folders of the cartridges still dirty, and of those holding their files
  std::unordered_set<std::string> folders;
  for (int i = 0; i < pmounts; i++)
    if (pmount[i].dirty && pmount[i].cart_file) folders.insert(to_cstr(pmount[i].origin));
  for (bool grew = true; grew;) {
    grew = false;
    for (int i = 0; i < pmounts; i++) {
      const pmount_entry *m = &pmount[i];
      if (!m->cart_file || m->cart_file_kind != MOUNT_RAM || !folders.count(to_cstr(m->origin)))
        continue;
      const pmount_entry *outer = cartridge_owning_ram_path(to_cstr(m->cart_file));
      if (outer && folders.insert(to_cstr(outer->origin)).second) grew = true;
    }
  }
  for (int i = pmounts - 1; i >= 0; i--) {
    pmount_entry *m = &pmount[i];
    if (!m->cart_file || !folders.count(to_cstr(m->origin))) continue;
    unsaved.mounts.insert(unsaved.mounts.begin(), *m);
    *m = pmount_entry{};  // the texts go with the copy
    delete_mount_entry(i);
  }
  for (int i = 0; i < num_pfiles; i++) {
    pfile_entry *f = pfile[i];
    if (!f || f->kind != PFILE_RAM) continue;
    std::string folder = cart_folder_of(f->origin);
    if (folder.empty() || !folders.count(folder)) continue;
    unsaved.records.push_back(f);
    pfile[i] = (pfile_entry *)calloc(1, sizeof(pfile_entry));
  }
  return failures;
}

void cart_restore_unsaved() {
  if (!unsaved.records.empty() && !pdisk_directory_exists(CART_ROOT, true)) {
    folder_being_filled = CART_ROOT;
    pmkdir(CART_ROOT);
    folder_being_filled.clear();
  }
  for (pfile_entry *old : unsaved.records) {
    pfile_entry *f = pfile_insert(old->origin, PFILE_RAM, old->origin);
    if (f) {
      f->data = old->data;
      f->attributes = old->attributes;
    } else {
      destroy_buffer(old->origin);
      destroy_buffer(old->data);
    }
    free(old);
  }
  for (pmount_entry &m : unsaved.mounts) {
    if (pmounts < PDISK_MAX_MOUNTS) {
      pmount[pmounts++] = m;
    } else {
      klog("** mount table full; changes to %s dropped\n", to_cstr(m.mount_point));
      release_mount(&m);
    }
  }
  unsaved = unsaved_cartridges{};
}

bool cart_path_reserved(const char *path) {
  pbuffer_owner canon(path ? normalise_kavelund_path(path) : nullptr);
  return canon && path_is_at_or_below(to_cstr(canon.get()), CART_ROOT);
}

const char *cart_program_mount_refused(const char *point, const char *target) {
  pbuffer_owner canon(point ? normalise_kavelund_path(point) : nullptr);
  if (!canon) return nullptr;  // an illegal point mounts nothing anyway
  const char *p = to_cstr(canon.get());
  if (strcmp(p, "/ram") == 0 || path_is_at_or_below(p, CART_ROOT) ||
      path_is_at_or_below(p, "/system"))
    return "mount: can not mount over a system folder";
  if (!target) return nullptr;
  uint32_t kind = 0;
  pbuffer_owner origin(resolve_to_origin(target, &kind, 0));
  const char *o = to_cstr(origin.get());
  if (kind == MOUNT_RAM && origin->length > 0 && path_is_at_or_below(o, CART_ROOT) &&
      !cartridge_owning_ram_path(o))
    return "mount: no cartridge is mounted there";
  return nullptr;
}
