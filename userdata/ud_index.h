// Indexing a record from Lua: ud[i], ud.x and ud:method.
#pragma once

#include "lang/lua_api.h"

// __index(ud, key): a one-letter key names an element (x 0, y 1, z 2, u 3,
// v 4, w 5, t 6; other letters nothing); a longer string key is the field of
// that name in ud's metatable (how methods are found); a number key is an
// element index, a float that is not an exact integer meaning 0. An index
// outside the record gives nothing, an element an integer (u8, i16, i32,
// i64) or a float (f64).
int lua54_ud_index(lua_State *L);
// __newindex(ud, key, value): a one-letter component key or a number key
// (floored) writes that element: integer types the low bits of the floored
// value (0 for a non-number), f64 the number (0 for a non-number). Other
// keys and indices outside the record do nothing.
int lua54_ud_newindex(lua_State *L);
