// Diagnostics and the clock of the file system.
#include "base/clock.h"

#include <ctime>

#include "base/os_time.h"

uint64_t (*pdisk_test_clock)();

uint64_t pdisk_now_ms() { return pdisk_test_clock ? pdisk_test_clock() : os_get_time(); }

int64_t pdisk_utc_seconds() {
  return pdisk_test_clock ? (int64_t)(pdisk_test_clock() / 1000) : (int64_t)std::time(nullptr);
}
