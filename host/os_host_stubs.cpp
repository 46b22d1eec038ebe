// Stubs of the host layer that is not built yet. Worker threads run on the
// standard library's threads until the host layer's own are built.
#include "host/os_host.h"

#include "sorn/audio_lock.h"
#include <pthread.h>

#include <system_error>
#include <thread>

void os_system_init() {}
void start_frame() {}
void os_apply_video_config() {}
void os_lock_mouse_cursor(int32_t, int32_t, int32_t) {}
void os_add_public_c_functions(lua_State *) {}
// Without the audio device the synthesiser's own lock keeps the audio side
// out.
void os_lock_audio() { sorn_lock_audio(); }
void os_unlock_audio() { sorn_unlock_audio(); }
int32_t os_key_state(int32_t) { return 0; }
const char *os_key_from_scancode(int32_t) { return nullptr; }
void os_warp_mouse_pointer(int32_t, int32_t) {}
void os_set_window_icon(const uint8_t *, int32_t, int32_t, const uint32_t *) {}
void os_set_window_title(const char *) {}
void os_get_button_states(int32_t, uint8_t *out) {
  for (int i = 0; i < 16; i++) out[i] = 0;
}

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
