// Element rules of the arithmetic members.
#include "userdata/ud_arith.h"

#include <cfloat>
#include <cmath>
#include <limits>
#include <type_traits>

#include "lang/args.h"
#include "userdata/ud_frame.h"
#include "userdata/udata.h"

namespace {

// Integer arithmetic is done unsigned in at least 32 bits, so that it wraps
// instead of overflowing; the result keeps the element's low bits.
template <class T>
using wide = std::conditional_t<sizeof(T) == 8, uint64_t, uint32_t>;

// The zero-divisor fills of div and idiv for a dividend >= 0; the negative
// fill is its negation.
template <class T>
constexpr T div_fill() {
  if constexpr (std::is_floating_point_v<T>)
    return DBL_MAX;
  else if constexpr (sizeof(T) == 8)
    return T(0x7fffffffffff);
  else
    return std::numeric_limits<T>::max();
}

template <class T>
T int_div(T x, T y) {
  if (y == 0) return x < 0 ? T(-div_fill<T>()) : div_fill<T>();
  // -1 is the one divisor whose quotient can overflow: it is the wrapped
  // negation.
  if (std::is_signed_v<T> && y == T(-1)) return T(wide<T>(0) - wide<T>(x));
  return T(x / y);
}

struct op_add {
  template <class T>
  static T rule(T x, T y) {
    if constexpr (std::is_floating_point_v<T>)
      return x + y;
    else
      return T(wide<T>(x) + wide<T>(y));
  }
  static int64_t divisor(uint32_t type) { return utype_size(type) == 8 ? 12 : 24; }
};

struct op_sub {
  template <class T>
  static T rule(T x, T y) {
    if constexpr (std::is_floating_point_v<T>)
      return x - y;
    else
      return T(wide<T>(x) - wide<T>(y));
  }
  static int64_t divisor(uint32_t type) { return utype_size(type) == 8 ? 12 : 24; }
};

struct op_mul {
  template <class T>
  static T rule(T x, T y) {
    if constexpr (std::is_floating_point_v<T>)
      return x * y;
    else
      return T(wide<T>(x) * wide<T>(y));
  }
  static int64_t divisor(uint32_t type) { return utype_size(type) == 8 ? 8 : 16; }
};

// div, idiv and mod: 2 for i64, else 4.
int64_t divide_divisor(uint32_t type) { return (type & 31) == UTYPE_I64 ? 2 : 4; }

struct op_div {
  template <class T>
  static T rule(T x, T y) {
    if constexpr (std::is_floating_point_v<T>)
      return y == 0 ? (x < 0 ? -DBL_MAX : DBL_MAX) : x / y;
    else
      return int_div(x, y);
  }
  static int64_t divisor(uint32_t type) { return divide_divisor(type); }
};

struct op_idiv {
  template <class T>
  static T rule(T x, T y) {
    if constexpr (std::is_floating_point_v<T>)
      return y == 0 ? (x < 0 ? -DBL_MAX : DBL_MAX) : std::floor(x / y);
    else
      return int_div(x, y);
  }
  static int64_t divisor(uint32_t type) { return divide_divisor(type); }
};

struct op_mod {
  template <class T>
  static T rule(T x, T y) {
    if constexpr (std::is_floating_point_v<T>)
      return VOP_MODF(x, y);
    else if constexpr (std::is_unsigned_v<T>)
      return y == 0 ? T(0) : T(x % y);
    else
      return T(VOP_MOD(x, y));
  }
  static int64_t divisor(uint32_t type) { return divide_divisor(type); }
};

struct op_pow {
  template <class T>
  static T rule(T x, T y) {
    if constexpr (std::is_floating_point_v<T>) {
      return y == 2.0 ? x * x : std::pow(x, y);
    } else if constexpr (sizeof(T) == 8) {
      double v = y == 2 ? double(T(wide<T>(x) * wide<T>(x))) : std::pow(double(x), double(y));
      return T(kvd_double_to_i64(v));
    } else {
      if (y == 2) return T(wide<T>(x) * wide<T>(x));
      return T(kvd_double_to_i32(std::pow(double(x), double(y))));
    }
  }
  static int64_t divisor(uint32_t type) { return utype_size(type) == 8 ? 1 : 2; }
};

}  // namespace

int64_t VOP_MOD(int64_t x, int64_t y) {
  if (y == 0 || y == -1) return 0;
  int64_t r = x % y;
  return r != 0 && (r < 0) != (y < 0) ? r + y : r;
}

double VOP_MODF(double x, double y) {
  if (y == 0) return 0.0;
  double r = std::fmod(x, y);
  return (r > 0 && y < 0) || (r < 0 && y > 0) ? r + y : r;
}

int lua54_ud_add(lua_State *L) { return frame_run<op_add>(L, PROLOGUE_STRICT); }
int lua54_ud_sub(lua_State *L) { return frame_run<op_sub>(L, PROLOGUE_STRICT); }
int lua54_ud_mul(lua_State *L) { return frame_run<op_mul>(L, PROLOGUE_STRICT); }
int lua54_ud_div(lua_State *L) { return frame_run<op_div>(L, PROLOGUE_OPEN); }
int lua54_ud_idiv(lua_State *L) { return frame_run<op_idiv>(L, PROLOGUE_OPEN); }
int lua54_ud_mod(lua_State *L) { return frame_run<op_mod>(L, PROLOGUE_OPEN); }
int lua54_ud_pow(lua_State *L) { return frame_run<op_pow>(L, PROLOGUE_STRICT); }
