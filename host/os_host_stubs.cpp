// Stubs of the host layer that is not built yet.
#include "host/os_host.h"

#include <chrono>
#include <thread>

void os_system_init() {}
void start_frame() {}

int end_frame() {
  using clock = std::chrono::steady_clock;
  static clock::time_point next;
  clock::time_point now = clock::now();
  if (next < now) next = now;
  next += std::chrono::milliseconds(16);
  std::this_thread::sleep_until(next);
  return 0;
}

void os_apply_video_config() {}
void os_lock_mouse_cursor(int32_t, int32_t, int32_t) {}
void os_add_public_c_functions(lua_State *) {}
