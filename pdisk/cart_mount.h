// Cartridge mounting, write-back and mount pruning, as the file system, the
// frame loop and the process manager call them. Still stubs
// (pdisk/cart_mount_stubs.cpp) where cartridge mounting is not built.
#pragma once

#include <cstdint>

struct pmount_entry;

// Mounts the cartridge at canonical path p onto a new RAM folder holding its
// unpacked contents; returns the mount (an existing one when p is already a
// mount point), or null.
pmount_entry *mount_kvd_path(const char *p);
// Writes every dirty cartridge mount back now.
void flush_dirty_mounts_immediately();
// Removes the mount whose point is exactly path (written back first when
// dirty); 1 when one was removed.
int delete_mount_point(const char *path);
// Writes back the dirty cartridge mounts whose settle time has passed.
void flush_dirty_mounts_delayed();
// Removes the clean cartridge, cart-server and file-history RAM mounts.
void delete_clean_ram_mounts();
// Drops mounts and RAM files no longer needed.
void prune_mounts();
// Removes the mounts that belong to a process being freed.
void prune_process_mounts(int64_t process_id);
