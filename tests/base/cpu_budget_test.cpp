// spend_cpu charges nothing for negatives, 1 for 0 or 1, n otherwise, and
// saturates instead of overflowing.
#include "base/cpu_budget.h"

#include <climits>

#include <gtest/gtest.h>

TEST(CpuBudget, SpendCpuCharges) {
  struct {
    int32_t before;
    int64_t n;
    int32_t after;
  } cases[] = {
      {10, -5, 10},
      {10, 0, 11},
      {10, 1, 11},
      {10, 2, 12},
      {10, 1000, 1010},
      {INT32_MAX - 3, 10, INT32_MAX},
      {INT32_MAX, 1, INT32_MAX},
      {5, INT64_MAX, INT32_MAX},
      {5, INT64_MIN, 5},
  };
  for (auto &c : cases) {
    cpu_budget.cycles = c.before;
    spend_cpu(c.n);
    EXPECT_EQ(cpu_budget.cycles, c.after) << c.before << " + " << c.n;
  }
  cpu_budget.cycles = 0;
}

TEST(CpuBudget, CounterAddSaturates) {
  int32_t c = INT32_MAX - 1;
  cpu_counter_add(c, 1);
  EXPECT_EQ(c, INT32_MAX);
  cpu_counter_add(c, 1);
  EXPECT_EQ(c, INT32_MAX);
  cpu_budget.frame_cycles = 7;
  cpu_budget.frame_cycles_since_wm_flip = 9;
  EXPECT_EQ(get_total_frame_cycles(), 7);
  EXPECT_EQ(get_total_frame_cycles_since_wm_flip(), 9);
  cpu_budget.frame_cycles = cpu_budget.frame_cycles_since_wm_flip = 0;
}
