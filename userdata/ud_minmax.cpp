// Element rules of max, min, abs, sgn and sgn0. The f64 rules are plain
// comparisons on purpose: the library's max, min and abs treat NaN and -0.0
// otherwise.
#include "userdata/ud_minmax.h"

#include <type_traits>

#include "userdata/ud_frame.h"
#include "userdata/udata.h"

namespace {

int64_t compare_divisor(uint32_t type) { return utype_size(type) == 8 ? 2 : 4; }

struct op_max {
  template <class T>
  static T rule(T x, T y) {
    return x > y ? x : y;
  }
  static int64_t divisor(uint32_t type) { return compare_divisor(type); }
  static int64_t host_ns10(const frame_call &, const frame_plan &) { return UD_NS10_CHEAP; }
};

struct op_min {
  template <class T>
  static T rule(T x, T y) {
    return x < y ? x : y;
  }
  static int64_t divisor(uint32_t type) { return compare_divisor(type); }
  static int64_t host_ns10(const frame_call &, const frame_plan &) { return UD_NS10_CHEAP; }
};

struct op_abs {
  template <class T>
  static T rule(T, T y) {
    if constexpr (std::is_floating_point_v<T>)
      return -y > y ? -y : y;
    else if constexpr (std::is_unsigned_v<T>)
      return y;
    else
      return y < 0 ? T(std::make_unsigned_t<T>(0) - std::make_unsigned_t<T>(y)) : y;
  }
  static int64_t divisor(uint32_t type) { return compare_divisor(type); }
  static int64_t host_ns10(const frame_call &, const frame_plan &) { return UD_NS10_CHEAP; }
};

struct op_sgn {
  template <class T>
  static T rule(T, T y) {
    if constexpr (std::is_floating_point_v<T>)
      return y >= 0 ? 1.0 : -1.0;
    else if constexpr (std::is_unsigned_v<T>)
      return 1;
    else
      return y < 0 ? T(-1) : T(1);
  }
  static int64_t divisor(uint32_t type) { return compare_divisor(type); }
  static int64_t host_ns10(const frame_call &, const frame_plan &) { return UD_NS10_CHEAP; }
};

struct op_sgn0 {
  template <class T>
  static T rule(T, T y) {
    if constexpr (std::is_floating_point_v<T>)
      return y > 0 ? 1.0 : y == 0 ? 0.0 : -1.0;
    else
      return y > 0 ? T(1) : y < 0 ? T(-1) : T(0);
  }
  static int64_t divisor(uint32_t type) { return compare_divisor(type); }
  static int64_t host_ns10(const frame_call &, const frame_plan &) { return UD_NS10_CHEAP; }
};

}  // namespace

int lua54_ud_max(lua_State *L) { return frame_run<op_max>(L, PROLOGUE_STRICT); }
int lua54_ud_min(lua_State *L) { return frame_run<op_min>(L, PROLOGUE_STRICT); }
int lua54_ud_abs(lua_State *L) { return frame_run<op_abs>(L, PROLOGUE_SELF); }
int lua54_ud_sgn(lua_State *L) { return frame_run<op_sgn>(L, PROLOGUE_SELF); }
int lua54_ud_sgn0(lua_State *L) { return frame_run<op_sgn0>(L, PROLOGUE_SELF); }
