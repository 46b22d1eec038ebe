// The bitwise and shift members of the element-wise family
// (userdata/ud_frame.h): band, bor, bxor, shl and shr, each both the operator
// (__band, ...) and the method. Integer element types only: an f64 call
// returns nothing before its destination is looked at. A nil, missing or
// other non-number argument 2 is the scalar 0 on the right.
//
// The shift count is y's low 5 bits (u8, i16, i32) or 6 bits (i64), never
// compared with the width: u8 and i16 shift in a 32-bit field and keep their
// low bits, so a u8 count of 8 to 31 gives 0 and 32 leaves the value. shr is
// logical on u8, arithmetic on the signed types.
#pragma once

#include <cstdint>

#include "lang/lua_api.h"

int lua54_ud_band(lua_State *L);
int lua54_ud_bor(lua_State *L);
int lua54_ud_bxor(lua_State *L);
int lua54_ud_shl(lua_State *L);
int lua54_ud_shr(lua_State *L);

// The bitwise or of two 64-bit values.
uint64_t VOP_BOR(uint64_t x, uint64_t y);
