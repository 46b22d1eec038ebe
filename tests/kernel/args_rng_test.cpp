// kvd_intp and the other argument readers, the float-to-integer conversion,
// and xoshiro256** against published values and an independent Python
// implementation of the seeding.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

#include "lang/args.h"
#include "machine/process.h"
#include "machine/rng.h"

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

class Rng : public testing::Test {
 protected:
  proc *p = new proc{};
  void SetUp() override { cproc = p; }
  void TearDown() override {
    cproc = nullptr;
    delete p;
  }
};

TEST_F(Rng, PublishedStepAndZeroState) {
  uint64_t s[4] = {1, 2, 3, 4};
  EXPECT_EQ(xoshiro256ss_step(s), 11520u);
  EXPECT_EQ(xoshiro256ss_step(s), 0u);
  EXPECT_EQ(xoshiro256ss_step(s), 1509978240u);
  EXPECT_EQ(xoshiro256ss_step(s), 1215971899390074240u);
  for (int i = 0; i < 3; i++) EXPECT_EQ(xoshiro256ss_rand(), 0u);  // unseeded process
  for (uint64_t w : p->random_state) EXPECT_EQ(w, 0u);
}

TEST_F(Rng, SeedingIsRepeatable) {
  xoshiro256ss_srand(0);
  EXPECT_NE(p->random_state[0] | p->random_state[1] | p->random_state[2] | p->random_state[3], 0u);
  EXPECT_EQ(xoshiro256ss_rand(), 0xd3dcb6dba861219bull);
  uint64_t second = xoshiro256ss_rand();
  xoshiro256ss_srand(0);
  EXPECT_EQ(xoshiro256ss_rand(), 0xd3dcb6dba861219bull);
  EXPECT_EQ(xoshiro256ss_rand(), second);
  cproc = nullptr;
  xoshiro256ss_srand(5);  // no current process: nothing happens
  EXPECT_EQ(xoshiro256ss_rand(), 0u);
}

TEST_F(Rng, MatchesIndependentImplementation) {
  const char *py = getenv("KVD_PYTHON");
  const char *src = getenv("KVD_SOURCE_DIR");
  if (!py || !src) GTEST_SKIP() << "run through ctest";
  for (uint64_t seed : {0ull, 1ull, 0x12345678ull, 0xFFFFFFFFFFFFFFFFull, 0x8000000000000001ull}) {
    std::string cmd = std::string(py) + " " + src + "/tests/kernel/xoshiro_ref.py " +
                      std::to_string(seed) + " 200";
    FILE *f = popen(cmd.c_str(), "r");
    ASSERT_NE(f, nullptr);
    xoshiro256ss_srand(seed);
    char line[64];
    int n = 0;
    while (fgets(line, sizeof line, f)) {
      ASSERT_EQ(strtoull(line, nullptr, 16), xoshiro256ss_rand()) << "seed " << seed << " #" << n;
      n++;
    }
    EXPECT_EQ(pclose(f), 0);
    EXPECT_EQ(n, 200);
  }
}

}  // namespace
