// The watchdog that follows a host signal: it ends a shutdown that is stuck
// before everything is written out (exit code 1), and stands down once the
// shutdown has written everything out, however slow the teardown after it.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>

#include "kernel/frame.h"
#include "tests/support/workstation_fixture.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int teardown_exit_code = 42;  // the slow teardown ran to its end

// A teardown inside exit() that takes twice the watchdog's time.
void slow_teardown() {
  std::this_thread::sleep_for(std::chrono::milliseconds(2 * frame_watchdog_ms));
  _exit(teardown_exit_code);
}

// A teardown that takes long, during which the user signals again.
void signalled_teardown() {
  std::raise(SIGTERM);
  std::this_thread::sleep_for(std::chrono::milliseconds(20 * frame_watchdog_ms));
  _exit(teardown_exit_code);
}

// A shutdown that never gets to its flush.
[[noreturn]] void stuck_before_flush() {
  std::raise(SIGTERM);
  for (;;) pause();
}

// A signal, then the frame that carries out the shutdown and exits.
[[noreturn]] void shut_down_with(void (*teardown)()) {
  std::atexit(teardown);
  std::raise(SIGTERM);
  system_frame();
  std::abort();  // not reached: the frame ends the program
}

struct shutdown_watchdog : workstation_fixture {
  // Runs the case in a child process; its exit code (-1 when killed) and
  // how long it took in milliseconds.
  std::pair<int, double> in_child(void (*body)(void (*)()), void (*teardown)()) {
    std::fflush(stdout);
    auto t0 = clock_type::now();
    pid_t pid = fork();
    if (pid == 0) {
      frame_install_signal_handlers();
      body(teardown);
      _exit(99);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    double ms = std::chrono::duration<double, std::milli>(clock_type::now() - t0).count();
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ms};
  }
};

// A figure of time the optimised build holds on a busy machine; the others
// are only checked not to be cut short.
#if !defined(__SANITIZE_ADDRESS__) && defined(NDEBUG)
constexpr double watchdog_bound_ms = frame_watchdog_ms + 1000;
#else
constexpr double watchdog_bound_ms = 1e9;
#endif

TEST_F(shutdown_watchdog, StandsDownOnceFlushedAndStillEndsAStuckShutdown) {
  struct row {
    const char *name;
    void (*body)(void (*)());
    void (*teardown)();
    int exit_code;
    double min_ms, max_ms;
  } rows[] = {
      // Twice the watchdog's time, uncut: the teardown's own exit code.
      {"slow teardown after the flush", shut_down_with, slow_teardown, teardown_exit_code,
       2.0 * frame_watchdog_ms, 1e9},
      // The second signal ends the long teardown early, as a success.
      {"second signal after the flush", shut_down_with, signalled_teardown, 0, 0,
       10.0 * frame_watchdog_ms},
      {"stuck before the flush", [](void (*)()) { stuck_before_flush(); }, nullptr, 1,
       frame_watchdog_ms, watchdog_bound_ms},
  };
  for (const row &r : rows) {
    auto [code, ms] = in_child(r.body, r.teardown);
    EXPECT_EQ(code, r.exit_code) << r.name;
    EXPECT_GE(ms, r.min_ms) << r.name;
    EXPECT_LT(ms, r.max_ms) << r.name;
  }
}

}  // namespace
