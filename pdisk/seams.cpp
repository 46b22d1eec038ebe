// Present bodies of the calls declared in pdisk/seams.h. Each is replaced by
// its real implementation when that part of the system lands.
#include "pdisk/seams.h"

// No cartridge mounting yet: paths through cartridge files are not mounted.
pmount_entry *mount_kvd_path(const char *) { return nullptr; }

// No cartridge write-back yet: there are no cartridge mounts to write.
void flush_dirty_mounts_immediately() {}

// No cartridge mount removal yet.
int delete_mount_point(const char *) { return 0; }

// No PNG cartridge writer yet: the label text is not kept.
void rom_keep_info_pod(const pbuffer *) {}
