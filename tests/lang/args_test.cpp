// kvd_intp and the other argument readers, and the float-to-integer
// conversion they share.
#include "lang/args.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "machine/process.h"

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

TEST(Args, DoubleToIntegerIsDefinedEverywhere) {
  struct {
    double x;
    int64_t i64;
    int32_t i32;
  } cases[] = {
      {3.7, 3, 3},
      {-3.7, -3, -3},
      {NaN, INT64_MIN, INT32_MIN},
      {1e300, INT64_MIN, INT32_MIN},
      {-1e300, INT64_MIN, INT32_MIN},
      {9223372036854775808.0, INT64_MIN, INT32_MIN},
      {-9223372036854775808.0, INT64_MIN, INT32_MIN},
      {9223372036854774784.0, 9223372036854774784, INT32_MIN},
      {2147483647.9, 2147483647, INT32_MAX},
      {2147483648.0, 2147483648, INT32_MIN},
      {-2147483648.9, -2147483648, INT32_MIN},
      {-2147483649.0, -2147483649, INT32_MIN},
      {INFINITY, INT64_MIN, INT32_MIN},
  };
  for (auto &c : cases) {
    EXPECT_EQ(kvd_double_to_i64(c.x), c.i64) << c.x;
    EXPECT_EQ(kvd_double_to_i32(c.x), c.i32) << c.x;
  }
}

class ArgsLua : public testing::Test {
 protected:
  lua_State *L = luaL_newstate();
  void TearDown() override { lua_close(L); }
  // Pushes the value of a Lua expression as argument 1.
  void arg(const char *expr) {
    lua_settop(L, 0);
    std::string code = std::string("return ") + expr;
    ASSERT_EQ(luaL_loadstring(L, code.c_str()), LUA_OK) << expr;
    ASSERT_EQ(lua_pcall(L, 0, 1, 0), LUA_OK) << expr;
  }
};

TEST_F(ArgsLua, IntpFloorsNumbersAndDefaultsTheRest) {
  struct {
    const char *expr;
    int64_t want;
  } cases[] = {
      {"3", 3},
      {"3.7", 3},
      {"-3.2", -4},
      {"'12'", 12},
      {"'1e3'", 1000},
      {"nil", 99},
      {"true", 99},
      {"'abc'", 99},
      {"{}", 99},
      {"0/0", INT64_MIN},
      {"1e300", INT64_MIN},
      {"-9223372036854775807 - 1", INT64_MIN},
      {"9223372036854775807", INT64_MAX},
      {"' 7 '", 7},
      {"-0.5", -1},
  };
  for (auto &c : cases) {
    arg(c.expr);
    EXPECT_EQ(kvd_intp(L, 1, 99), c.want) << c.expr;
  }
  lua_settop(L, 0);
  EXPECT_EQ(kvd_intp(L, 1, -7), -7);  // a missing argument
  EXPECT_EQ(lua_gettop(L), 0);
}

TEST_F(ArgsLua, TruncatingAndExactReaders) {
  struct {
    const char *expr;
    int32_t trunc;
    int64_t exact;
  } cases[] = {
      {"1.9", 1, 0},
      {"-0.5", 0, 0},
      {"'20480'", 20480, 20480},
      {"nil", 0, 0},
      {"0x80000005", INT32_MIN, 0x80000005},
      {"2.0", 2, 2},
      {"'x'", 0, 0},
      {"0/0", INT32_MIN, 0},
      {"-2147483648", INT32_MIN, -2147483648},
      {"true", 0, 0},
  };
  for (auto &c : cases) {
    arg(c.expr);
    EXPECT_EQ(kvd_truncp(L, 1), c.trunc) << c.expr;
    EXPECT_EQ(kvd_exactp(L, 1), c.exact) << c.expr;
    EXPECT_EQ(lua_type(L, 1) == LUA_TSTRING, c.expr[0] == '\'')
        << "the argument is not converted in place";
  }
}

}  // namespace
