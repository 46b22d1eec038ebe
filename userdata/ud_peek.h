// Moving elements between a record and the current process's memory.
#pragma once

#include "lang/lua_api.h"

// peek(ud, address, [offset], [count]) and poke(...): elements offset to
// offset + n - 1, n = min(count, elements from offset on; default all), read
// from or written to memory at address + i * element size, little-endian,
// one element at a time through the paged accessors (i16 and i32 read
// sign-extended). A negative offset counts as 0. f64 records are refused
// (nothing returned). Charges n / 4; returns ud.
int lua54_ud_peek(lua_State *L);
int lua54_ud_poke(lua_State *L);
