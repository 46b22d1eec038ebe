// Bytes fetched from a file, a download or the file history made into a Lua
// value by the name's extension. Still a stub (pod/fetched_buffer_stubs.cpp)
// where fetched-buffer decoding is not built.
#pragma once

#include "kernel/pbuffer.h"
#include "lang/lua_api.h"

// Pushes the value of the bytes in buffer named name; the number of values
// pushed (0 when buffer or name is null).
int unpod_from_fetched_buffer(lua_State *L, pbuffer *buffer, const char *name, int flags);
