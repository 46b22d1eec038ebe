// Calls from the file system into work that other parts of the system fill
// in later: cartridge mounting and write-back, and the label text of PNG
// cartridges. Their present bodies (pdisk/seams.cpp) do nothing, as each
// says.
#pragma once

#include <cstdint>

#include "kernel/pbuffer.h"

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

// The ROM writer met ".info.pod" while asked for the cartridge's label text
// (writer flag 8); data holds that file's bytes.
void rom_keep_info_pod(const pbuffer *data);
