// Argument reading and float-to-integer conversion.
#include "lang/args.h"

#include <cmath>

int64_t kvd_double_to_i64(double x) {
  // -2^63 is exact as a double; 2^63 is the first value past the range.
  if (!(x >= -9223372036854775808.0 && x < 9223372036854775808.0)) return INT64_MIN;
  return int64_t(x);
}

int32_t kvd_double_to_i32(double x) {
  int64_t v = kvd_double_to_i64(x);
  return v < INT32_MIN || v > INT32_MAX ? INT32_MIN : int32_t(v);
}

int64_t kvd_intp(lua_State *L, int index, int64_t def) {
  if (lua_isinteger(L, index)) return lua_tointeger(L, index);
  int t = lua_type(L, index);
  if (t != LUA_TNUMBER && t != LUA_TSTRING) return def;
  int isnum = 0;
  lua_Number n = lua_tonumberx(L, index, &isnum);
  return isnum ? kvd_double_to_i64(std::floor(n)) : def;
}

int32_t kvd_truncp(lua_State *L, int index) {
  int t = lua_type(L, index);
  if (t != LUA_TNUMBER && t != LUA_TSTRING) return 0;
  int isnum = 0;
  lua_Number n = lua_tonumberx(L, index, &isnum);
  return isnum ? kvd_double_to_i32(n) : 0;
}

int64_t kvd_exactp(lua_State *L, int index) {
  int isnum = 0;
  lua_Integer v = lua_tointegerx(L, index, &isnum);
  return isnum ? v : 0;
}
