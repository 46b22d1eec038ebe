// Stubs of the host layer that is not built yet. Worker threads run on the
// standard library's threads until the host layer's own are built.
#include "host/os_host.h"

#include <pthread.h>

#include <system_error>
#include <thread>

void os_system_init() {}
void start_frame() {}
void os_apply_video_config() {}
void os_lock_mouse_cursor(int32_t, int32_t, int32_t) {}
void os_add_public_c_functions(lua_State *) {}

struct os_thread {
  std::thread thread;
};

os_thread *os_create_thread(int (*function)(void *), void *data) {
  try {
    auto *t = new os_thread{std::thread([function, data] { function(data); })};
    pthread_setname_np(t->thread.native_handle(), "kavelund_worker");
    return t;
  } catch (const std::system_error &) {
    return nullptr;
  }
}

void os_destroy_thread(os_thread *thread) {
  if (!thread) return;
  if (thread->thread.joinable()) thread->thread.detach();
  delete thread;
}
