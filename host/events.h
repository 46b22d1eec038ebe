// Host events and input: the event pump that turns SDL's events into the
// key table and the event messages for process 3, the virtual pointer of the
// locked mouse, and the key and button queries. Main thread only.
//
// Event texts sent to process 3 (cut at 255 bytes):
//   {event="keydown",scancode=N}  {event="keyup",scancode=N}
//   {event="textinput",text="..."}  {event="mouse",mx=X,my=Y,mb=B}
//   {event="mousewheel",wheel_x=X,wheel_y=Y}
//   {event="mouselockedmove",locked_dx=X,locked_dy=Y}
#pragma once

#include <cstdint>

#include <SDL.h>

inline constexpr int32_t HOST_KEYS = 512;
inline constexpr uint64_t FOCUS_KEY_DELAY_MS = 100;  // keys read as up after a focus gain
inline constexpr int32_t LOCK_STEP = 64;             // accumulator units of one locked step
inline constexpr int32_t MOUSE_LOCK_BIT = 4;         // in the window manager's lock flags
inline constexpr int32_t AXIS_DEAD_ZONE = 8192;

// The input's state: the keys held now and at the last frame, the pointer
// as last reported, the virtual pointer of the locked mouse and its
// accumulators.
struct host_events_record {
  uint32_t key_state[HOST_KEYS] = {};
  uint32_t last_key_state[HOST_KEYS] = {};
  int32_t last_mx = -1, last_my = -1, last_mb = -1;  // -1: nothing reported yet
  float virtual_mx = 0, virtual_my = 0;
  int32_t last_locked_host_mx = 0, last_locked_host_my = 0;
  int32_t event_sensitivity = 64, move_sensitivity = 64;
};
extern host_events_record host_events;

// Every field as at start (host start-up runs it).
void host_events_reset();

// Drains SDL's event queue (start_frame runs it once a frame).
void handle_sdl_messages();
// One event as the pump handles it (the last-activity stamp included).
void handle_sdl_event(const SDL_Event &e);
// Sends keydown and keyup messages for the keys whose state changed since
// the last frame.
void send_key_changes();
// Maps a host position (window units) into the picture, as the mouse
// message reports it (clamped into the picture in fullscreen).
void map_mouse_position(int32_t x, int32_t y, int32_t *mx, int32_t *my);
// Turns the locked-move accumulators into whole steps and sends them.
void send_locked_steps();
// The pressure 0..255 of an axis value in one direction (0 inside the dead
// zone).
int32_t axis_pressure(int32_t v);
