// Frame pacing: each system frame ends by showing the picture and waiting
// until 16 ms (32 ms while the battery saver finds the user idle) have passed
// since the end of the previous frame's wait. A late frame does not wait, and
// no wait is longer than 100 sleeps.
#pragma once

#include <cstdint>

struct host_pacing_record {
  uint32_t last_t = 0;  // milliseconds at the end of the previous frame's wait
};
extern host_pacing_record host_pacing;

inline constexpr uint32_t FRAME_MS = 16;
inline constexpr uint32_t SAVER_FRAME_MS = 32;
inline constexpr uint64_t SAVER_IDLE_MS = 500;  // idle time before the saver paces slower
inline constexpr int32_t MAX_PACING_SLEEPS = 100;

// Whether this frame is paced as idle: the battery saver is on, userland has
// finished booting and nothing happened for more than 500 ms before now.
bool battery_saver_idle(uint32_t now);
// Whether the clock reading now has reached target. The 32-bit count wraps,
// so the two are compared by their difference: a target up to about 24 days
// ahead is still to come, one behind has passed.
bool pacing_time_reached(uint32_t now, uint32_t target);
// Sets app.battery_saver_active for this frame, waits out its period and
// sets last_t.
void pace_frame();
