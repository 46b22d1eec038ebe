// Workstation path texts: legality, canonical form and extensions.
#pragma once

#include "base/pbuffer.h"

// Segments of this length or more cannot be stored: the host refuses names
// beyond 255 bytes, and a shortened name would silently name another file.
constexpr int PDISK_MAX_SEGMENT = 255;

bool is_path_char(int c);
// The name of a "name://" prefix (as collapse_path takes it), or null.
const char *get_prot(const char *p);

// The longest path text (joined to the working folder when relative) a file
// operation takes: the host names no longer path, and a bound keeps each
// resolution short however many cartridges a path names.
constexpr int PDISK_MAX_PATH = 4095;

// Canonical form of a path: single "/" separators, no "." or ".." segments
// (".." folded, never above the root or a "name://" prefix, whose name is 1
// to 15 ASCII letters and digits from the start); "/" when empty. Collapsing
// a canonical form gives it back unchanged.
// Returns a new buffer (tag 'N'). When too_long is given it is set to 1 if a
// segment had PDISK_MAX_SEGMENT characters or more (such a segment is kept).
pbuffer *collapse_path(const char *text, int len, int verbose, int *too_long = nullptr);

// The canonical absolute path (relative paths start at the current process's
// working folder), or null for an illegal path, an over-long segment or
// text (PDISK_MAX_PATH), or a
// path whose folding leaves illegal characters outside a "#" suffix.
// Normalising a canonical path gives it back unchanged.
pbuffer *normalise_kavelund_path(const char *p);

int get_path_parent_match_depth(const char *mount_point, const char *path);
const char *get_ext(const char *p);
bool ram_path_is_inside_origin(const pbuffer *path, const pbuffer *folder, int allow_equal);

// True when a "/"-separated segment of p is exactly "..": the one name that
// leads out of a folder ("a..b" and "..." are plain names).
bool has_parent_segment(const char *p);

// True when p is a relative path in canonical form: segments of path
// characters, none empty, "." or "..", none of PDISK_MAX_SEGMENT characters
// or more, no "/" at either end. A name a cartridge stores must be one, or
// the file it names would be saved back under another name.
bool is_canonical_relative_path(const char *p);

// True when path begins with folder and continues with "/" or ends there.
bool path_is_at_or_below(const char *path, const char *folder);

// Cuts one trailing "/" from b (cursor to the new end); with keep_root a
// lone "/" stays.
void cut_trailing_slash(pbuffer *b, bool keep_root);
