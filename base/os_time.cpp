// Millisecond clock of the host layer.
#include "base/os_time.h"

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
