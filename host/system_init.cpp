// The host's one-time start and exit: SDL, the controllers and the audio device.
#include <SDL.h>

#include "base/config.h"
#include "base/klog.h"
#include "host/audio_device.h"
#include "host/controllers.h"
#include "host/events.h"
#include "host/os_host.h"
#include "host/window.h"

void host_sleep(uint32_t ms) { SDL_Delay(ms); }

void host_system_init() {
  SDL_SetHint(SDL_HINT_VIDEO_ALLOW_SCREENSAVER, "1");
  host_set_window_title("Kavelund");
  // Without a window no video is needed (and none may exist).
  uint32_t systems = SDL_INIT_TIMER | SDL_INIT_JOYSTICK | SDL_INIT_HAPTIC |
                     SDL_INIT_GAMECONTROLLER | SDL_INIT_EVENTS | SDL_INIT_SENSOR;
  if (SDL_Init(systems | SDL_INIT_VIDEO) != 0) {
    klog("SDL init: %s\n", SDL_GetError());
    SDL_Init(systems);
  }
  host_joystick_init();
  if (config.sdl_render_driver == 1) SDL_SetHint(SDL_HINT_RENDER_DRIVER, "opengl");
  host_events_reset();
  open_audio_device();
}

// The window, its renderer and the audio device go with the process: tearing
// down a software OpenGL context can take longer than the exit may, and
// closing the device waits out its thread's sleep (a buffer's time).
void host_system_exit() {
  hold_audio_device_for_exit();
  host_joystick_exit();
}
