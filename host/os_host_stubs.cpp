// Stubs of the host layer that is not built yet.
#include "host/os_host.h"

#include "sorn/audio_lock.h"

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
