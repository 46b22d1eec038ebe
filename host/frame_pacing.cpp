#include "host/frame_pacing.h"

#include "base/config.h"
#include "base/os_time.h"
#include "machine/app.h"
#include "gfx/video.h"
#include "host/os_host.h"
#include "host/window.h"

host_pacing_record host_pacing;

bool battery_saver_idle(uint32_t now) {
  if (!config.battery_saver || !app.boot_finished) return false;
  return (int64_t)app.last_activity + (int64_t)SAVER_IDLE_MS < (int64_t)now;
}

bool pacing_time_reached(uint32_t now, uint32_t target) { return int32_t(now - target) >= 0; }

void pace_frame() {
  app.battery_saver_active = battery_saver_idle(os_get_time());
  uint32_t period = app.battery_saver_active ? SAVER_FRAME_MS : FRAME_MS;
  // One sleep to the end of the period: each wake-up costs CPU. The loop
  // only guards against a wake-up before its time.
  for (int32_t i = 0; i < MAX_PACING_SLEEPS; i++) {
    if (pacing_time_reached(os_get_time(), host_pacing.last_t + period)) break;
    os_sleep_until(host_pacing.last_t + period);
  }
  host_pacing.last_t = os_get_time();
}

int end_frame() {
  if (!config.headless) {
    int32_t w = 0, h = 0;
    if (const uint32_t *frame = generate_video_out(&w, &h)) blit_to_sdl_window(frame, w);
  }
  // A frame that asked to stop, with no process holding the system, is the
  // last one: the program ends at once instead of sleeping out the frame. A
  // reboot asked in the same frame goes first and clears the stop, so that
  // frame is paced like any other (a boot that asks for both would otherwise
  // reboot without pause).
  if (app.exit_request && !app.reboot_request && app.exclusive_process == 0) return 0;
  pace_frame();
  return 0;
}
