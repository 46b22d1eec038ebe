// Remote fetch jobs against Python's http.server on 127.0.0.1, started for
// each test and always stopped. Every wait is bounded.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/fetch.h"
#include "tests/host/peer_process.h"
#include "tests/kernel/kernel_fixture.h"
#include "kernel/process_life.h"

namespace {

// What the callbacks saw, by job id: every status in order, and the
// response's length at the final call.
std::mutex seen_mutex;
std::map<uint32_t, std::vector<uint32_t>> seen_statuses;
std::map<uint32_t, uint64_t> seen_final_length;

void record_status(gurl_job *job) {
  std::lock_guard<std::mutex> lock(seen_mutex);
  uint32_t status = job->status.load();
  seen_statuses[job->id].push_back(status);
  if (status >= GURL_DONE) seen_final_length[job->id] = job->response.length;
}

std::vector<uint32_t> statuses_of(uint32_t id) {
  std::lock_guard<std::mutex> lock(seen_mutex);
  return seen_statuses[id];
}

// The statuses once the job's final callback has run (after 20 s, whatever
// was seen).
std::vector<uint32_t> wait_final(uint32_t id) {
  for (int i = 0; i < 2000; i++) {
    std::vector<uint32_t> s = statuses_of(id);
    if (!s.empty() && s.back() >= GURL_DONE) return s;
    usleep(10000);
  }
  return statuses_of(id);
}

// The bodies the test server sends: byte i is (7 * i + 3) % 256.
std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = char((7 * i + 3) % 256);
  return s;
}

std::string response_of(const gurl_job *job) {
  return std::string(reinterpret_cast<const char *>(job->response.data), job->response.length);
}

struct Fetch : kernel_fixture {
  peer_process server{"http_peer.py"};
  std::string base;
  void TearDown() override {
    gurl_limits = gurl_limits_record{};
    kernel_fixture::TearDown();
  }
  void SetUp() override {
    kernel_fixture::SetUp();
    config.network_access = 1;
    // The loopback server is reached directly, whatever proxy the host names.
    setenv("no_proxy", "*", 1);
    base = "http://127.0.0.1:" + server.line();
  }
  uint32_t start(const std::string &url, gurl_callback callback = record_status) {
    return gurl_get(url.c_str(), nullptr, callback);
  }
};

// A port on the loopback that refuses connections: one just let go of.
std::string refused_url() {
  peer_process peer("socket_peer.py");
  return "http://127.0.0.1:" + peer.ask("tcp_listen 127.0.0.1") + "/";
}

TEST(FetchBuffer, GrowsByDoublingAndEndsWithAZero) {
  const std::pair<size_t, uint64_t> url_cases[] = {{255, 256}, {256, 512}, {300, 512}, {0, 256}};
  for (auto [n, capacity] : url_cases) {
    gurl_buffer b;
    std::string text(n, 'u');
    ASSERT_TRUE(gurl_buffer_write(&b, text.data(), n));
    EXPECT_EQ(b.capacity, capacity) << n;
    EXPECT_EQ(b.length, n);
    EXPECT_EQ(b.data[n], 0);
  }
  gurl_buffer b;
  std::string body = pattern(3000);
  gurl_buffer_write(&b, body.data(), 1000);
  EXPECT_EQ(b.capacity, 1024u);
  gurl_buffer_write(&b, body.data() + 1000, 2000);  // 2048 would not hold 3001
  EXPECT_EQ(b.capacity, 4096u);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(b.data), b.length), body);
}

// Every job reports chunks with status 2, then exactly one final status;
// HTTP errors are answers like any other, transfers that break off fail
// with what had arrived.
TEST_F(Fetch, DownloadsFromTheLoopback) {
  struct download {
    std::string url;
    uint32_t status;
    std::string body;
    bool chunks;  // bytes arrived before the end
  } cases[] = {
      {base + "/body/3000", GURL_DONE, pattern(3000), true},
      {base + "/missing", GURL_DONE, "no such file", true},
      {base + "/redirect", GURL_DONE, pattern(1000), true},
      {base + "/body/3000000", GURL_DONE, pattern(3000000), true},
      {base + "/cut", GURL_FAILED, "", true},  // what had arrived goes with the failure
      {refused_url(), GURL_FAILED, "", false},
      {"file:///etc/hostname", GURL_FAILED, "", false},  // host files are not remote files
  };
  std::vector<uint32_t> ids;
  for (const download &d : cases) ids.push_back(start(d.url));
  for (size_t i = 0; i < ids.size(); i++) {
    const download &d = cases[i];
    SCOPED_TRACE(d.url);
    std::vector<uint32_t> statuses = wait_final(ids[i]);
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back(), d.status);
    for (size_t k = 0; k + 1 < statuses.size(); k++) EXPECT_EQ(statuses[k], GURL_RECEIVING);
    EXPECT_EQ(statuses.size() > 1, d.chunks);
    gurl_job *job = gurl_get_job(ids[i]);
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(job->status.load(), d.status);
    EXPECT_TRUE(response_of(job) == d.body) << job->response.length << " bytes";
    EXPECT_EQ(job->response.data[job->response.length], 0);
  }
  EXPECT_EQ(gurl_get_job(ids[0])->response.capacity, 4096u);
  EXPECT_EQ(gurl_get_job(ids[0])->url.capacity, 256u);
}

// Job id + 256 takes the slot of job id while that job still downloads: the
// old worker finishes into its own record, never into the new job's.
TEST_F(Fetch, ASlotTakenWhileItsWorkerRuns) {
  uint32_t a = start(base + "/slow/200000");
  EXPECT_EQ(gurl_get_job_by_url("/slow/"), gurl_get_job(a));
  next_gurl_job_id = a + GURL_SLOTS;
  uint32_t b = start(base + "/body/500");
  EXPECT_EQ(gurl_get_job(a), nullptr);
  ASSERT_NE(gurl_get_job(b), nullptr);
  EXPECT_EQ(wait_final(b).back(), GURL_DONE);
  EXPECT_TRUE(response_of(gurl_get_job(b)) == pattern(500));
  EXPECT_EQ(wait_final(a).back(), GURL_DONE);
  std::lock_guard<std::mutex> lock(seen_mutex);
  EXPECT_EQ(seen_final_length[a], 200000u);
  EXPECT_EQ(gurl_get_job_by_url("/slow/"), nullptr);
}

// A job started without a callback has none, whatever its slot held before.
TEST_F(Fetch, ANullCallbackStaysNull) {
  EXPECT_EQ(gurl_get(nullptr, nullptr, record_status), GURL_NO_JOB);
  std::string refused = refused_url();
  uint32_t x = start(refused);
  EXPECT_EQ(wait_final(x).back(), GURL_FAILED);
  next_gurl_job_id = x + GURL_SLOTS;
  uint32_t y = start(refused, nullptr);
  for (int i = 0; i < 2000 && gurl_get_job(y)->status.load() < GURL_DONE; i++) usleep(10000);
  EXPECT_EQ(gurl_get_job(y)->status.load(), GURL_FAILED);
  usleep(100000);  // a callback would have run by now
  EXPECT_TRUE(statuses_of(y).empty());
}

// No transfer runs without end: a body without end, one that drips, a
// server that never answers, a peer that never completes the connect and a
// redirect loop all fail within their bounds, and a failed job keeps none of
// its bytes.
TEST_F(Fetch, EveryTransferIsBounded) {
  gurl_limits.response_max = 1 << 20;
  gurl_limits.low_speed_bytes = 100;
  gurl_limits.low_speed_seconds = 1;
  gurl_limits.connect_timeout_ms = 500;
  peer_process full("socket_peer.py");
  std::string full_port = full.ask("tcp_full");
  ASSERT_EQ(full_port.find("error"), std::string::npos) << full_port;
  const std::pair<std::string, uint32_t> cases[] = {
      {base + "/forever", GURL_FAILED},
      {base + "/drip", GURL_FAILED},
      {base + "/hang", GURL_FAILED},
      {base + "/loop", GURL_FAILED},
      {"http://127.0.0.1:" + full_port + "/", GURL_FAILED},
      {base + "/body/300000", GURL_DONE},
  };
  std::vector<uint32_t> ids;
  for (const auto &c : cases) ids.push_back(start(c.first));
  for (size_t i = 0; i < ids.size(); i++) {
    SCOPED_TRACE(cases[i].first);
    std::vector<uint32_t> statuses = wait_final(ids[i]);
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back(), cases[i].second);
    gurl_job *job = gurl_get_job(ids[i]);
    if (cases[i].second == GURL_FAILED) {
      EXPECT_EQ(job->response.length, 0u);
      EXPECT_LE(job->response.capacity, 1024u);
    }
  }
  uint32_t count = start(base + "/loop_count");
  ASSERT_EQ(wait_final(count).back(), GURL_DONE);
  EXPECT_EQ(response_of(gurl_get_job(count)), "11");  // the first request and 10 redirects
}

// At most GURL_IN_FLIGHT_MAX jobs run at once (the next fails at once), and a
// process's jobs end with it.
TEST_F(Fetch, JobsAreBoundedAndEndWithTheirProcess) {
  int64_t child = spawn("");
  set_current_process(get_process(child));
  std::vector<uint32_t> hung;
  for (int32_t i = 0; i < GURL_IN_FLIGHT_MAX; i++) hung.push_back(start(base + "/hang"));
  set_current_process(root);
  uint32_t extra = start(base + "/body/10");
  EXPECT_EQ(gurl_get_job(extra)->status.load(), GURL_FAILED);
  EXPECT_EQ(gurl_in_flight.load(), GURL_IN_FLIGHT_MAX);
  kill_process_by_id(child);
  for (uint32_t id : hung) ASSERT_EQ(wait_final(id).back(), GURL_FAILED) << id;
  for (int i = 0; i < 500 && gurl_in_flight.load() > 0; i++) usleep(10000);
  EXPECT_EQ(gurl_in_flight.load(), 0);
  uint32_t after = start(base + "/body/10");
  EXPECT_EQ(wait_final(after).back(), GURL_DONE);
}

TEST_F(Fetch, UserlandFetchesAndCollectsResults) {
  auto collect = [&](const std::string &id) {
    std::string r;
    for (int i = 0; i < 2000 && r.empty(); i++) {
      r = root_results("_fetch_remote_result(" + id + ")");
      if (r.empty()) usleep(10000);
    }
    return r;
  };
  std::string text = root_results("_fetch_remote('" + base + "/text.txt')");
  std::string missing = root_results("_fetch_remote('" + base + "/missing')");
  std::string refused = root_results("_fetch_remote('" + refused_url() + "')");
  EXPECT_EQ(collect(text), "hello from the loopback");
  EXPECT_EQ(collect(missing), "no such file");
  EXPECT_EQ(collect(refused), "nil,nil,could not download");
}

}  // namespace
