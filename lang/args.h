// Reading Lua arguments as integers, and the one defined conversion from a
// float to an integer (a plain cast of NaN or an out-of-range value is
// undefined behaviour).
#pragma once

#include <cstdint>

#include "lang/lua_api.h"

// x truncated toward zero as a 64-bit integer; NaN and values outside the
// 64-bit range give INT64_MIN.
int64_t kvd_double_to_i64(double x);
// x truncated toward zero as a 32-bit integer; NaN and values outside the
// 32-bit range give INT32_MIN.
int32_t kvd_double_to_i32(double x);

// The argument at index as an integer: an integer as it is; a float or a
// numeric string floored (NaN and out-of-range values give INT64_MIN);
// anything else (nil, missing, boolean, table, non-numeric string) the
// default.
int64_t kvd_intp(lua_State *L, int index, int64_t def);

// The argument at index read by truncation: a number or numeric string as a
// float truncated toward zero to 32 bits (NaN and out-of-range values give
// INT32_MIN); anything else 0.
int32_t kvd_truncp(lua_State *L, int index);

// The argument at index by Lua's exact integer conversion (an integer, an
// integral float or a string holding one); anything else 0.
int64_t kvd_exactp(lua_State *L, int index);
