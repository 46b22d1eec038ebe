// Frame pacing: the end of each system frame waits until 16 ms have passed
// since the previous frame's deadline, so frames keep a steady rate however
// long the work inside them took (a late frame starts the schedule afresh).
#pragma once

#include <chrono>

struct frame_pacing_state {
  std::chrono::steady_clock::time_point next;  // deadline of the running frame
};
extern frame_pacing_state frame_pacing;

// Sleeps until the running frame's deadline and sets the next one.
void pace_frame();
