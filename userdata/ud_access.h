// Reading and writing runs of elements: the Lua functions get and set, as
// globals and as record methods (the same code).
#pragma once

#include "lang/lua_api.h"

// get(ud, x, [y], [count]): for a 1-D record (ud, x, count), for a 2-D one
// (ud, x, y, count). x and y are floored. Without a numeric x the count is
// the whole record. Pushes count values from element x + y * width on,
// integers for the integer types and floats for f64, then integer zeros past
// the end; a start outside the record gives the single float 0.0; a count
// the Lua stack cannot take prints a line and gives nothing; a count below 1
// gives nothing. Charges half a cycle per value.
int lua54_get_0(lua_State *L);
// set(ud, x, [y], value, ...): x and y truncated toward zero; writes the
// values from element x + y * width on, dropping those past the end. Integer
// elements keep the low bits of the floored value, f64 elements take numbers
// and numeric strings (anything else 0). Charges nothing; returns nothing.
int lua54_set_0(lua_State *L);

// The global functions and the record methods; each runs the code above.
int lua54_get(lua_State *L);
int lua54_set(lua_State *L);
int lua54_ud_get(lua_State *L);
int lua54_ud_set(lua_State *L);
