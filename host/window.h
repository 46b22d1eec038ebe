// The host window: one SDL window with its renderer and streaming texture,
// built from the display settings of `config`; where the 480x270 picture goes
// inside it (also used to map the mouse); the enlargement of each frame on the
// processor before upload; the title and the icon. Main thread only.
//
// Contract:
// - No window exists until host_apply_video_config first runs with a window
//   allowed; while there is none, sdl_window_w and sdl_window_h are 0 and the
//   blits return at once.
// - A renderer that cannot be made on the new window falls back to SDL's
//   software renderer and, when that fails too, to no window at all (logged);
//   the program never ends there.
#pragma once

#include <cstdint>

#include <SDL.h>

#include "base/ram_layout.h"

inline constexpr int32_t WINDOW_ICON_SIZE = 128;
inline constexpr int32_t BIG_SRC_W = 1920, BIG_SRC_H = 1080;
inline constexpr int32_t BLIT_720P_W = 1280, BLIT_720P_H = 720;
inline constexpr int32_t UNDEFINED_WINDOW_POS = 0x1FFF0000;

// The window's state: SDL's window, renderer and texture, the sizes and
// position it was built with, the enlargement, the title and the icon.
struct host_window_record {
  SDL_Window *sdl_window = nullptr;
  SDL_Renderer *sdl_renderer = nullptr;
  SDL_Texture *sdl_texture = nullptr;
  int32_t sdl_window_w = 0, sdl_window_h = 0;  // window units, re-read by get_dest_rect
  char sdl_window_title[1024] = "Kavelund";
  // Position reused when no display is known.
  int32_t last_win_x = UNDEFINED_WINDOW_POS, last_win_y = UNDEFINED_WINDOW_POS;
  int32_t last_win_w = 0, last_win_h = 0;  // windowed size before the last rebuild
  int32_t last_fullscreen = 0;
  int32_t preblit_scale = 2;  // 1..4: enlargement before the upload
  float renderer_scale_x = 1.0f, renderer_scale_y = 1.0f;
  int32_t use_custom_window_icon = 0;
  uint32_t window_icon_dat[WINDOW_ICON_SIZE * WINDOW_ICON_SIZE] = {};  // ARGB, row-major
};
extern host_window_record host_window;

// Destroys the window (when there is one); every field is as at start.
void host_window_reset();

// Makes a renderer on a window with the given SDL flags; null on failure.
// Tests replace it to make renderers fail.
using renderer_maker = SDL_Renderer *(*)(SDL_Window *, uint32_t flags);
extern renderer_maker host_make_renderer;

// The picture's place inside the window in window units (x or y negative when
// the picture is larger than the window; w or h 0 when it does not fit at
// all). Re-reads the window size first (0 x 0 without a window).
SDL_Rect get_dest_rect();
// The same placement for a window of w x h units.
SDL_Rect dest_rect_for(int32_t w, int32_t h);
// The enlargement factor host_apply_video_config chooses for the window size.
int32_t calculate_preblit_scale();
int32_t preblit_scale_for(int32_t w, int32_t h);
// pixel_scale as the window is built from it: 0 becomes 2, then 1..16.
int32_t clamp_pixel_scale(int32_t scale);

// Resamples a 480x270 frame (pitch 480) to 1280x720 into out: 3 source pixels
// become 8 across and 3 rows become 8 down, blending the seams.
void resample_720p(const uint32_t *src, uint32_t *out);
// The 128x128 ARGB icon of a 16x16 index image.
void build_window_icon(const uint8_t *pixels, const uint32_t *palette, uint32_t *icon);

// Shows one frame (480 x 270, pitch width pixels) through the renderer.
void blit_to_sdl_window_hardware(const uint32_t *pixels, int32_t width);
void blit_to_sdl_window(const uint32_t *pixels, int32_t width);
// Destroys the window with its renderer and texture.
void destroy_host_window();
