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
void os_lock_mouse_cursor(int32_t flags, int32_t sensitivity_x, int32_t sensitivity_y);
// Host-layer functions registered after the workstation API.
void os_add_public_c_functions(lua_State *L);

// Worker threads, named "kavelund_worker": os_create_thread runs
// function(data) on a thread of its own and returns the thread's record, or
// null when no thread could be started. os_destroy_thread detaches the
// thread and frees the record (null is ignored); the thread runs on.
struct os_thread;
os_thread *os_create_thread(int (*function)(void *), void *data);
void os_destroy_thread(os_thread *thread);
