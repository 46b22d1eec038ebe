// xoshiro256** against published values and an independent Python
// implementation of the seeding.
#include "machine/rng.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "machine/process.h"

namespace {

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
    std::string cmd = std::string(py) + " " + src + "/tests/machine/xoshiro_ref.py " +
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
