// The host layer as the kernel calls it: start-up, the frame's events and
// presentation, video configuration, keyboard, mouse and controller queries,
// the window's title and icon, and the host-layer API. Nothing here exposes
// SDL: the host layer keeps it inside host/.
#pragma once
#include <cstdint>
struct lua_State;

// One-time host start: SDL, controllers and the audio device (the program goes
// on without sound or controllers when they cannot start).
void host_system_init();
// Stops the audio device (no mixing thread runs while the program ends) and
// closes the controllers.
void host_system_exit();
// Pumps host events into messages for process 3.
void start_frame();
// Shows the frame unless running without a window, then waits out the rest of
// 16 ms (32 ms while the battery saver is idle). Returns 0.
int end_frame();
// Creates or rebuilds the window, renderer and texture from `config`; nothing
// without a window (-x). A renderer that cannot be made falls back to SDL's
// software renderer, then to running on without a window.
void host_apply_video_config();
// Applies the window manager's mouse-lock request (flags bit value 4 locks)
// and its two sensitivities in 1/64 units.
void host_lock_mouse_cursor(int32_t flags, int32_t sensitivity_x, int32_t sensitivity_y);
// Moves the pointer to (x, y) of the 480x270 picture.
void host_warp_mouse_pointer(int32_t x, int32_t y);
// A 16x16 image of colour indices becomes the window's 128x128 icon (index 0
// transparent, any other palette[i & 63] opaque); null pixels stop using a
// custom icon. width and height are 16 and not otherwise read.
void host_set_window_icon(const uint8_t *pixels, int32_t width, int32_t height,
                          const uint32_t *palette);
// Titles of at most 1023 bytes are kept (and shown when a window exists);
// longer ones are ignored.
void host_set_window_title(const char *text);
// 1 while the key with that scancode (0..511) is down; -1 asks whether any
// key is down. Other values read 0.
int32_t host_key_state(int32_t scancode);
// The host's name of the key a scancode gives on the current layout; null for
// a key without a name. Valid until the next call.
const char *host_key_from_scancode(int32_t scancode);
// Raises 16 pressure bytes (0..255) of player 0..7 from its controller and,
// for player 0, the keyboard; never lowers a byte.
void host_get_button_states(int32_t player, uint8_t out[16]);
// Milliseconds of sleep.
void host_sleep(uint32_t ms);
// Host-layer functions registered after the workstation API.
void host_add_public_c_functions(lua_State *L);
// Clears what the host layer keeps of the last user and window: the mouse
// position last reported and the locked pointer. Called by every reset.
void host_input_reset();
// Worker threads, named "kavelund_worker": host_create_thread runs
// function(data) on a thread of its own and returns the thread's record, or
// null when no thread could be started. host_destroy_thread detaches the
// thread and frees the record (null is ignored); the thread runs on.
struct host_thread;
host_thread *host_create_thread(int (*function)(void *), void *data);
void host_destroy_thread(host_thread *thread);
