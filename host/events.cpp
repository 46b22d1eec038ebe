// The host event pump and the input queries.
#include "host/events.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "base/config.h"
#include "base/klog.h"
#include "base/os_time.h"
#include "base/pbuffer.h"
#include "base/ram_layout.h"
#include "machine/app.h"
#include "machine/message.h"
#include "machine/process.h"
#include "pdisk/dropped_file.h"
#include "host/controllers.h"
#include "host/os_host.h"
#include "host/window.h"

host_events_record host_events;

void host_events_reset() {
  static const host_events_record start{};
  host_events = start;
}

void host_input_reset() {
  host_events.last_mx = host_events.last_my = host_events.last_mb = -1;
  host_events.virtual_mx = host_events.virtual_my = 0;
}

static void send_event(const char *format, ...) __attribute__((format(printf, 1, 2)));
static void send_event(const char *format, ...) {
  char text[256];
  va_list ap;
  va_start(ap, format);
  vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  send_process_message_string(get_process(PID_WINDOW_MANAGER), text);
}

// Truncates a float to int32, with NaN and out-of-range values as 0.
static int32_t float_to_i32(double v) {
  if (!(v > -2147483648.0 && v < 2147483648.0)) return 0;
  return (int32_t)v;
}

// A picture position of the host position, unclamped, or false when the
// picture has no area (no window).
static bool picture_position(int32_t x, int32_t y, float *px, float *py) {
  SDL_Rect r = get_dest_rect();
  if (r.w <= 0 || r.h <= 0) return false;
  *px = (float)(x - r.x) * float(SCREEN_WIDTH) / (float)r.w;
  *py = (float)(y - r.y) * float(SCREEN_HEIGHT) / (float)r.h;
  return true;
}

// Moves the host pointer to picture position (px, py), when there is a window.
static void warp_to_picture(float px, float py) {
  SDL_Rect r = get_dest_rect();
  if (!host_window.sdl_window || r.w <= 0 || r.h <= 0) return;
  SDL_WarpMouseInWindow(host_window.sdl_window, float_to_i32(r.x + r.w * px / float(SCREEN_WIDTH)),
                        float_to_i32(r.y + r.h * py / float(SCREEN_HEIGHT)));
}

static void warp_to_centre() {
  host_events.last_locked_host_mx = host_window.sdl_window_w / 2;
  host_events.last_locked_host_my = host_window.sdl_window_h / 2;
  if (host_window.sdl_window)
    SDL_WarpMouseInWindow(host_window.sdl_window, host_events.last_locked_host_mx,
                          host_events.last_locked_host_my);
}

void map_mouse_position(int32_t x, int32_t y, int32_t *mx, int32_t *my) {
  SDL_Rect r = get_dest_rect();
  *mx = x, *my = y;
  if (r.w > 0 && r.h > 0) {
    *mx = (int32_t)((int64_t)(x - r.x) * SCREEN_WIDTH / r.w);
    *my = (int32_t)((int64_t)(y - r.y) * SCREEN_HEIGHT / r.h);
  }
  if (config.fullscreen) {
    *mx = std::clamp(*mx, 0, SCREEN_WIDTH - 1);
    *my = std::clamp(*my, 0, SCREEN_HEIGHT - 1);
  }
}

static void locked_motion(int32_t ex, int32_t ey) {
  SDL_Rect r = get_dest_rect();
  if (host_window.sdl_window_w < 2 || host_window.sdl_window_h < 2 || r.w <= 0 || r.h <= 0) {
    host_events.last_locked_host_mx = ex, host_events.last_locked_host_my = ey;
    return;
  }
  float dx = (float)(ex - host_events.last_locked_host_mx),
        dy = (float)(ey - host_events.last_locked_host_my);
  float sx = std::max((float)r.w / float(SCREEN_WIDTH), 0.1f),
        sy = std::max((float)r.h / float(SCREEN_HEIGHT), 0.1f);
  dx /= sx, dy /= sy;
  if (app.skip_next_motion) {
    app.skip_next_motion = 0;
    app.locked_dx = app.locked_dy = 0;
  } else {
    app.locked_dx = float_to_i32((float)host_events.event_sensitivity * dx + (float)app.locked_dx);
    app.locked_dy = float_to_i32((float)host_events.event_sensitivity * dy + (float)app.locked_dy);
  }
  float vx = (float)((double)host_events.virtual_mx +
                     (double)(dx * (float)host_events.move_sensitivity) * 0.015625);
  float vy = (float)((double)host_events.virtual_my +
                     (double)(dy * (float)host_events.move_sensitivity) * 0.015625);
  host_events.virtual_mx = std::max(std::min(vx, 479.0f), 0.0f);
  host_events.virtual_my = std::max(std::min(vy, 269.0f), 0.0f);
  if (std::isnan(host_events.virtual_mx)) host_events.virtual_mx = 0;
  if (std::isnan(host_events.virtual_my)) host_events.virtual_my = 0;
  warp_to_centre();
}

static void controller_removed(int32_t instance_id) {
  if (!close_controller_by_instance(instance_id)) klog("** failed to disconnect joystick\n");
  repack_metacon();
}

void handle_sdl_event(const SDL_Event &e) {
  uint32_t now = os_get_time();
  app.last_activity = now;
  switch (e.type) {
    case SDL_QUIT:
      app.exit_request = 1;
      break;
    case SDL_WINDOWEVENT:
      switch (e.window.event) {
        case SDL_WINDOWEVENT_SHOWN:
        case SDL_WINDOWEVENT_MAXIMIZED:
        case SDL_WINDOWEVENT_RESTORED:
        case SDL_WINDOWEVENT_FOCUS_GAINED:
          app.window_focus = 1;
          app.focus_time = now;
          if (host_window.sdl_window) SDL_RaiseWindow(host_window.sdl_window);
          break;
        case SDL_WINDOWEVENT_HIDDEN:
        case SDL_WINDOWEVENT_MINIMIZED:
        case SDL_WINDOWEVENT_FOCUS_LOST:
          if (host_window.sdl_window &&
              e.window.windowID == SDL_GetWindowID(host_window.sdl_window))
            app.window_focus = 0;
          break;
        case SDL_WINDOWEVENT_CLOSE:
          app.exit_request = 1;
          break;
      }
      break;
    case SDL_KEYDOWN:
      if (e.key.keysym.scancode >= 0 && e.key.keysym.scancode < HOST_KEYS)
        host_events.key_state[e.key.keysym.scancode] = 1;
      break;
    case SDL_TEXTINPUT: {
      char text[32];
      std::snprintf(text, sizeof text, "%s", e.text.text);
      send_event("{event=\"textinput\",text=\"%s\"}", escape_lua_string(text));
      break;
    }
    case SDL_MOUSEMOTION:
      if (app.mouse_locked) locked_motion(e.motion.x, e.motion.y);
      break;
    case SDL_MOUSEWHEEL:
      send_event("{event=\"mousewheel\",wheel_x=%d,wheel_y=%d}", e.wheel.x, e.wheel.y);
      break;
    case SDL_CONTROLLERDEVICEADDED:
      repack_metacon();
      connect_joystick(e.cdevice.which);
      break;
    case SDL_CONTROLLERDEVICEREMOVED:
      controller_removed(e.cdevice.which);
      break;
    case SDL_DROPFILE:
      if (e.drop.file) process_dropped_file(e.drop.file);
      SDL_free(e.drop.file);
      if (host_window.sdl_window) SDL_RaiseWindow(host_window.sdl_window);
      break;
  }
}

void send_key_changes() {
  // Most frames change no key: one block compare instead of a walk.
  if (std::equal(host_events.key_state, host_events.key_state + HOST_KEYS,
                 host_events.last_key_state))
    return;
  for (int32_t k = 0; k < HOST_KEYS; k++) {
    if (host_events.key_state[k] && !host_events.last_key_state[k])
      send_event("{event=\"keydown\",scancode=%d}", k);
    if (!host_events.key_state[k] && host_events.last_key_state[k])
      send_event("{event=\"keyup\",scancode=%d}", k);
  }
}

void send_locked_steps() {
  if (!app.mouse_locked) {
    app.locked_dx = app.locked_dy = 0;
    return;
  }
  auto steps = [](int32_t &acc) {
    int32_t d = 0;
    for (; acc >= LOCK_STEP; acc -= LOCK_STEP) d++;
    for (; acc <= -LOCK_STEP; acc += LOCK_STEP) d--;
    return d;
  };
  int32_t dx = steps(app.locked_dx), dy = steps(app.locked_dy);
  if (dx || dy) send_event("{event=\"mouselockedmove\",locked_dx=%d,locked_dy=%d}", dx, dy);
}

void handle_sdl_messages() {
  int n = 0;
  const uint8_t *keys = SDL_GetKeyboardState(&n);
  n = std::clamp(n, 0, HOST_KEYS);
  SDL_ShowCursor(SDL_DISABLE);
  if (!keys) n = 0;
  std::copy(host_events.key_state, host_events.key_state + HOST_KEYS, host_events.last_key_state);
  std::copy(keys, keys + n, host_events.key_state);
  std::fill(host_events.key_state + n, host_events.key_state + HOST_KEYS, 0u);

  SDL_Event e;
  while (SDL_PollEvent(&e)) handle_sdl_event(e);

  uint32_t now = os_get_time();
  if ((uint64_t)now <= app.focus_time + FOCUS_KEY_DELAY_MS)
    std::fill_n(host_events.key_state, HOST_KEYS, 0u);
  send_key_changes();

  SDL_Rect r = get_dest_rect();
  if (host_window.sdl_window_w <= 0 || host_window.sdl_window_h <= 0 || r.w <= 0 || r.h <= 0)
    return;
  int x = 0, y = 0;
  uint32_t b = SDL_GetMouseState(&x, &y);
  if (b) app.last_activity = now;
  int32_t mb = (b & SDL_BUTTON_LMASK ? 1 : 0) | (b & SDL_BUTTON_RMASK ? 2 : 0) |
               (b & SDL_BUTTON_MMASK ? 4 : 0);
  int32_t mx, my;
  map_mouse_position(x, y, &mx, &my);
  if (app.mouse_locked)
    mx = float_to_i32(host_events.virtual_mx), my = float_to_i32(host_events.virtual_my);
  if (mx != host_events.last_mx || my != host_events.last_my || mb != host_events.last_mb)
    send_event("{event=\"mouse\",mx=%d,my=%d,mb=%d}", mx, my, mb);
  host_events.last_mx = mx, host_events.last_my = my, host_events.last_mb = mb;
  send_locked_steps();
}

void start_frame() { handle_sdl_messages(); }

void host_lock_mouse_cursor(int32_t flags, int32_t es, int32_t ms) {
  host_events.event_sensitivity = es, host_events.move_sensitivity = ms;
  bool want = flags & MOUSE_LOCK_BIT;
  int x = 0, y = 0;
  if (want && !app.mouse_locked) {
    SDL_GetMouseState(&x, &y);
    float px, py;
    // Without a window the pointer keeps its last place.
    if (picture_position(x, y, &px, &py)) host_events.virtual_mx = px, host_events.virtual_my = py;
    if (host_window.sdl_window_w >= 2 && host_window.sdl_window_h >= 2) warp_to_centre();
    app.skip_next_motion = 1;
  } else if (!want && app.mouse_locked) {
    warp_to_picture(host_events.virtual_mx, host_events.virtual_my);
    app.mouse_locked = 0;
    return;
  }
  if (config.fullscreen && host_window.sdl_window) {
    SDL_Rect r = get_dest_rect();
    SDL_GetMouseState(&x, &y);
    if (r.w > 0 && r.h > 0) {
      int cx = std::clamp(x, r.x, r.x + r.w - 1), cy = std::clamp(y, r.y, r.y + r.h - 1);
      if (cx != x || cy != y) SDL_WarpMouseInWindow(host_window.sdl_window, cx, cy);
    }
  }
  app.mouse_locked = flags & MOUSE_LOCK_BIT;
}

void host_warp_mouse_pointer(int32_t x, int32_t y) {
  host_events.virtual_mx = (float)x, host_events.virtual_my = (float)y;
  warp_to_picture(host_events.virtual_mx, host_events.virtual_my);
}

int32_t host_key_state(int32_t n) {
  if (n == -1)
    return std::any_of(host_events.key_state, host_events.key_state + HOST_KEYS,
                       [](uint32_t k) { return k; });
  return n >= 0 && n < HOST_KEYS ? (int32_t)host_events.key_state[n] : 0;
}

const char *host_key_from_scancode(int32_t scancode) {
  if (scancode < 0 || scancode >= SDL_NUM_SCANCODES) return nullptr;
  const char *name = SDL_GetKeyName(SDL_GetKeyFromScancode((SDL_Scancode)scancode));
  return name && *name ? name : nullptr;
}

int32_t axis_pressure(int32_t v) {
  int32_t a = std::abs(v);
  return std::clamp((a * 256 - 0x200000) / 22528, 0, 255);
}

void host_get_button_states(int32_t player, uint8_t out[16]) {
  auto press = [&](int byte, int32_t p) { out[byte] = (uint8_t)std::max<int32_t>(out[byte], p); };
  auto axis = [&](int32_t v, int neg, int pos) {
    if (v) press(v < 0 ? neg : pos, axis_pressure(v));
  };
  int32_t lx, ly, rx, ry;
  host_get_joystick_axes(player, 0, 1, &lx, &ly);
  host_get_joystick_axes(player, 2, 3, &rx, &ry);
  axis(lx, 0, 1), axis(ly, 2, 3), axis(rx, 8, 9), axis(ry, 10, 11);
  int32_t x, y;
  uint32_t buttons;
  host_get_joystick(player, &x, &y, &buttons);
  static constexpr struct {
    int bit, byte;
  } pad_bytes[] = {{SDL_CONTROLLER_BUTTON_DPAD_LEFT, 0},
                   {SDL_CONTROLLER_BUTTON_DPAD_RIGHT, 1},
                   {SDL_CONTROLLER_BUTTON_DPAD_UP, 2},
                   {SDL_CONTROLLER_BUTTON_DPAD_DOWN, 3},
                   {SDL_CONTROLLER_BUTTON_A, 4},
                   {SDL_CONTROLLER_BUTTON_X, 5},
                   {SDL_CONTROLLER_BUTTON_START, 6},
                   {SDL_CONTROLLER_BUTTON_GUIDE, 6},
                   {SDL_CONTROLLER_BUTTON_B, 12},
                   {SDL_CONTROLLER_BUTTON_Y, 13},
                   {SDL_CONTROLLER_BUTTON_LEFTSHOULDER, 14},
                   {SDL_CONTROLLER_BUTTON_RIGHTSHOULDER, 15}};
  for (auto pb : pad_bytes)
    if (buttons & (1u << pb.bit)) press(pb.byte, 255);
  if (player != 0) return;
  static constexpr struct {
    SDL_Scancode key;
    int byte;
  } key_bytes[] = {
      {SDL_SCANCODE_LEFT, 0}, {SDL_SCANCODE_RIGHT, 1}, {SDL_SCANCODE_UP, 2}, {SDL_SCANCODE_DOWN, 3},
      {SDL_SCANCODE_Z, 4},    {SDL_SCANCODE_C, 4},     {SDL_SCANCODE_X, 5},  {SDL_SCANCODE_V, 5},
      {SDL_SCANCODE_A, 8},    {SDL_SCANCODE_D, 9},     {SDL_SCANCODE_W, 10}, {SDL_SCANCODE_S, 11},
      {SDL_SCANCODE_F, 12},   {SDL_SCANCODE_G, 13},    {SDL_SCANCODE_Q, 14}, {SDL_SCANCODE_E, 15}};
  for (auto kb : key_bytes)
    if (host_events.key_state[kb.key]) press(kb.byte, 255);
  if (host_events.key_state[SDL_SCANCODE_RETURN] && !host_events.key_state[SDL_SCANCODE_LALT] &&
      !host_events.key_state[SDL_SCANCODE_RALT])
    press(6, 255);
}
