// The program's clock: milliseconds since the host layer started.
#pragma once

#include <cstdint>

// Milliseconds read from a steady (monotonic) clock that starts when the
// program is loaded, so it runs before the window layer is up and without a
// window at all. Wraps after about 49 days, as a 32-bit count does.
uint32_t os_get_time();

// Sleeps until os_get_time() reads ms, in one sleep; at once when that time
// has come or lies more than os_sleep_longest_ms ahead (it has passed and the
// count wrapped).
inline constexpr uint32_t os_sleep_longest_ms = 60000;
void os_sleep_until(uint32_t ms);
