// The debug log waits in memory until start-up allows it to open, then writes
// the kept lines first, in the "[ms pid] text" form, flushed line by line.
#include "base/debug_log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "base/config.h"
#include "base/os_time.h"
#include "machine/process.h"

namespace {

std::string read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

TEST(DebugLog, KeepsEarlyLinesUntilAllowedThenWritesInOrder) {
  char tmpl[] = "/tmp/kvd_log_XXXXXX";
  std::string dir = mkdtemp(tmpl);
  std::string home = dir + "/home";
  setenv("HOME", (dir + "/unused").c_str(), 1);
  unsetenv("XDG_DATA_HOME");

  debug_log(">early one\n");
  cproc = nullptr;
  debug_log("early two\n");
  struct stat st;
  EXPECT_NE(stat((home + "/log.txt").c_str(), &st), 0);  // nothing opened yet

  snprintf(config.home, sizeof config.home, "%s", home.c_str());
  debug_log_open_allowed();
  std::string log = home + "/log.txt";
  EXPECT_NE(read_file(log).find("] early one\n"), std::string::npos);

  static proc p{};
  p.id = 7;
  cproc = &p;
  snprintf(debug_log_text, sizeof debug_log_text, "<value %d\n", 42);
  debug_log(debug_log_text);
  debug_log("><both marks skipped\n");
  debug_log(">>only one skipped\n");
  cproc = nullptr;
  // Each line is flushed at once: readable while the log is still open.
  std::string text = read_file(log);
  std::regex line_re(R"(\[\d{6} \d{3}\] [^\n]*\n)");
  std::string rest = std::regex_replace(text, line_re, "");
  EXPECT_EQ(rest, "") << text;
  std::regex want(R"(\[\d{6} 000\] early one\n\[\d{6} 000\] early two\n)"
                  R"(\[\d{6} 007\] value 42\n\[\d{6} 007\] both marks skipped\n)"
                  R"(\[\d{6} 007\] >only one skipped\n)");
  EXPECT_TRUE(std::regex_match(text, want)) << text;
  // The folder of a configured root is used as is: no export level.
  EXPECT_NE(stat((dir + "/unused").c_str(), &st), 0);
  (void)!system(("rm -rf '" + dir + "'").c_str());
}

TEST(DebugLog, ClockIsMonotonic) {
  uint32_t a = os_get_time();
  uint32_t b = os_get_time();
  EXPECT_LE(a, b);
  EXPECT_LT(b, 600000u);  // counted from program start, not from an epoch
}

TEST(DebugLogDeathTest, AssertPrintsTheLineAndEnds) {
  int x = 1;
  EXPECT_EXIT(
      {
        dup2(2, 1);  // the line goes to standard output; let the check see it
        ASSERT(x == 2);
      },
      testing::ExitedWithCode(1),
      R"(\*\* ASSERT failed: x == 2 :: debug_log_test:[0-9]+ in TestBody\(\))");
  ASSERT(x == 1);  // a holding invariant does nothing
}

}  // namespace
