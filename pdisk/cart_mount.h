// Cartridge mounting, write-back and mount pruning, as the file system, the
// frame loop and the process manager call them.
//
// A cartridge file is used like a folder: the first path through it unpacks
// it into a RAM folder "/ram/mount/m<n>" mounted at the cartridge's path.
// Writes inside mark the mount dirty; 300 ms after the first unsaved change
// (or at once on a flush request) the folder is packed with the writer of the
// cartridge's kind into a buffer and only then written over the cartridge
// file through its parent mount. A write-back that fails (nothing could be
// packed, the host refused, or the kind has no writer here) keeps the mount
// dirty, logs, notifies the first time and tries again later. Nothing is
// written back and nothing pruned while a process holds the system.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/pbuffer.h"

struct pmount_entry;

enum kvd_kind : int { KVD_NONE = 0, KVD_TEXT = 1, KVD_ROM = 2, KVD_PNG = 3 };

// Milliseconds from the first unsaved change to its write-back.
constexpr uint64_t CART_FLUSH_DELAY_MS = 300;
// Milliseconds before a failed write-back is tried again by the frame loop.
constexpr uint64_t CART_RETRY_DELAY_MS = 2000;

// Cartridge kind of a path by its suffix (".kvd", ".kvd.rom", ".kvd.png"),
// the same test as automounting: "v1.2.kvd" is a text cartridge.
int kvd_path_kind(const char *path);
// The same for the first n characters of path (no scan for its end).
int kvd_path_kind_n(const char *path, size_t n);

// Host memory that unpacked cartridges hold together (the data of the RAM
// files in their folders). A new mount that passes it first unmounts clean
// cartridges, least recently used first; cartridges with unsaved changes,
// with a file open, with a cartridge mounted inside or with another mount
// into their folder stay. A mount that still passes it is refused (logged).
// One cartridge being unpacked may pass the bound for a moment: the reader
// learns its size only by unpacking it (a ROM holds at most 64 MiB).
constexpr int64_t CART_UNPACKED_BOUND = int64_t(256) << 20;

// File-table slots above which pruning runs; starts at 4096.
extern int32_t prune_slots_threshold;
// The bound in force (CART_UNPACKED_BOUND; tests lower it).
extern int64_t cart_unpacked_bound;
// Start-up and reboot state of cartridge mounting (the prune threshold and
// the bound).
void cart_mount_reset();
// Bytes the cartridge folders' RAM files hold now.
int64_t cart_unpacked_bytes();

// Mounts the cartridge at canonical path p onto a new RAM folder holding its
// unpacked contents; returns the mount (an existing one when p is already a
// mount point), or null (also when unpacked cartridges would pass the
// bound). A pointer into the mount table taken before the call is stale
// after it: making room removes mounts.
pmount_entry *mount_kvd_path(const char *p);
// The mount at p when the cartridge file p resolves to is already mounted
// at another point (p becomes a second point of that copy), else null.
pmount_entry *mount_kvd_alias(const char *p);
// Unpacks a text cartridge read from b's cursor by its version line, with
// automounting blocked (cartridge files inside stay files).
// 0 when it was read whole (or was empty); -1 when anything was not.
int populate_ram_folder_from_kvd_buffer(const char *dest, pbuffer *b);
// Unpacks the ROM hidden in the PNG cartridge held in b, and the label its
// picture shows as "label.qoi" (when it shows one and the ROM brought no
// label.png or label.qoi). 0 when it was read whole;
// -1 for a damaged or foreign picture (said on standard output, dest left
// empty) or a ROM inside that was not read whole.
int populate_ram_folder_from_kvd_png_buffer(const char *dest, pbuffer *b);

// Writes one mount back. The workstation's contract fixes its answer: 1 when
// it was written; 0 when it was clean, not due (delayed), held, not a
// cartridge (its mark is cleared), or when the write failed (it stays dirty).
int flush_dirty_mount(pmount_entry *m, int delayed);
// Every mount, last to first; the number written.
int flush_dirty_mounts_ex(int delayed);
// Writes back the dirty cartridge mounts whose settle time has passed.
void flush_dirty_mounts_delayed();
// Writes every dirty cartridge mount back now.
void flush_dirty_mounts_immediately();
// Writes every dirty mount back now, also while a process holds the system:
// a cartridge file read whole gives what its mount holds.
void flush_dirty_mounts_for_whole_read();

// Writes every dirty cartridge back, also while a process holds the system;
// each one that cannot be saved is named in the log and on standard error.
// The number that failed.
int flush_dirty_mounts_at_exit();

// True when a change (a write, a new folder, or with `deleting` a deletion)
// at the canonical path canon, whose origin is origin of kind, would not be
// kept, so that it must fail: the path goes through a cartridge name that is
// neither mounted nor a folder (refused for room, replaced, deleted); or it
// lies in a cartridge that was not read whole, or whose file lies in such a
// cartridge in turn; or in a cartridge folder that no cartridge holds; or,
// for a write, in a cartridge whose last write-back failed (until one
// succeeds). A cartridge that refuses is named once in the log and a
// notification.
bool cart_change_refused(const char *canon, const char *origin, uint32_t kind, bool deleting);
// Writes back and drops every mount of the cartridge file at path (at any
// mount point), before the file is replaced, copied or deleted as a whole;
// the cartridges whose files lie inside it go first. The next access
// mounts the file anew.
// With keep_unsaved, a mount that cannot be written back stays: its
// changes go only once the file is replaced.
void cart_release_file(const char *path, bool keep_unsaved = false);
// Drops every cartridge mount whose file lies at or below the RAM path
// (innermost first), writing each back first with `write_back`.
void cart_release_files_in(const char *ram_path, bool write_back);

// Writes back and drops the cartridges mounted below the mount point (a
// program's mount made or removed there): the paths under it now lead
// elsewhere. One that cannot be saved now stays mounted.
void cart_release_mounts_below(const char *point);

// Before a reboot: writes every dirty cartridge back (also while a process
// holds the system), names each one that could not be saved in the log and
// on standard error, and takes those (with the cartridges holding their
// files) out of the tables, which the reset then empties. The number not
// saved.
int cart_hold_unsaved();
// After the reset: puts the cartridges taken out back, still dirty, so that
// they are written once their files can be, or at exit.
void cart_restore_unsaved();

// True when a program may not change the path: the folder of the unpacked
// cartridges ("/ram/mount") and everything below it.
bool cart_path_reserved(const char *path);
// Why a program may not mount at point onto target, or null: no mount at
// "/ram", or at or below "/ram/mount" or "/system"; no target in a cartridge
// folder that no cartridge holds.
const char *cart_program_mount_refused(const char *point, const char *target);

// Removes the mount whose point is exactly path (written back first when
// dirty). The workstation's contract fixes its answer: 1 when one was
// removed, else 0.
int delete_mount_point(const char *path);
// Removes mount record `index` (its RAM files stay).
void delete_mount_entry(int index);
// Removes the clean cartridge, cart-server and file-history RAM mounts with
// their RAM files.
void delete_clean_ram_mounts();
// Drops mounts and RAM files no longer needed when the tables fill up.
void prune_mounts();
// The threshold that follows T when n slots were in use.
int32_t next_prune_threshold(int32_t t, int32_t n);
// Removes the mounts that belong to a process being freed.
void prune_process_mounts(int64_t process_id);
