// The host window, its renderer and texture, the picture's placement and the
// enlargement of each frame before upload.
#include "host/window.h"

#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/config.h"
#include "base/klog.h"
#include "host/os_host.h"

host_window_record host_window;

// Scratch of the enlargement before upload: written whole for each frame, so
// it holds nothing from one frame to the next.
static uint32_t big_src[BIG_SRC_W * BIG_SRC_H];

static SDL_Renderer *make_sdl_renderer(SDL_Window *w, uint32_t flags) {
  return SDL_CreateRenderer(w, -1, flags);
}
renderer_maker host_make_renderer = make_sdl_renderer;

int32_t clamp_pixel_scale(int32_t scale) {
  if (scale == 0) return 2;
  return std::clamp(scale, 1, 16);
}

int32_t preblit_scale_for(int32_t w, int32_t h) {
  if (config.blit_720p || config.pixel_perfect) return 1;
  if (w >= SCREEN_WIDTH * 3 && h >= SCREEN_HEIGHT * 3) return 4;
  if (w >= SCREEN_WIDTH * 2 && h >= SCREEN_HEIGHT * 2) return 3;
  return 2;
}

int32_t calculate_preblit_scale() {
  return preblit_scale_for(host_window.sdl_window_w, host_window.sdl_window_h);
}

SDL_Rect dest_rect_for(int32_t W, int32_t H) {
  SDL_Rect r = {0, 0, 0, 0};
  if (W <= 0 || H <= 0) return r;
  if (config.blit_720p) {
    r.w = BLIT_720P_W, r.h = BLIT_720P_H;
  } else if (config.pixel_perfect && config.stretch) {
    r.w = SCREEN_WIDTH * (W / SCREEN_WIDTH), r.h = SCREEN_HEIGHT * (H / SCREEN_HEIGHT);
  } else if (config.pixel_perfect) {
    int32_t k = std::max(1, std::min(W / SCREEN_WIDTH, H / SCREEN_HEIGHT));
    r.w = SCREEN_WIDTH * k, r.h = SCREEN_HEIGHT * k;
  } else if (config.stretch) {
    r.w = W, r.h = H;
  } else if ((double)W / (double)H >= 1.7777777777777777) {
    r.h = H, r.w = (int32_t)((float)H * 480.0f / 270.0f);
  } else {
    r.w = W, r.h = (int32_t)((float)W * 270.0f / 480.0f);
  }
  r.x = (W - r.w) / 2;
  r.y = (H - r.h) / 2;
  return r;
}

SDL_Rect get_dest_rect() {
  int32_t was_w = host_window.sdl_window_w, was_h = host_window.sdl_window_h;
  host_window.sdl_window_w = host_window.sdl_window_h = 0;
  if (host_window.sdl_window)
    SDL_GetWindowSize(host_window.sdl_window, &host_window.sdl_window_w, &host_window.sdl_window_h);
  // A new size makes the video drivers free their buffers and allocate new
  // ones of another size; the heap keeps the freed ones, which no later size
  // fits, unless they are given back here (a resize is rare enough).
  if (was_w != host_window.sdl_window_w || was_h != host_window.sdl_window_h) malloc_trim(0);
  return dest_rect_for(host_window.sdl_window_w, host_window.sdl_window_h);
}

// Per byte: half of p plus half of q, and three quarters of p plus a quarter
// of q (each term truncated).
static inline uint32_t blend_half(uint32_t p, uint32_t q) {
  return ((p >> 1) & 0x7f7f7f7f) + ((q >> 1) & 0x7f7f7f7f);
}
static inline uint32_t blend_quarter(uint32_t p, uint32_t q) {
  return ((p >> 2) & 0x3f3f3f3f) + ((p >> 1) & 0x7f7f7f7f) + ((q >> 2) & 0x3f3f3f3f);
}

void resample_720p(const uint32_t *src, uint32_t *out) {
  for (int32_t r = 0; r < BLIT_720P_H; r++) {
    const uint32_t *s = src + ((3 * r) >> 3) * SCREEN_WIDTH;
    uint32_t *o = out + r * BLIT_720P_W;
    for (int32_t g = 0; g < SCREEN_WIDTH / 3; g++, s += 3, o += 8) {
      o[0] = o[1] = s[0];
      o[2] = blend_quarter(s[0], s[1]);
      o[3] = o[4] = s[1];
      o[5] = blend_half(s[1], s[2]);
      o[6] = o[7] = s[2];
    }
    uint32_t *row = out + r * BLIT_720P_W, *above = row - BLIT_720P_W;
    if (r % 8 == 3)
      for (int32_t x = 0; x < BLIT_720P_W; x++) above[x] = blend_quarter(above[x], row[x]);
    if (r % 8 == 6)
      for (int32_t x = 0; x < BLIT_720P_W; x++) above[x] = blend_half(above[x], row[x]);
  }
}

void build_window_icon(const uint8_t *pixels, const uint32_t *palette, uint32_t *icon) {
  for (int32_t y = 0; y < WINDOW_ICON_SIZE; y++)
    for (int32_t x = 0; x < WINDOW_ICON_SIZE; x++) {
      uint8_t i = pixels[(y >> 3) * 16 + (x >> 3)];
      icon[y * WINDOW_ICON_SIZE + x] = i == 0 ? 0 : (palette[i & 63] | 0xFF000000u);
    }
}

static void apply_window_icon() {
  if (!host_window.sdl_window) return;
  SDL_Surface *s =
      SDL_CreateRGBSurfaceFrom(host_window.window_icon_dat, WINDOW_ICON_SIZE, WINDOW_ICON_SIZE, 32,
                               WINDOW_ICON_SIZE * 4, 0xFF0000, 0xFF00, 0xFF, 0xFF000000);
  if (!s) return;
  SDL_SetWindowIcon(host_window.sdl_window, s);
  SDL_FreeSurface(s);
}

void host_set_window_icon(const uint8_t *pixels, int32_t, int32_t, const uint32_t *palette) {
  if (!pixels || !palette) {
    host_window.use_custom_window_icon = 0;
    return;
  }
  build_window_icon(pixels, palette, host_window.window_icon_dat);
  host_window.use_custom_window_icon = 1;
  apply_window_icon();
}

void host_set_window_title(const char *text) {
  if (!text || std::strlen(text) > sizeof host_window.sdl_window_title - 1) return;
  std::snprintf(host_window.sdl_window_title, sizeof host_window.sdl_window_title, "%s", text);
  if (host_window.sdl_window)
    SDL_SetWindowTitle(host_window.sdl_window, host_window.sdl_window_title);
}

void destroy_host_window() {
  if (host_window.sdl_texture) SDL_DestroyTexture(host_window.sdl_texture);
  if (host_window.sdl_renderer) SDL_DestroyRenderer(host_window.sdl_renderer);
  if (host_window.sdl_window) SDL_DestroyWindow(host_window.sdl_window);
  host_window.sdl_texture = nullptr, host_window.sdl_renderer = nullptr,
  host_window.sdl_window = nullptr;
  host_window.sdl_window_w = host_window.sdl_window_h = 0;
}

static void set_scale_quality() {
  SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY,
              config.pixel_perfect || config.blit_720p ? "nearest" : "linear");
}

// The renderer of the new window: the first driver that offers vsync, else
// SDL's software renderer. Null when neither can be made.
static SDL_Renderer *make_window_renderer() {
  if (SDL_Renderer *r = host_make_renderer(host_window.sdl_window, SDL_RENDERER_PRESENTVSYNC))
    return r;
  klog("could not create renderer (%s); trying the software renderer\n", SDL_GetError());
  return host_make_renderer(host_window.sdl_window, SDL_RENDERER_SOFTWARE);
}

void host_apply_video_config() {
  // Without a window, or before the host layer has started video.
  if (config.headless || !SDL_WasInit(SDL_INIT_VIDEO)) return;
  if (config.sdl_render_driver == 1) SDL_SetHint(SDL_HINT_RENDER_DRIVER, "opengl");
  if (host_window.sdl_window && !host_window.last_fullscreen) {
    SDL_GetWindowPosition(host_window.sdl_window, &host_window.last_win_x, &host_window.last_win_y);
    SDL_GetWindowSize(host_window.sdl_window, &host_window.last_win_w, &host_window.last_win_h);
  }
  int display = host_window.sdl_window ? SDL_GetWindowDisplayIndex(host_window.sdl_window) : 0;
  if (config.display >= 0) {
    if (config.display < SDL_GetNumVideoDisplays()) display = config.display;
    config.display = -1;
  }
  SDL_DisplayMode mode = {};
  SDL_GetDesktopDisplayMode(display, &mode);
  destroy_host_window();

  config.pixel_scale = clamp_pixel_scale(config.pixel_scale);
  int32_t w = SCREEN_WIDTH * config.pixel_scale, h = SCREEN_HEIGHT * config.pixel_scale;
  int32_t x = host_window.last_win_x, y = host_window.last_win_y;
  SDL_Rect bounds;
  if (display >= 0 && SDL_GetDisplayBounds(display, &bounds) == 0) {
    if (config.fullscreen) {
      x = bounds.x, y = bounds.y;
    } else {
      x = bounds.x + (bounds.w - w) / 2;
      y = bounds.y + (bounds.h - h) / 2;
    }
  }
  uint32_t flags = SDL_WINDOW_SHOWN;
  if (config.allow_highdpi) flags |= SDL_WINDOW_ALLOW_HIGHDPI;
  if (config.fullscreen) {
    w = mode.w, h = mode.h;
    flags |= config.fullscreen_window ? SDL_WINDOW_BORDERLESS : SDL_WINDOW_FULLSCREEN_DESKTOP;
  } else {
    flags |= SDL_WINDOW_RESIZABLE;
    if (host_window.last_win_w > 0) w = host_window.last_win_w;
    if (host_window.last_win_h > 0) h = host_window.last_win_h;
  }
  host_window.last_fullscreen = config.fullscreen;
  klog("creating SDL window %d %d flags %d\n", w, h, (int)flags);

  host_window.sdl_window = SDL_CreateWindow(host_window.sdl_window_title, x, y, w, h, flags);
  if (!host_window.sdl_window) {
    klog("could not create window (%s); running without a window\n", SDL_GetError());
    return;
  }
  host_window.sdl_renderer = make_window_renderer();
  if (!host_window.sdl_renderer) {
    // Ending here would lose unsaved work: the workstation runs on unseen.
    std::printf("could not create renderer\n");
    std::fflush(stdout);
    klog("could not create renderer (%s); running without a window\n", SDL_GetError());
    destroy_host_window();
    return;
  }
  set_scale_quality();
  SDL_GetWindowSize(host_window.sdl_window, &host_window.sdl_window_w, &host_window.sdl_window_h);
  host_window.renderer_scale_x = host_window.renderer_scale_y = 1.0f;
  int ow = 0, oh = 0;
  SDL_GetRendererOutputSize(host_window.sdl_renderer, &ow, &oh);
  if (ow != host_window.sdl_window_w && host_window.sdl_window_w > 0 &&
      host_window.sdl_window_h > 0) {
    host_window.renderer_scale_x = (float)ow / (float)host_window.sdl_window_w;
    host_window.renderer_scale_y = (float)oh / (float)host_window.sdl_window_h;
  }
  klog("renderer_scale: %f,%f\n", host_window.renderer_scale_x, host_window.renderer_scale_y);
  SDL_RenderSetScale(host_window.sdl_renderer, host_window.renderer_scale_x,
                     host_window.renderer_scale_y);
  SDL_SetRenderDrawColor(host_window.sdl_renderer, 0, 0, 0, 255);
  SDL_RenderClear(host_window.sdl_renderer);
  SDL_RenderPresent(host_window.sdl_renderer);

  host_window.preblit_scale = calculate_preblit_scale();
  int32_t tw = SCREEN_WIDTH * host_window.preblit_scale,
          th = SCREEN_HEIGHT * host_window.preblit_scale;
  if (config.blit_720p) tw = BLIT_720P_W, th = BLIT_720P_H;
  host_window.sdl_texture = SDL_CreateTexture(host_window.sdl_renderer, SDL_PIXELFORMAT_ARGB8888,
                                              SDL_TEXTUREACCESS_STREAMING, tw, th);
  if (!host_window.sdl_texture) klog("could not create texture (%s)\n", SDL_GetError());
  if (host_window.use_custom_window_icon) apply_window_icon();
}

void blit_to_sdl_window_hardware(const uint32_t *pixels, int32_t width) {
  if (!host_window.sdl_renderer || !host_window.sdl_texture || !pixels) return;
  set_scale_quality();
  if (config.blit_720p) {
    resample_720p(pixels, big_src);
    SDL_UpdateTexture(host_window.sdl_texture, nullptr, big_src, BLIT_720P_W * 4);
  } else if (host_window.preblit_scale > 1) {
    int32_t k = host_window.preblit_scale, bw = width * k;
    for (int32_t y = 0; y < SCREEN_HEIGHT; y++) {
      uint32_t *row = big_src + y * k * bw;
      for (int32_t x = 0; x < width; x++) std::fill_n(row + x * k, k, pixels[y * width + x]);
      for (int32_t r = 1; r < k; r++) std::memcpy(row + r * bw, row, size_t(bw) * 4);
    }
    SDL_UpdateTexture(host_window.sdl_texture, nullptr, big_src, bw * 4);
  } else {
    SDL_UpdateTexture(host_window.sdl_texture, nullptr, pixels, width * 4);
  }
  SDL_SetRenderDrawColor(host_window.sdl_renderer, 0, 0, 0, 255);
  SDL_SetRenderDrawBlendMode(host_window.sdl_renderer, SDL_BLENDMODE_NONE);
  SDL_RenderClear(host_window.sdl_renderer);
  SDL_Rect all = {0, 0, host_window.sdl_window_w, host_window.sdl_window_h};
  SDL_RenderFillRect(host_window.sdl_renderer, &all);
  SDL_Rect dest = get_dest_rect();
  if (dest.w == 0 || dest.h == 0) {
    klog("** failed: blit_to_sdl_window_hardware can not find blit dest_rect\n");
    return;
  }
  SDL_RenderCopy(host_window.sdl_renderer, host_window.sdl_texture, nullptr, &dest);
  SDL_RenderPresent(host_window.sdl_renderer);
}

void blit_to_sdl_window(const uint32_t *pixels, int32_t width) {
  blit_to_sdl_window_hardware(pixels, width);
}

void host_window_reset() {
  destroy_host_window();
  static const host_window_record start{};
  host_window = start;
}
