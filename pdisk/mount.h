// The mount table: which workstation folder stands for which host folder or
// RAM folder, and the resolution of a workstation path to its origin.
#pragma once

#include <cstdint>

#include "base/pbuffer.h"

enum mount_kind : uint32_t { MOUNT_HOST = 1, MOUNT_RAM = 2 };

struct pmount_entry {
  uint32_t kind;            // mount_kind of the origin
  pbuffer *mount_point;     // workstation path (the root mount is stored as "")
  pbuffer *origin;          // host path (kind 1) or RAM path (kind 2)
  uint32_t folder_flag;     // 1 for a RAM folder mounted at its own path
  uint32_t dirty;           // RAM contents changed and not yet written back
  uint64_t flush_time;      // ms from which a dirty mount may be written back
  uint32_t write_failures;  // write-backs failed in a row (cleared by a success)
  uint32_t read_only;       // its cartridge file was not read whole: never written over
  uint32_t refusal_told;    // the writer was told once that changes are refused
  pbuffer *cart_file;       // origin of the cartridge file itself (a cartridge mount), or null
  uint32_t cart_file_kind;  // mount_kind of cart_file: a host file, or a RAM file in a cartridge
  uint64_t last_use;        // order of its latest use by a path resolution (or its making)
  uint32_t fixed;           // made by the system (start-up, the desktop signal), which a
                            // program could not make again: a deletion of its point is refused
};

constexpr int PDISK_MAX_MOUNTS = 8192;
// Mounts asked for by programs stop here, well before the table is full:
// the rest is left to cartridges, which pruning can drop again.
constexpr int PDISK_USERLAND_MOUNTS = 4096;

extern pmount_entry pmount[PDISK_MAX_MOUNTS];
extern int32_t pmounts;
extern int block_automounting;
extern int64_t mount_index;

// Each refuses a new mount when the table is full (logged).
int mount_host_path(const char *mount_point,
                    const char *host_path);  // 0; -1 when full or given null
int mount_ram_folder(const char *path);      // 0; 1 for an illegal path or a full table
// Mounts the origin of target at mount_point. Null (nothing added) when the
// point is illegal, the table is full, or the target is illegal or resolves
// to no origin: a mount never stands for the host's root by accident.
pmount_entry *mount_p_path(const char *mount_point, const char *target);
pmount_entry *get_mount_by_mount_point(const char *mount_point, uint32_t kind);

// A new buffer (tag '!') holding the origin of path; *kind gets its mount's
// kind. An illegal path, or one that no mount covers (logged), gives an empty
// buffer and leaves *kind unchanged.
pbuffer *resolve_to_origin(const char *path, uint32_t *kind, int skip_exact);
void automount_p_path(char *p);

// The mount whose origin is the deepest folder prefix of ram_path (the first
// of equal depths), or null.
pmount_entry *mount_owning_ram_path(const char *ram_path);
// The cartridge mount (one with a cartridge file) whose folder is the
// deepest folder prefix of ram_path, or null: the cartridge that a RAM path
// is saved in, whichever plain mount into it the path came through.
pmount_entry *cartridge_owning_ram_path(const char *ram_path);
// Marks the mount whose origin is the deepest folder prefix of ram_path as
// changed, with a flush time 300 ms ahead unless one is already set; every
// other mount point of the same folder (one cartridge reached two ways)
// shares the mark, and so does the cartridge that holds the path when that
// mount is a plain mount into one of its subfolders.
void mark_parent_mount_dirty(const char *ram_path);

const char *get_mount_description(const char *path);

// Releases a record's texts and zeroes it.
void release_mount(pmount_entry *m);
// Empties the mount table, releasing the records' texts.
void pdisk_clear_mounts();
