// Converting a record to another element type, or to an indexed image.
#pragma once

#include "lang/lua_api.h"

// ud:convert([type], [indexed]):
// - plain: a new record of the named type (default u8) and ud's shape; the
//   same type copies the bytes (no charge); integers narrow by keeping the
//   low bits and widen by sign (u8 by zero) extension; integers to f64 round
//   to nearest; f64 to integers floor, then (i32, i16, u8) take the low bits
//   of the 32-bit value or (i64) the 64-bit value, NaN and out-of-range
//   values through kvd_double_to_i32 / kvd_double_to_i64. Charges n/2 between
//   integers, n with i64 among them, 2n to or from f64.
// - indexed (type exactly "u8" and indexed true): a u8 image of palette
//   indices and a 1-D palette of ud's type holding at most 256 keys in order
//   of first appearance (f64 keys truncated toward zero); keys past the
//   256th map to 255. Charges n.
// Nothing for a non-record, or when the result cannot be created.
int lua54_ud_convert(lua_State *L);
