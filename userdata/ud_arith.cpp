// Element rules of the arithmetic members.
#include "userdata/ud_arith.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
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
  static int64_t host_ns10(const frame_call &, const frame_plan &) { return UD_NS10_CHEAP; }
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
  static int64_t host_ns10(const frame_call &, const frame_plan &) { return UD_NS10_CHEAP; }
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
  static int64_t host_ns10(const frame_call &, const frame_plan &) { return UD_NS10_CHEAP; }
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
  static int64_t host_ns10(const frame_call &, const frame_plan &) { return UD_NS10_DIVIDE; }
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
  static int64_t host_ns10(const frame_call &, const frame_plan &) { return UD_NS10_DIVIDE; }
};

// The biased exponent field of a double (0 for zeros and subnormals, 2047
// for infinities and NaNs).
int64_t exponent_field(double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, 8);
  return int64_t(bits >> 52) & 2047;
}

// The host time of one double modulo: the remainder is reduced a few bits
// at a time, so it grows with how far the dividend's exponent lies above the
// divisor's. The widest gap between any dividend and any divisor of the call
// (over the whole records, a scan far cheaper than the walk it weighs)
// prices every element. Walks too short to matter skip the scan.
int64_t fmod_ns10(const frame_call &c, const frame_plan &p) {
  constexpr int64_t widest = UD_NS10_FMOD + UD_NS10_FMOD_BIT * 2047;
  if (p.idle || (p.j1 - p.j0) * std::max<int64_t>(p.span_most, 0) < 4096) return widest;
  auto range = [](const udata *u, int64_t *lo, int64_t *hi) {
    const double *e = reinterpret_cast<const double *>(udata_elements(u));
    uint64_t n = udata_count(u);
    int64_t a = 2047, b = 0;
    for (uint64_t i = 0; i < n; i++) {
      // Zeros, infinities and NaNs take the quick way.
      int64_t x = exponent_field(e[i]);
      if (e[i] == 0 || x == 2047) continue;
      a = x < a ? x : a;
      b = x > b ? x : b;
    }
    *lo = a;
    *hi = b;
  };
  int64_t p_lo, p_hi, s_lo, s_hi;
  range(c.primary, &p_lo, &p_hi);
  if (c.second)
    range(c.second, &s_lo, &s_hi);
  else if (c.scalar == 0 || !std::isfinite(c.scalar))
    s_lo = 2047, s_hi = 0;  // quick, as in the records
  else
    s_lo = s_hi = exponent_field(c.scalar);
  // Dividends and divisors: the primary over the second operand or the
  // scalar on the right, the scalar over the primary on the left.
  int64_t top = c.form == FORM_SCALAR_LEFT ? s_hi : p_hi;
  int64_t bottom = c.form == FORM_SCALAR_LEFT ? p_lo : s_lo;
  int64_t gap = top > bottom ? top - bottom : 0;
  return UD_NS10_FMOD + UD_NS10_FMOD_BIT * gap;
}

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
  static int64_t host_ns10(const frame_call &c, const frame_plan &p) {
    return c.type == UTYPE_F64 ? fmod_ns10(c, p) : UD_NS10_DIVIDE;
  }
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
  static int64_t host_ns10(const frame_call &, const frame_plan &) { return UD_NS10_POW; }
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
