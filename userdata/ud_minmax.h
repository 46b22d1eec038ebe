// Minimum, maximum, absolute value and sign: members of the element-wise
// family (userdata/ud_frame.h), methods only, on all five element types.
//
// max(x, y) = x > y ? x : y and min(x, y) = x < y ? x : y, compared at the
// element's type (u8 unsigned): for f64 a NaN or an equal pair gives y, so
// max(0.0, -0.0) is -0.0. max and min refuse a nil or missing argument 2.
//
// abs, sgn and sgn0 apply f to the right value only; with argument 2 nil or
// missing, argument 1 is the second operand too. abs keeps the most negative
// integer and -0.0 and NaN as they are; sgn is -1 below zero, else 1 (u8
// always 1; f64 NaN -1.0); sgn0 is 1, -1 or 0 (f64: +0.0 for both zeros, NaN
// -1.0).
#pragma once

#include "lang/lua_api.h"

int lua54_ud_max(lua_State *L);
int lua54_ud_min(lua_State *L);
int lua54_ud_abs(lua_State *L);
int lua54_ud_sgn(lua_State *L);
int lua54_ud_sgn0(lua_State *L);
