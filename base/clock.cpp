// The clock of the file system, which tests may replace.
#include "base/clock.h"

#include <ctime>

#include "base/os_time.h"

uint64_t (*clock_test_source)();

uint64_t clock_now_ms() { return clock_test_source ? clock_test_source() : os_get_time(); }

int64_t clock_utc_seconds() {
  return clock_test_source ? (int64_t)(clock_test_source() / 1000) : (int64_t)std::time(nullptr);
}
