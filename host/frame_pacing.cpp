#include "host/frame_pacing.h"

#include <thread>

#include "host/os_host.h"

frame_pacing_state frame_pacing;

void pace_frame() {
  using clock = std::chrono::steady_clock;
  clock::time_point now = clock::now();
  if (frame_pacing.next < now) frame_pacing.next = now;
  frame_pacing.next += std::chrono::milliseconds(16);
  std::this_thread::sleep_until(frame_pacing.next);
}

// Nothing is shown yet (no window layer): the end of a frame only paces.
int end_frame() {
  pace_frame();
  return 0;
}
