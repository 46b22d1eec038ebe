// Element rules of the bitwise and shift members.
#include "userdata/ud_bitwise.h"

#include <type_traits>

#include "userdata/ud_frame.h"
#include "userdata/udata.h"

namespace {

int64_t bitwise_divisor(uint32_t type) { return utype_size(type) == 8 ? 12 : 24; }

// Rules for the integer types; frame_run never calls them for f64 (the
// calls are refused first), so the f64 instantiation returns 0.
#define BITWISE_OP(name, expr)                                                                 \
  struct name {                                                                                \
    template <class T>                                                                         \
    static T rule(T x, T y) {                                                                  \
      if constexpr (std::is_floating_point_v<T>) {                                             \
        (void)x, (void)y;                                                                      \
        return 0;                                                                              \
      } else {                                                                                 \
        return expr;                                                                           \
      }                                                                                        \
    }                                                                                          \
    static int64_t divisor(uint32_t type) { return bitwise_divisor(type); }                    \
    static int64_t host_ns10(const frame_call &, const frame_plan &) { return UD_NS10_CHEAP; } \
  };

BITWISE_OP(op_band, T(x &y))
BITWISE_OP(op_bor, T(VOP_BOR(uint64_t(x), uint64_t(y))))
BITWISE_OP(op_bxor, T(x ^ y))
// u8 and i16 widen to 32 bits (zero- and sign-extended) before shifting.
BITWISE_OP(op_shl, sizeof(T) == 8 ? T(uint64_t(x) << (y & 63)) : T(uint32_t(x) << (y & 31)))
BITWISE_OP(op_shr, sizeof(T) == 8          ? T(int64_t(x) >> (y & 63))
                   : std::is_unsigned_v<T> ? T(uint32_t(x) >> (y & 31))
                                           : T(int32_t(x) >> (y & 31)))
#undef BITWISE_OP

}  // namespace

uint64_t VOP_BOR(uint64_t x, uint64_t y) { return x | y; }

int lua54_ud_band(lua_State *L) { return frame_run<op_band>(L, PROLOGUE_OPEN, true); }
int lua54_ud_bor(lua_State *L) { return frame_run<op_bor>(L, PROLOGUE_OPEN, true); }
int lua54_ud_bxor(lua_State *L) { return frame_run<op_bxor>(L, PROLOGUE_OPEN, true); }
int lua54_ud_shl(lua_State *L) { return frame_run<op_shl>(L, PROLOGUE_OPEN, true); }
int lua54_ud_shr(lua_State *L) { return frame_run<op_shr>(L, PROLOGUE_OPEN, true); }
