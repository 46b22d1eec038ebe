// The pod text writer: any Lua value as the shortest Lua-literal-like text,
// with its binary forms chosen by pod flags.
#pragma once

#include <memory>

#include "base/pbuffer.h"
#include "lang/lua_api.h"

// pod flags (other bits are ignored).
enum : int {
  POD_FLAG_PXU = 1,          // u8 and i16 userdata in the binary pxu form
  POD_FLAG_LZ4 = 2,          // the finished text LZ4-wrapped ("lz4" form)
  POD_FLAG_BASE64 = 4,       // the finished text (or its lz4 form) base64-wrapped
  POD_FLAG_PXU_RAW = 16,     // with POD_FLAG_PXU: u8 userdata in pxu raw mode
  POD_FLAG_BINARY_STR = 32,  // strings in the binary "str" form
};

// Tables nest at most this deep in a pod text: the writer writes a deeper
// table (and a table that contains itself) as nil, and the reader refuses a
// text that nests deeper.
constexpr int POD_MAX_DEPTH = 256;

// Appends the pod text of the value at stack index `index` to b. Argument
// order: (L, index, buffer, flags, depth); depth is the nesting level of the
// value, 0 for a whole value. Flags 2 and 4 wrap the whole text. Strings
// longer than a quoted string may be take the binary "str" form. Returns 0,
// or -1 with b as it was when the text would not fit in a buffer, its
// unwrapped text would be longer than the current process may still hold
// (memory_room_left; the walk stops there), or it holds a string longer than
// POD_MAX_BINARY_STR: no text is written that the reader would refuse.
int stringify_object(lua_State *L, int index, pbuffer *b, int flags, int depth);
// The same with the unwrapped text bounded by `most` bytes instead of the
// current process's room: for a text that the caller never holds (a message
// goes to its receiver's queue, which bounds it again).
int stringify_object_within(lua_State *L, int index, pbuffer *b, int flags, int depth,
                            int64_t most);

// The text of a number as the pod writer writes it into out (room for 32
// bytes): integers in decimal, floats as "%.14g" (Lua's own form without its
// ".0"), infinities as 1e999 and -1e999 so that they read back, NaN as nil.
// Returns the length.
int pod_number_text(lua_State *L, int index, char *out);
