// Stubs of cartridge mounting and write-back, which are not built yet.
#include "pdisk/cart_mount.h"

// No cartridge mounting yet: paths through cartridge files are not mounted.
pmount_entry *mount_kvd_path(const char *) { return nullptr; }
void flush_dirty_mounts_immediately() {}
int delete_mount_point(const char *) { return 0; }
void flush_dirty_mounts_delayed() {}
void delete_clean_ram_mounts() {}
void prune_process_mounts(int64_t) {}
