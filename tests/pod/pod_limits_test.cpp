// Boundary lengths through every flag: a text pod writes always reads back
// as the value, and a value no text can carry gives no text.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pod/pod_binary.h"
#include "pod/pod_read.h"
#include "pod/pod_write.h"
#include "tests/pod/pod_test_util.h"

namespace {

using PodLimits = PodLua;

// Strings: the wrappings and the binary string form (1 and 16 act on
// records only). Records: the text and pxu forms, and both wrappings.
const std::vector<int> string_flags =
    pod_test_sanitized ? std::vector<int>{0, 32 | 6} : std::vector<int>{0, 2, 4, 32 | 6};
const std::vector<int> record_flags =
    pod_test_sanitized ? std::vector<int>{0, 6} : std::vector<int>{0, 1, 6};

TEST_F(PodLimits, LongStringsReadBackOrAreRefused) {
  const int64_t lengths[] = {(1 << 24) - 1, 1 << 24, (1 << 24) + 1, POD_MAX_BINARY_STR,
                             int64_t(POD_MAX_BINARY_STR) + 1};
  for (int64_t n : lengths) {
    run("s = string.rep('a', " + std::to_string(n - 1) + ") .. '\\0'");
    for (int flags : string_flags) {
      std::string r = run("local t = pod(s, " + std::to_string(flags) + ") " +
                          "if not t then return 'none' end " +
                          "local v = unpod(t) return v == s and 'same' or 'differs'");
      EXPECT_EQ(r, n > POD_MAX_BINARY_STR ? "none" : "same") << n << " flags " << flags;
    }
  }
  run("s = nil");
  // Inside a table, beside other values.
  EXPECT_EQ(run("local s = string.rep('b', 1 << 24) local v = unpod(pod({1, s, k = s})) "
                "return v[1] == 1 and v[2] == s and v.k == s"),
            "true");
}

TEST_F(PodLimits, LargestRecordsReadBack) {
  const char *records[] = {"'u8', 4096, 4096", "'i16', 4096, 2048", "'f64', 2048, 1024"};
  for (const char *rec : records) {
    // Some elements set by a short data text, the rest zero.
    run("big = userdata(" + std::string(rec) + ", '0123456789abcdef0f1e2d3c4b5a6978')");
    for (int flags : record_flags) {
      std::string r = run("local t = pod(big, " + std::to_string(flags) +
                          ") if not t then return 'none' end local v = unpod(t) "
                          "return v and pod(v, 1) == pod(big, 1) and 'same' or 'differs'");
      EXPECT_EQ(r, "same") << rec << " flags " << flags;
    }
  }
}

}  // namespace
