// The arithmetic members of the element-wise family (userdata/ud_frame.h):
// add, sub, mul, div, idiv, mod and pow, each both the operator (__add, ...)
// and the method of the same name. x is the left value and y the right one
// in source order; integer results keep the element width's low bits.
//
// - add, sub, mul wrap; f64 follows IEEE.
// - div and idiv on integers truncate toward zero (idiv is div there); a zero
//   divisor gives ud_div_fill_max for x >= 0 and ud_div_fill_min for x < 0
//   (u8 255; i16 +-32767; i32 +-2147483647; i64 +-(2^47 - 1)). The most
//   negative value divided by -1 is itself. f64 div is x / y and idiv
//   floor(x / y); a divisor equal to 0 gives +-DBL_MAX by x < 0.
// - mod is the floor modulo (the sign of y); 0 for a zero divisor on every
//   type. u8 has the plain remainder.
// - pow: y == 2 gives x * x (wrapped); otherwise pow() of the values as
//   floats, truncated to 32 bits (u8, i16, i32: then the low bits) or 64 bits
//   (i64); out of range, infinite or NaN gives the most negative value. On i64
//   the square goes through a float as well.
// add, sub, mul and pow refuse a nil or missing argument 2; div, idiv and mod
// take it as the scalar 0.
#pragma once

#include <cstdint>

#include "lang/lua_api.h"

int lua54_ud_add(lua_State *L);
int lua54_ud_sub(lua_State *L);
int lua54_ud_mul(lua_State *L);
int lua54_ud_div(lua_State *L);
int lua54_ud_idiv(lua_State *L);
int lua54_ud_mod(lua_State *L);
int lua54_ud_pow(lua_State *L);

// The floor modulo of two integers (0 for y == 0; never traps) and of two
// doubles (0.0 for y == 0).
int64_t VOP_MOD(int64_t x, int64_t y);
double VOP_MODF(double x, double y);
