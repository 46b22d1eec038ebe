// Host folders: the program's own folder, the application-data folder (with
// its export level), the desktop, and folder creation.
//
// Linux stands in for the reference platform's folders: application data
// lives in $XDG_DATA_HOME/Kavelund (default $HOME/.local/share/Kavelund) and
// the desktop is $XDG_DESKTOP_DIR (default $HOME/Desktop).
#pragma once

#include <cstdint>

// What the folder rules are given at start-up: the program's own path (for
// the program-folder paths) and the export name of the system ROM.
struct paths_state {
  char argv0[1024];
  char export_name[256];
};
extern paths_state paths;

// Stores the program's path from argv[0] (at most 1023 bytes). A bare name
// (no separator, as when found through PATH, or empty) is replaced by /proc/self/exe, so that
// files beside the program (sysrom.dat) are found.
void paths_set_argv0(const char *argv0);

// The export name from blob 0 of the system ROM file (length bytes, up to the
// first zero byte); null or empty means the shared folder. A name holding a
// path separator or naming "." or ".." is not used.
void paths_set_export_name(const uint8_t *blob, int32_t length);

// mkdir with mode 0755; the host call's result.
int paths_mkdir(const char *path);

// Each writes a host folder followed by `name` into out, which must hold
// 1024 bytes plus the name, and returns out. The folder part is cut at 1023
// bytes.
char *paths_prefix_program(const char *name, char *out);
char *paths_prefix_appdata(const char *name, char *out);
char *paths_prefix_desktop(const char *name, char *out);

// Extends an application-data root (a buffer of 1024 bytes) with "exp/" and
// the export name followed by "/", or "shared/", creating each level.
void paths_append_export_home(char *path);
