// The host layer as the kernel calls it: start-up, the frame's events and
// presentation, video configuration, the mouse lock and the host-layer API.
// Still stubs (host/os_host_stubs.cpp) where the host layer is not built.
#pragma once
#include <cstdint>
struct lua_State;
void os_system_init();
// Pumps host events into messages.
void start_frame();
// Shows the frame unless headless, then waits out the rest of 16 ms.
int end_frame();
void os_apply_video_config();
// The audio lock: while the main thread holds it the audio callback does not
// run. It nests; each os_lock_audio is matched by one os_unlock_audio.
void os_lock_audio();
void os_unlock_audio();
void os_lock_mouse_cursor(int32_t flags, int32_t sensitivity_x, int32_t sensitivity_y);
// Host-layer functions registered after the workstation API.
void os_add_public_c_functions(lua_State *L);

// The audio lock as the kernel takes it; it nests, and every unlock pairs
// with a lock.
void os_lock_audio();
void os_unlock_audio();
// Non-zero while the host key with that scancode is down; -1 asks whether
// any key is down.
int32_t os_key_state(int32_t scancode);
// The host's name of a key, or null when it has none.
const char *os_key_from_scancode(int32_t scancode);
// Moves the host pointer to (x, y) of the 480x270 frame.
void os_warp_mouse_pointer(int32_t x, int32_t y);
// With indices (w x h colour indices, shown through palette), the window's
// custom icon; with null, no custom icon.
void os_set_window_icon(const uint8_t *indices, int32_t w, int32_t h, const uint32_t *palette);
// Stores at most 1023 characters of the window title and applies them when
// the window exists.
void os_set_window_title(const char *text);
// Fills 16 pressure bytes (0..255) of player 0..7 from the game controllers
// (and, for player 0, the keyboard).
void os_get_button_states(int32_t player, uint8_t *out);
// Worker threads, named "kavelund_worker": os_create_thread runs
// function(data) on a thread of its own and returns the thread's record, or
// null when no thread could be started. os_destroy_thread detaches the
// thread and frees the record (null is ignored); the thread runs on.
struct os_thread;
os_thread *os_create_thread(int (*function)(void *), void *data);
void os_destroy_thread(os_thread *thread);
