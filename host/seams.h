// The host layer as the kernel calls it: window, input, audio device,
// captures and sockets. Until the host layer is built these do nothing
// (host/seams.cpp), except that end_frame paces frames to 16 ms.
#pragma once
#include <cstdint>

#include "lang/lua_api.h"

void os_system_init();
void sockets_init();
void sockets_exit();
// Pumps host events into messages.
void start_frame();
// Shows the frame unless headless, then waits out the rest of 16 ms.
int end_frame();
void os_apply_video_config();
void os_lock_mouse_cursor(int32_t flags, int32_t sensitivity_x, int32_t sensitivity_y);
void update_all_sockets();
// Closes every socket of that process; 0 closes all.
void delete_sockets_by_process(int32_t process_id);
// Host-layer and socket functions registered after the workstation API.
void os_add_public_c_functions(lua_State *L);
void socket_add_public_c_functions(lua_State *L);
// Captures: 0 from gif_start when a recording started.
int gif_start();
void gif_end();
void audio_capture_start();
void audio_capture_end();
void request_screenshot();
