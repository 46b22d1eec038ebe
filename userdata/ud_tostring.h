// The text form of a record.
#pragma once

#include "lang/lua_api.h"

// __tostring(ud): an f64 record of width 2 to 5 gives its first row as
// "(a, b, ...)" with each element through "%0.14g"; width 3 and height 4
// gives all four rows, joined by ",\n". Every other record gives
// "userdata: 0x%x" with the low 32 bits of its address.
int lua54_ud_tostring(lua_State *L);
