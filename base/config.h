// The host configuration record `config`: filled at start from the command
// line and the configuration file, changed by userland's system settings, and
// kept across reboots.
#pragma once
#include <cstdint>

struct config_state {
  int32_t fullscreen;
  int32_t pixel_perfect;
  int32_t stretch;
  int32_t blit_720p;
  int32_t allow_highdpi;
  int32_t sdl_render_driver;
  int32_t fullscreen_window;
  int32_t pixel_scale;
  int32_t anywhen;  // file history on
  int32_t volume;   // 0 to 256
  int32_t mute_audio;
  int32_t swap_stereo;
  int32_t network_access;
  int32_t battery_saver;
  int32_t deadzone;         // 0 to 256
  char home[1024];          // application-data root given by "-home"; empty: the default
  char desktop_root[1024];  // host desktop root; empty (or leading space): the default
  char startup_arg[1024];   // the last bare command-line argument
  char info_text[1200];     // returned by stat 316; nothing fills it
  int32_t use_system_rom;   // accepted; nothing reads it
  int32_t headless;         // "-x": no window, no video output, no boot delay
  int32_t display;          // "-display" index; -1: none
};

inline config_state config{};

// The defaults that start-up sets before reading the command line.
inline void config_set_defaults() {
  config = config_state{};
  config.fullscreen = 1;
  config.pixel_perfect = 1;
  config.volume = 192;
  config.network_access = 1;
  config.display = -1;
}
