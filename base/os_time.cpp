// Millisecond clock of the host layer.
#include "base/os_time.h"

#include <time.h>

#include <cerrno>
#include <chrono>

static std::chrono::steady_clock::time_point os_time_start() {
  static const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  return start;
}
// Start the clock when the program is loaded, not at its first reading.
static const bool os_time_started = (os_time_start(), true);

uint32_t os_get_time() {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                  os_time_start());
  return uint32_t(uint64_t(ms.count()));
}

void os_sleep_until(uint32_t ms) {
  using std::chrono::milliseconds;
  auto since = std::chrono::steady_clock::now() - os_time_start();
  uint64_t now = uint64_t(std::chrono::duration_cast<milliseconds>(since).count());
  uint32_t left = ms - uint32_t(now);  // the clock wraps as a 32-bit count does
  if (left == 0 || left > os_sleep_longest_ms) return;
  // The steady clock reads the monotonic clock: one sleep to an absolute
  // time wakes once, however late the sleep began.
  auto until = (os_time_start() + milliseconds(now + left)).time_since_epoch();
  timespec at;
  at.tv_sec = time_t(std::chrono::duration_cast<std::chrono::seconds>(until).count());
  at.tv_nsec = long(
      std::chrono::duration_cast<std::chrono::nanoseconds>(until - std::chrono::seconds(at.tv_sec))
          .count());
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {}
}
