// Host services for userland and the host layer: the clipboard, showing a
// host path or a web address in the host's own viewer, trimming, and worker
// threads.
//
// Linux stands in for the reference platform's "open" command with
// `xdg-open`, started with an argument vector (never through a shell), so
// quotes, semicolons or dollar signs in a path are passed on as they are.
#pragma once

#include <cstdint>
#include <string>

struct lua_State;

// A trimmed copy of text, valid until the next call: leading spaces and
// bytes 1..31 and 128..255 skipped, trailing bytes whose signed value is at
// most 32 cut. Null text gives null.
const char *host_trim(const char *text);

// A web address as it is handed to the viewer: letters, digits and
// - . / & : = ? _ kept, every other byte as %xx (lower-case hex); the whole
// command would stop at 1020 bytes, so the address is cut there.
std::string encode_host_address(const char *address);
// The program that shows a host path or an address (xdg-open unless the
// environment names another in KVD_OPEN_COMMAND, used by the tests).
const char *host_open_command();
// Shows a host path or a web address ("http:" or "https:") in the host's
// viewer, then minimises a fullscreen window. Returns the spawned process id,
// or -1 when it could not be started. The child is reaped in the background.
int64_t open_host_file(const char *target);

int lua54__req_host_clipboard_text(lua_State *L);
int lua54__get_host_clipboard_text(lua_State *L);
int lua54__set_host_clipboard_text(lua_State *L);
int lua54__open_host_path(lua_State *L);
