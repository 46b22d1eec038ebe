// Whole-file and folder operations on workstation paths.
#pragma once

#include <cstdint>

#include "base/pbuffer.h"

// True when a file (or folder) can be opened at the path.
bool pdisk_file_exists(const char *path);
// True when the path names a folder: a host or RAM folder, or with
// follow_mounts a mount point onto one.
bool pdisk_directory_exists(const char *path, bool follow_mounts);
// True when the host folder can be opened.
bool host_directory_exists(const char *host_path);
int64_t pfile_size(const char *path, int skip_exact);
// Bytes copied; 0 when the source cannot be opened; -1 when the destination
// cannot be opened (an illegal path included) or writing it to the host
// failed (it is left as it was).
// Copying a file onto itself leaves it intact. A cartridge path is copied as
// its file, and a cartridge destination's mounts are written back and
// dropped first. *source_found (when given) tells whether the source opened.
int64_t fcopy(const char *src, const char *dst, bool *source_found = nullptr);
// 0 on success; 1 illegal, existing or unmountable; 2 full table; a failed
// host folder creation gives the host call's result.
int pmkdir(const char *path);
int delete_ram_files_in_path(const char *ram_path);
// Deletes a file, an empty folder, or a RAM folder with its contents. 0 when
// the path names nothing afterwards; -1 for an illegal path or when what it
// names stays (a host folder with contents, the root or another folder the
// system mounted, a RAM folder behind a mounted cartridge, a host refusal, a
// cartridge that takes no change).
int delete_path(const char *path);
