// Downloads on a host where libcurl cannot be had (built with KVD_CURL_LIBRARY
// naming a missing library, or one without the transfer calls): each download
// fails through its callback, the log says why once, and nothing crashes,
// also for downloads started after a reboot's reset.
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "base/config.h"
#include "base/debug_log.h"
#include "host/fetch.h"
#include "kernel/startup.h"

#ifndef KVD_EXPECTED_LOG
#error "KVD_EXPECTED_LOG names the log line this build must write"
#endif

namespace {

std::mutex failed_mutex;
std::condition_variable failed_changed;
std::set<uint32_t> failed;

void record_failure(gurl_job *job) {
  if (job->status.load() != GURL_FAILED) return;
  std::lock_guard<std::mutex> lock(failed_mutex);
  failed.insert(job->id);
  failed_changed.notify_all();
}

// Waits for the job's failure; the bound only stops a hung run.
bool fails(uint32_t id) {
  std::unique_lock<std::mutex> lock(failed_mutex);
  return failed_changed.wait_for(lock, std::chrono::seconds(60),
                                 [&] { return failed.count(id) != 0; });
}

std::string read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

size_t count_of(const std::string &text, const std::string &part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) n++;
  return n;
}

TEST(FetchUnavailable, EveryDownloadFailsAndTheLogSaysWhyOnce) {
  char dir[] = "/tmp/kvd_fetch_unavailable_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  snprintf(config.home, sizeof config.home, "%s", dir);
  debug_log_open_allowed();

  // Several at once, then more after a reset as a reboot makes.
  uint32_t first = gurl_get("http://127.0.0.1:9/a", nullptr, record_failure);
  uint32_t second = gurl_get("http://127.0.0.1:9/b", nullptr, record_failure);
  EXPECT_TRUE(fails(first));
  EXPECT_TRUE(fails(second));
  reset_subsystems();
  uint32_t after_reset = gurl_get("http://127.0.0.1:9/c", nullptr, record_failure);
  EXPECT_TRUE(fails(after_reset));

  std::string log = read_file(std::string(dir) + "/log.txt");
  EXPECT_EQ(count_of(log, "** downloads unavailable: "), 1u) << log;
  EXPECT_EQ(count_of(log, KVD_EXPECTED_LOG), 1u) << log;
  std::string rm = std::string("rm -rf ") + dir;
  EXPECT_EQ(std::system(rm.c_str()), 0);
}

}  // namespace
