// Cartridge write-back and mount pruning as the kernel's frame loop and
// process manager call them. Until they are built these do nothing
// (pdisk/kernel_seams.cpp).
#pragma once
#include <cstdint>

// Writes back the dirty cartridge mounts whose settle time has passed.
void flush_dirty_mounts_delayed();
// Removes the clean cartridge, cart-server and file-history RAM mounts.
void delete_clean_ram_mounts();
// Drops mounts and RAM files no longer needed.
void prune_mounts();
// Removes the mounts that belong to a process being freed.
void prune_process_mounts(int64_t process_id);
