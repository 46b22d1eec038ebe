// Math, random and character functions in the workstation's conventions:
// angles in turns with y pointing down the screen, integer results for
// integer arguments, forgiving conversion (a missing or non-numeric argument
// counts as 0), and the current process's random-number generator.
#include <cmath>
#include <ctime>
#include <string>

#include "base/cpu_budget.h"
#include "machine/process.h"
#include "machine/rng.h"
#include "lang/args.h"
#include "kernel/api.h"

uint32_t seed_entropy = 18368724;

// The turn-to-radian factor the workstation uses (deliberately not pi).
static constexpr double half_turn = 3.141562;
static constexpr double full_turn = 6.283124;
static constexpr double random_scale = 2.3283064365386963e-10;  // 2^-32

// A number or numeric string as a float; 0 for anything else.
static double number_arg(lua_State *L, int index) {
  int t = lua_type(L, index);
  if (t != LUA_TNUMBER && t != LUA_TSTRING) return 0.0;
  return lua_tonumberx(L, index, nullptr);
}

// An integer argument, or one that is not a number at all (which counts as
// its integer default); a float or a numeric string is neither.
static bool integer_or_not_number(lua_State *L, int index) {
  return lua_isinteger(L, index) || lua_type(L, index) != LUA_TNUMBER;
}

int lua54_abs(lua_State *L) {
  if (lua_isinteger(L, 1)) {
    lua_Integer v = lua_tointeger(L, 1);
    lua_pushinteger(L, v == LUA_MININTEGER ? LUA_MAXINTEGER : v < 0 ? -v : v);
  } else {
    lua_pushnumber(L, std::fabs(number_arg(L, 1)));
  }
  return 1;
}

int lua54_sgn(lua_State *L) {
  bool negative = lua_isinteger(L, 1) ? lua_tointeger(L, 1) < 0 : number_arg(L, 1) < 0;
  lua_pushinteger(L, negative ? -1 : 1);
  return 1;
}

static int extreme(lua_State *L, bool want_max) {
  if (lua_isinteger(L, 1) && integer_or_not_number(L, 2)) {
    int64_t a = kvd_intp(L, 1, 0), b = kvd_intp(L, 2, 0);
    lua_pushinteger(L, want_max ? (a > b ? a : b) : (a < b ? a : b));
  } else {
    double a = number_arg(L, 1), b = number_arg(L, 2);
    lua_pushnumber(L, want_max ? (a > b ? a : b) : (a < b ? a : b));
  }
  return 1;
}

int lua54_max(lua_State *L) { return extreme(L, true); }
int lua54_min(lua_State *L) { return extreme(L, false); }

// The middle of three values with strict comparisons; "smaller" gives the
// first when it is less, else the second.
template <typename T>
static T middle(T a, T b, T c) {
  auto smaller = [](T x, T y) { return x < y ? x : y; };
  if (b > a && c > a) return smaller(b, c);
  if (a > b && c > b) return smaller(a, c);
  return smaller(a, b);
}

int lua54_mid(lua_State *L) {
  if (lua_isinteger(L, 1) && integer_or_not_number(L, 2) && integer_or_not_number(L, 3))
    lua_pushinteger(L, middle(kvd_intp(L, 1, 0), kvd_intp(L, 2, 0), kvd_intp(L, 3, 0)));
  else
    lua_pushnumber(L, middle(number_arg(L, 1), number_arg(L, 2), number_arg(L, 3)));
  return 1;
}

static int rounded(lua_State *L, double (*round_fn)(double)) {
  if (lua_isinteger(L, 1))
    lua_pushinteger(L, lua_tointeger(L, 1));
  else
    lua_pushinteger(L, kvd_double_to_i64(round_fn(number_arg(L, 1))));
  return 1;
}

int lua54_flr(lua_State *L) { return rounded(L, std::floor); }
int lua54_ceil(lua_State *L) { return rounded(L, std::ceil); }

int lua54_sqrt(lua_State *L) {
  spend_cpu(6);
  lua_pushnumber(L, std::sqrt(number_arg(L, 1)));
  return 1;
}

int lua54_cos(lua_State *L) {
  double t = number_arg(L, 1);
  double f = std::fmod(t, 1.0);
  double u = t * half_turn;
  double r = f == 0 ? 1.0 : std::cos(u + u);
  if (f == 0.25 || f == 0.75) r = 0.0;
  if (f == 0.5) r = -1.0;
  lua_pushnumber(L, r);
  return 1;
}

int lua54_sin(lua_State *L) {
  double t = number_arg(L, 1);
  double u = -half_turn * t;
  double r = std::sin(u + u);
  double f = std::fmod(t, 1.0);
  if (f == 0 || f == 0.5) r = 0.0;
  if (f == 0.25) r = -1.0;
  if (f == 0.75) r = 1.0;
  lua_pushnumber(L, r);
  return 1;
}

int lua54_atan2(lua_State *L) {
  lua_pushnumber(L, std::atan2(-number_arg(L, 2), number_arg(L, 1)) / full_turn);
  return 1;
}

int lua54_rnd(lua_State *L) {
  spend_cpu(4);
  if (lua_type(L, 1) == LUA_TTABLE) {
    lua_Unsigned n = lua_rawlen(L, 1);
    if (n == 0) return 0;
    uint64_t r = xoshiro256ss_rand();
    lua_pushnumber(L, lua_Number(r % n + 1));
    lua_gettable(L, 1);
    return 1;
  }
  int t = lua_type(L, 1);
  double x = t == LUA_TNUMBER || t == LUA_TSTRING ? number_arg(L, 1) : 1.0;
  uint64_t r = xoshiro256ss_rand();
  lua_pushnumber(L, double(uint32_t(r)) * x * random_scale);
  return 1;
}

int lua54_srand(lua_State *L) {
  uint32_t e = seed_entropy;
  uint32_t v = ((e >> 16) & 255) ^ (e << 7) ^ 0x56DF7780u;
  seed_entropy = (v + 331u) * (v + 42863u);
  uint64_t id = cproc ? uint64_t(cproc->id) : 0;
  uint64_t state = cproc ? uint64_t(reinterpret_cast<uintptr_t>(cproc->L)) : 0;
  uint64_t def = (id << 5) ^ ((uint64_t(std::time(nullptr)) + state) * 3001u);
  def |= uint64_t(int64_t(int32_t(seed_entropy)));
  xoshiro256ss_srand(uint64_t(kvd_intp(L, 1, int64_t(def))));
  return 0;
}

int lua54_chr(lua_State *L) {
  int n = lua_gettop(L);
  std::string out(size_t(n), '\0');
  for (int k = 0; k < n; k++) out[size_t(k)] = char(uint8_t(kvd_intp(L, k + 1, 0)));
  spend_cpu(n);
  lua_pushlstring(L, out.data(), out.size());
  return 1;
}

// At most this many bytes are read by one ord call.
static constexpr int64_t ord_max_count = 65536;

int lua54_ord(lua_State *L) {
  int args = lua_gettop(L);
  size_t len = 0;
  int t = lua_type(L, 1);
  const char *s = t == LUA_TSTRING || t == LUA_TNUMBER ? lua_tolstring(L, 1, &len) : nullptr;
  // The first byte read is at position first - 1 (first is 1-based).
  int64_t first = args >= 2 ? kvd_double_to_i64(number_arg(L, 2)) : 1;
  int64_t n = args >= 3 ? kvd_double_to_i64(number_arg(L, 3)) : 1;
  if (n < 1 || n > ord_max_count) return 0;
  spend_cpu(n);
  if (!lua_checkstack(L, int(n))) return 0;
  for (int64_t i = 0; i < n; i++) {
    // Position first - 1 + i lies in 0 .. len - 1, compared without overflow.
    if (s && first >= 1 - i && first < int64_t(len) + 1 - i)
      lua_pushinteger(L, (unsigned char)s[first - 1 + i]);
    else
      lua_pushnil(L);
  }
  return int(n);
}
