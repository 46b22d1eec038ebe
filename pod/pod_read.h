// The pod text reader. Texts come from other processes, files and the
// network, so the reader never reads past the length it is given, never
// raises on bad text (only the Lua runtime's out-of-memory error can pass
// through it), and bounds its nesting and every size it reads.
#pragma once

#include <cstdint>

#include "lang/lua_api.h"

// Wrapped forms (unpod("..."), b64:, lz4) nest at most this deep.
constexpr int POD_MAX_WRAP = 8;
// The longest string a quoted pod string may give (the writer uses the
// binary "str" form for longer ones).
constexpr uint64_t POD_MAX_QUOTED_STRING = 16777215;

// The state of one read. A read is bounded by what the calling process may
// still hold (memory_headroom): b64: and lz4 forms, all levels together,
// expand to at most that many bytes, and the read fails as soon as the
// process's counted memory passes its limit (outside a process: once the
// Lua state has grown by memory_headroom_without_process).
struct pod_reader {
  lua_State *L;
  int table_depth;         // tables open (the writer's POD_MAX_DEPTH is the limit)
  int wrap_depth;          // wrapped forms open
  uint64_t inflated;       // bytes produced by b64: and lz4 forms so far
  uint64_t inflate_limit;  // the most they may produce
  int64_t start_bytes;     // the Lua state's bytes when the read began
};

// A reader at the start of a read by the current process.
pod_reader pod_reader_start(lua_State *L);

// Reads one value at p (blanks before it skipped) and pushes it; returns the
// position after it, or null with the stack as it was.
const uint8_t *pod_get_value(pod_reader &r, const uint8_t *p, const uint8_t *end);

// Reads a whole pod text [text, end): pushes the value, and then the
// metadata table when the text has a metadata block and with_metadata is
// set. Returns the number of values pushed (0 on failure, stack unchanged).
int pod_read_text(pod_reader &r, const uint8_t *text, const uint8_t *end, bool with_metadata);

// Reads one pod text of `length` bytes (which may include a terminating zero
// byte). Returns the number of values pushed: 0 on failure, 1 (the value) or
// 2 (the value, then the metadata table).
int destringify_object(lua_State *L, const char *text, int64_t length);
int destringify_object_ex(lua_State *L, const char *text, int64_t length);
// 0 when the text does not begin with "--[[pod"; else the length of the
// metadata block with its "]]" and one following newline, or up to the first
// zero byte (or the length) when no "]]" follows.
int64_t find_metadata_length(const char *text, int64_t length);
// Pushes the table of the metadata block of a text that begins with
// "--[[pod" (an empty table when the body cannot be read); returns 1.
int destringify_object_metadata(lua_State *L, const char *text, int64_t length);
