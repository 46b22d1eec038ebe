// Remote fetch jobs against Python's http.server on 127.0.0.1, started for
// each test and always stopped. Every wait is bounded.
#include "host/fetch.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "machine/memory_room.h"
#include "kernel/process_life.h"
#include "tests/host/peer_process.h"
#include "tests/kernel/kernel_fixture.h"

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

// Waits (at most 20 s) until no worker runs: a worker may hold its record a
// moment past its final status.
void wait_workers() {
  for (int i = 0; i < 2000 && gurl_in_flight.load() > 0; i++) usleep(10000);
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

// A job keeps its slot until it is released: an id that lands on a held
// slot moves on to the next free one. A job released while its worker runs
// lets its slot go at once; the old worker finishes into its own record,
// never into the job that takes the slot next.
TEST_F(Fetch, SlotsAreHeldUntilReleased) {
  uint32_t a = start(base + "/slow/200000");
  ASSERT_NE(a, GURL_NO_JOB);
  EXPECT_EQ(gurl_get_job(a)->response.data, nullptr);  // had by the worker, not here
  EXPECT_EQ(gurl_get_job_by_url("/slow/"), gurl_get_job(a));
  next_gurl_job_id = a + GURL_SLOTS;
  uint32_t b = start(base + "/body/500");
  EXPECT_EQ(b, a + GURL_SLOTS + 1);
  ASSERT_NE(gurl_get_job(a), nullptr);
  gurl_release_job(a);
  EXPECT_EQ(gurl_get_job(a), nullptr);
  next_gurl_job_id = a + 2 * GURL_SLOTS;
  uint32_t c = start(base + "/body/700");
  EXPECT_EQ(c, a + 2 * GURL_SLOTS);
  EXPECT_EQ(wait_final(c).back(), GURL_DONE);
  EXPECT_EQ(wait_final(b).back(), GURL_DONE);
  EXPECT_TRUE(response_of(gurl_get_job(c)) == pattern(700));
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
  gurl_release_job(x);
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

// A process holds at most GURL_PROCESS_SHARE jobs and the slots hold
// GURL_SLOTS in all: past either, a new job is refused. A process's jobs end
// with it and let go of their slots at once.
TEST_F(Fetch, JobsAreSharedBetweenProcessesAndEndWithThem) {
  wait_workers();
  std::vector<int64_t> children;
  std::vector<uint32_t> hung;
  for (uint32_t i = 0; i < GURL_SLOTS / GURL_PROCESS_SHARE; i++) {
    children.push_back(spawn(""));
    set_current_process(get_process(children.back()));
    for (int32_t k = 0; k < GURL_PROCESS_SHARE; k++) {
      hung.push_back(start(base + "/hang"));
      ASSERT_NE(hung.back(), GURL_NO_JOB) << i << " " << k;
    }
    EXPECT_EQ(start(base + "/body/10"), GURL_NO_JOB);  // past its share
  }
  set_current_process(root);
  EXPECT_EQ(gurl_in_flight.load(), (int32_t)GURL_SLOTS);
  EXPECT_EQ(start(base + "/body/10"), GURL_NO_JOB);  // every slot held
  kill_process_by_id(children[0]);
  for (int32_t k = 0; k < GURL_PROCESS_SHARE; k++) {
    EXPECT_EQ(gurl_get_job(hung[k]), nullptr);
    ASSERT_EQ(wait_final(hung[k]).back(), GURL_FAILED) << hung[k];
  }
  for (int i = 0; i < 500 && gurl_in_flight.load() > 192; i++) usleep(10000);
  uint32_t after = start(base + "/body/10");
  ASSERT_NE(after, GURL_NO_JOB);
  EXPECT_EQ(wait_final(after).back(), GURL_DONE);
  for (size_t i = 1; i < children.size(); i++) kill_process_by_id(children[i]);
  for (int i = 0; i < 500 && gurl_in_flight.load() > 0; i++) usleep(10000);
  EXPECT_EQ(gurl_in_flight.load(), 0);
}

// The results of _fetch_remote_result(id) in p's state once the job has
// ended (after 20 s, whatever they were); with length set, a body is given
// as its length.
std::string collect(kernel_fixture &k, proc *p, const std::string &id, bool length = false) {
  std::string call = "_fetch_remote_result(" + id + ")";
  if (length)
    call =
        "(function(...) if select('#', ...) > 0 and type((...)) == 'string' then return #... end "
        "return ... end)(" +
        call + ")";
  std::string r;
  for (int i = 0; i < 2000 && r.empty(); i++) {
    r = k.results_in(p, call);
    if (r.empty()) usleep(10000);
  }
  return r;
}

const char *const failed = "nil,nil,could not download";

// The status of a job once it has ended, whatever its callback (after 20 s,
// whatever it is); GURL_NO_JOB when no slot holds it.
uint32_t wait_job(const std::string &id) {
  gurl_job *job = gurl_get_job((uint32_t)std::stoul(id));
  if (!job) return GURL_NO_JOB;
  for (int i = 0; i < 2000 && job->status.load() < GURL_DONE; i++) usleep(10000);
  return job->status.load();
}

// A job answers its owner once, and nobody else ever: another process
// polling its id reads a failed job, whether it runs or has ended. A finished
// job nobody has read keeps its slot against any number of later jobs; an
// id that names no job of the caller's reads as failed, never as running.
TEST_F(Fetch, UserlandJobsAnswerOnlyTheirOwnerOnce) {
  proc *spy = get_process(spawn(""));
  spy->env_given = 1;
  std::string text = root_results("_fetch_remote('" + base + "/text.txt')");
  std::string missing = root_results("_fetch_remote('" + base + "/missing')");
  std::string refused = root_results("_fetch_remote('" + refused_url() + "')");
  EXPECT_EQ(results_in(spy, "_fetch_remote_result(" + text + ")"), failed);  // running or not
  ASSERT_EQ(wait_job(text), GURL_DONE);
  EXPECT_EQ(results_in(spy, "_fetch_remote_result(" + text + ")"), failed);
  // 300 jobs of another process pass the unread one's slot by.
  for (int i = 0; i < 300; i++) {
    std::string id = results_in(spy, "_fetch_remote('" + base + "/body/1')");
    ASSERT_NE(id, text);
    if (std::stoul(id) != GURL_NO_JOB) collect(*this, spy, id);
  }
  EXPECT_EQ(collect(*this, root, text), "hello from the loopback");
  EXPECT_EQ(collect(*this, root, missing), "no such file");
  EXPECT_EQ(collect(*this, root, refused), failed);
  // Read once: the job is gone, and gone reads as failed.
  for (const std::string &id : {text, missing, refused, std::string("123456"), std::string("-1")})
    EXPECT_EQ(root_results("_fetch_remote_result(" + id + ")"), failed) << id;
}

// A job's bytes go once its owner has read them or has ended; a body larger
// than its owner's memory may still take fails the job, and the process
// lives; one just under fits.
TEST_F(Fetch, UserlandBytesAreFreedAndFitTheirOwner) {
  wait_workers();
  const uint64_t held = gurl_held_bytes.load();  // by jobs of earlier tests
  proc *child = get_process(spawn(""));
  int64_t child_id = child->id;
  std::string big = results_in(child, "_fetch_remote('" + base + "/body/3000000')");
  ASSERT_EQ(wait_job(big), GURL_DONE);
  EXPECT_GE(gurl_held_bytes.load(), held + 3000000u);
  wait_workers();
  kill_process_by_id(child_id);
  EXPECT_EQ(gurl_held_bytes.load(), held);

  std::string read = root_results("_fetch_remote('" + base + "/body/3000000')");
  EXPECT_EQ(collect(*this, root, read, true), "3000000");
  wait_workers();
  EXPECT_EQ(gurl_held_bytes.load(), held);

  // Memory room of about 4 MiB: counted as if 28 MiB were in use.
  root->baseline += proc_counted_memory(root) - (memory_limit - 0x400000);
  int64_t room = memory_room_left();
  ASSERT_GT(room, 0x300000);
  ASSERT_LT(room, 0x500000);
  std::string too_big =
      root_results("_fetch_remote('" + base + "/body/" + std::to_string(room + 100000) + "')");
  // Polling for the result takes a little of the room too.
  std::string fits =
      root_results("_fetch_remote('" + base + "/body/" + std::to_string(room - 0x100000) + "')");
  EXPECT_EQ(collect(*this, root, too_big), failed);
  EXPECT_EQ(collect(*this, root, fits, true), std::to_string(room - 0x100000));
  EXPECT_EQ(root->kill_flag, 0);
  root->baseline = 0;
}

// The bodies one process holds together fit its memory room: its jobs past
// it fail, so it cannot fill the total for all and starve other processes'
// downloads; bodies that fit together all arrive.
TEST_F(Fetch, AProcessHoldsAtMostItsRoomOfBodies) {
  wait_workers();
  const uint64_t held = gurl_held_bytes.load();
  proc *hog = get_process(spawn(""));
  int64_t hog_id = hog->id;
  hog->env_given = 1;
  const std::string body = "'" + base + "/body/";
  std::string a = results_in(hog, "_fetch_remote(" + body + "12000000')");
  std::string b = results_in(hog, "_fetch_remote(" + body + "12000000')");
  EXPECT_EQ(collect(*this, hog, a, true), "12000000");
  EXPECT_EQ(collect(*this, hog, b, true), "12000000");
  results_in(hog, "collectgarbage()");
  wait_workers();  // a worker holds its bytes a moment past its final status
  int done = 0;
  for (int i = 0; i < 9; i++)
    if (wait_job(results_in(hog, "_fetch_remote(" + body + "30000000')")) == GURL_DONE) done++;
  EXPECT_EQ(done, 1);
  std::string other = root_results("_fetch_remote(" + body + "100000')");
  EXPECT_EQ(collect(*this, root, other, true), "100000");
  EXPECT_EQ(hog->kill_flag, 0);
  kill_process_by_id(hog_id);
  wait_workers();
  EXPECT_EQ(gurl_held_bytes.load(), held);
}

// All responses together hold at most GURL_HELD_MAX bytes: a buffer that
// would pass it cannot grow, and can once another lets go.
TEST(FetchBuffer, MappedBuffersHoldAtMostTheTotal) {
  gurl_buffer first, second;
  first.mapped = second.mapped = true;
  first.position = GURL_HELD_MAX - 100;  // the pages are mapped, never touched
  ASSERT_TRUE(gurl_buffer_write(&first, "x", 1));
  EXPECT_EQ(gurl_held_bytes.load(), GURL_HELD_MAX);
  EXPECT_FALSE(gurl_buffer_write(&second, "y", 1));
  EXPECT_EQ(second.data, nullptr);
  gurl_buffer_free(&first);
  EXPECT_EQ(gurl_held_bytes.load(), 0u);
  ASSERT_TRUE(gurl_buffer_write(&second, "y", 1));
  EXPECT_EQ(std::string(reinterpret_cast<char *>(second.data)), "y");
}

// A body that trickles fast enough for the low-speed bound still ends at
// the total time-out.
TEST_F(Fetch, ADownloadHasATotalTimeOut) {
  gurl_limits.total_timeout_ms = 1500;
  auto begun = std::chrono::steady_clock::now();
  EXPECT_EQ(wait_final(start(base + "/drip")).back(), GURL_FAILED);
  EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(15));
}

// Starting a download costs the process thousands of cycles, reading one
// back a cycle for every few bytes: a loop of starts runs at its share of
// the frame.
TEST_F(Fetch, UserlandDownloadsAreCharged) {
  proc *looper =
      get_process(spawn("n = 0 while true do _fetch_remote('" + base + "/body/10') n = n + 1 end"));
  prepare_processes_for_frame();
  run_process_slice(looper, 1.0);
  int n = std::stoi(results_in(looper, "n"));
  EXPECT_GE(n, 1);
  EXPECT_LE(n, CPU_CYCLES_PER_FRAME / GURL_START_CYCLES + 1);
  std::string id = root_results("_fetch_remote('" + base + "/body/400000')");
  ASSERT_EQ(wait_job(id), GURL_DONE);
  cpu_budget.cycles = 0;
  EXPECT_EQ(root_results("#_fetch_remote_result(" + id + ")"), "400000");
  EXPECT_GE(cpu_budget.cycles, 400000 / GURL_BYTES_PER_CYCLE);
}

}  // namespace
