// Calls the drawing layer makes upward, as function pointers that kernel
// start-up installs (install_hooks) before anything can call them. A hook
// left null is skipped.
#pragma once

#include <cstdint>

struct gfx_hooks {
  // The composed frame goes to the captures: the GIF recording takes the
  // display palette, the screenshot the frame's pixels.
  void (*capture_gif_frame)(const uint32_t *display_palette);
  void (*capture_screenshot_frame)(const uint32_t *frame);
};
extern gfx_hooks gfx_hook;
