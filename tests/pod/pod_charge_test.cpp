// The virtual CPU that writing, reading and creating records charge, measured
// through the C functions (no interpreter instructions in between).
#include <string>

#include <gtest/gtest.h>

#include "base/cpu_budget.h"
#include "userdata/udata.h"
#include "pod/pod_read.h"
#include "pod/pod_write.h"
#include "tests/pod/pod_test_util.h"

namespace {

using PodCharge = PodLua;

// spend_cpu(n): 1 for n of 0 or 1.
int64_t charge(int64_t n) { return n < 2 ? 1 : n; }

// Cycles charged by writing the value of expr with flags.
int64_t write_cost(PodLua &t, const std::string &expr, int flags) {
  luaL_dostring(t.L, ("return " + expr).c_str());
  pbuffer_owner b(create_buffer_2(16, 'p'));
  cpu_budget.cycles = 0;
  stringify_object(t.L, -1, b.get(), flags, 0);
  int64_t c = cpu_budget.cycles;
  lua_settop(t.L, 0);
  return c;
}

int64_t read_cost(PodLua &t, const std::string &text) {
  lua_settop(t.L, 0);
  cpu_budget.cycles = 0;
  EXPECT_GT(destringify_object(t.L, text.data(), int64_t(text.size())), 0) << text;
  return cpu_budget.cycles;
}

TEST_F(PodCharge, Writer) {
  EXPECT_EQ(write_cost(*this, "7", 0), 2);
  EXPECT_EQ(write_cost(*this, "{1,2}", 0), 2 + 2 + 2);
  EXPECT_EQ(write_cost(*this, "string.rep('a', 4000)", 0), 2 + 1000);
  EXPECT_EQ(write_cost(*this, "string.rep('\\0', 4000)", 0), 2 + 4000);  // escaped: 16000 bytes
  EXPECT_EQ(write_cost(*this, "'abc'", 0), 2 + charge(0));
  EXPECT_EQ(write_cost(*this, "string.rep('\\0', 4000)", POD_FLAG_BINARY_STR), 2 + 1000);
  EXPECT_EQ(write_cost(*this, "userdata('i16', 16, 16)", 0), 2 + 128);
  EXPECT_EQ(write_cost(*this, "userdata('u8', 64, 64)", POD_FLAG_PXU), 2 + 1024);
  // lz4: the raw text length / 8 besides the value.
  std::string t = pod("string.rep('a', 8000)");
  EXPECT_EQ(write_cost(*this, "string.rep('a', 8000)", POD_FLAG_LZ4),
            2 + 2000 + int64_t(t.size()) / 8);
}

TEST_F(PodCharge, Reader) {
  EXPECT_EQ(read_cost(*this, "7"), 1);
  EXPECT_EQ(read_cost(*this, "{1,2}"), 3);
  EXPECT_EQ(read_cost(*this, "\"" + std::string(4000, 'a') + "\""), 1 + 1000);
  EXPECT_EQ(read_cost(*this, pod("userdata('u8', 64, 64)", POD_FLAG_PXU)), 1 + 1024);
  std::string b64 = pod("string.rep('a', 3000)", POD_FLAG_BASE64);  // unpod(...), b64:, the string
  EXPECT_EQ(read_cost(*this, b64), 1 + 1 + 3002 / 3 + 1 + 750);
}

TEST_F(PodCharge, RecordCreationFromText) {
  cpu_budget.cycles = 0;
  ASSERT_NE(create_userdata(L, "u8", 2, 16, 16, "00"), nullptr);
  EXPECT_EQ(cpu_budget.cycles, 64);
  cpu_budget.cycles = 0;
  ASSERT_NE(create_userdata(L, "f64", 1, 64, 1, ""), nullptr);
  EXPECT_EQ(cpu_budget.cycles, 128);
  cpu_budget.cycles = 0;
  ASSERT_NE(create_userdata(L, "i64", 1, 64, 1, nullptr), nullptr);
  EXPECT_EQ(cpu_budget.cycles, 0);
}

}  // namespace
