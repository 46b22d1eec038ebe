// Host files behind the file table: whole-file reads, and writes that replace
// a file atomically (a temporary file beside it, then a rename), so a failed
// or interrupted write never leaves a half-written file.
#pragma once

#include <cstdio>

#include "base/pbuffer.h"

// True when the host file (or folder) opens for reading.
bool host_file_is_readable(const char *host_path);

// host_path with its folder's symbolic links (and the file's own) followed:
// one name for every way a file is reached; host_path itself when its folder
// is missing.
pbuffer *host_real_path(const char *host_path);

// Appends the file's bytes to out in 16 KiB chunks; with limit >= 0, stops
// once out holds limit bytes or more. 0 on success; -1 when the file cannot
// be opened, is not a regular file (a folder holds no bytes, a pipe would
// block), or does not fit a buffer.
int host_file_read(const char *host_path, pbuffer *out, int limit);

// Creates the temporary file for a write of host_path; *tmp_path receives
// its path. Null when the folder refuses, or when host_path exists and is not
// a writable regular file.
FILE *host_write_begin(const char *host_path, pbuffer **tmp_path);

// Writes data to tmp (after the current contents of host_path when append is
// set), flushes it to disk and renames it over host_path; closes tmp. 0 on
// success; -1 when any step failed, with host_path untouched and the
// temporary file removed.
int host_write_finish(FILE *tmp, const pbuffer *tmp_path, const char *host_path,
                      const pbuffer *data, int append);

// host_write_finish in its two steps, for a caller that must act between
// them: settle writes, flushes and closes the temporary file (removed on
// failure), commit renames it over host_path (removed on failure). Each 0,
// or -1.
int host_write_settle(FILE *tmp, const pbuffer *tmp_path, const char *host_path,
                      const pbuffer *data, int append);
int host_write_commit(const pbuffer *tmp_path, const char *host_path);

// Closes and removes an unfinished temporary file.
void host_write_abandon(FILE *tmp, const pbuffer *tmp_path);

// Removes the temporary files (".NAME~kvdtmp~PID~N") that writers killed
// mid-write left in host_folder and the folders below it (symbolic links
// are not followed; at most 32 levels). A file whose writer still runs (this
// program, or another live process of that id) stays. The number removed.
int host_remove_stale_temp_files(const char *host_folder);

struct dirent;

// Whether a readdir entry of host_folder is a folder. File systems that
// report no type (DT_UNKNOWN), and symbolic links, are asked through stat.
bool host_entry_is_folder(const char *host_folder, const struct dirent *e);
