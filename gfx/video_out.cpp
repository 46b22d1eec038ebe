// The output frame and copies of other processes' video memory.
#include <algorithm>
#include <cstring>

#include "base/klog.h"
#include "machine/app.h"
#include "machine/memory.h"
#include "machine/process.h"
#include "userdata/udata.h"
#include "gfx/boot_screen.h"
#include "gfx/hooks.h"
#include "gfx/pixel.h"
#include "gfx/shapes.h"
#include "gfx/video.h"

uint32_t back_page[SCREEN_WIDTH * SCREEN_HEIGHT];
uint32_t display_pal[256 + SCREEN_HEIGHT];

namespace {

// A run of source bytes from address a, at most `left` long, ending at a page
// boundary: its bytes when readable, else null with the run's length.
const uint8_t *source_run(proc *src, int64_t a, int64_t left, int64_t &length) {
  if (!src || a < 0 || a >= int64_t(RAM_SIZE)) {
    length = a < 0 ? std::min(left, -a) : left;
    return nullptr;
  }
  uint32_t page = uint32_t(a >> 12), offset = uint32_t(a & (RAM_PAGE_SIZE - 1));
  int32_t valid = src->mem.mapped_length[page];
  if (int32_t(offset) < valid && src->mem.page_pointer[page]) {
    length = std::min<int64_t>(valid - int32_t(offset), left);
    return src->mem.page_pointer[page] + offset;
  }
  length = std::min<int64_t>(RAM_PAGE_SIZE - offset, left);
  return nullptr;
}

// out[i] = colours[p[i] & 63], eight pixels a step after a lead-in.
void lookup_run(uint32_t *out, const uint8_t *p, int64_t n, const uint32_t *colours) {
  int64_t i = 0;
  for (; i < n % 8; i++) out[i] = colours[p[i] & 63];
  for (; i < n; i += 8) {
    uint64_t b;
    std::memcpy(&b, p + i, 8);
    for (int k = 0; k < 8; k++) out[i + k] = colours[(b >> (8 * k)) & 63];
  }
}

// The record whose picture is shown this frame (null: none).
proc *frame_source() {
  proc *wm = get_process(PID_WINDOW_MANAGER), *source;
  if (!wm || boot_get_time() < boot_hold_ms) {
    source = draw_boot();
  } else {
    source = wm;
    if (!app.boot_finished) {
      klog("@@ finished_boot_sequence\n");
      app.boot_finished = 1;
    }
  }
  if (!app.userland_booted) source = draw_boot();
  return source;
}

void make_display_palette(proc *src) {
  static const uint8_t no_source[RAM_PAGE_SIZE] = {};
  const uint8_t *state = src ? state_page(src, GFX_STATE_PAGE) : no_source;
  auto at = [&](uint32_t addr) { return state + (addr - GFX_STATE_PAGE * RAM_PAGE_SIZE); };
  const uint8_t *display = at(RAM_DISPLAY_PALETTE), *banks = at(RAM_LINE_BANKS);
  for (int i = 0; i < 256; i++) {
    uint32_t word;
    std::memcpy(&word, at(RAM_RGB_PALETTE) + 4 * ((i & 0xC0) | (display[i & 63] & 63)), 4);
    display_pal[i] = app.reboot_request ? (word >> 1) & 0x7F7F7F7F : word;
  }
  for (int y = 0; y < SCREEN_HEIGHT; y++)
    display_pal[256 + y] = (banks[y >> 2] >> ((y * 2) & 6)) & 3;
}

void compose_pixels(proc *src) {
  for (int64_t y = 0; y < SCREEN_HEIGHT; y++) {
    const uint32_t *colours = display_pal + 64 * display_pal[256 + y];
    uint32_t *out = back_page + y * SCREEN_WIDTH;
    int64_t a = RAM_VIDEO + y * SCREEN_WIDTH, x = 0, length;
    while (x < SCREEN_WIDTH) {
      const uint8_t *p = source_run(src, a + x, SCREEN_WIDTH - x, length);
      if (p)
        lookup_run(out + x, p, length, colours);
      else
        std::fill(out + x, out + x + length, 0u);
      x += length;
    }
  }
}

// Shows the top-left 480 / k by 270 / k of the frame k times enlarged.
void enlarge(int32_t k) {
  for (int32_t y = SCREEN_HEIGHT - 1; y >= 0; y--) {
    for (int32_t x = SCREEN_WIDTH - 1; x >= 0; x--)
      back_page[y * SCREEN_WIDTH + x] = back_page[(y / k) * SCREEN_WIDTH + x / k];
    display_pal[256 + y] = display_pal[256 + y / k];
  }
}

}  // namespace

const uint32_t *generate_video_out(int32_t *width, int32_t *height) {
  proc *src = frame_source();
  if (src && (peek_proc(src, int32_t(RAM_PROCESS_FLAGS)) & PFLAG_HOLD_FRAME)) return nullptr;
  make_display_palette(src);
  compose_pixels(src);
  if (gfx_hook.capture_gif_frame) gfx_hook.capture_gif_frame(display_pal);
  if (gfx_hook.capture_screenshot_frame) gfx_hook.capture_screenshot_frame(back_page);
  int32_t mode = src ? peek_proc(src, int32_t(RAM_VIDEO_MODE)) : 0;
  if (mode == VIDEO_MODE_DOUBLED) enlarge(2);
  if (mode == VIDEO_MODE_TRIPLED) enlarge(3);
  if (width) *width = SCREEN_WIDTH;
  if (height) *height = SCREEN_HEIGHT;
  return back_page;
}

int64_t blit_from_ram(proc *src, int32_t src_addr, udata *dst, int32_t sx, int32_t sy, int32_t dx,
                      int32_t dy, int32_t w, int32_t h, uint8_t mask) {
  if (!src || !dst || (dst->utype & 31) != UTYPE_U8) return 0;
  int64_t stride = uint16_t(peek2_proc(src, int32_t(RAM_DISPLAY_WIDTH)));
  int64_t x0 = sx, y0 = sy, left_edge = dx, top_edge = dy, cols = w, rows = h;
  clip_box c = drawing_clip(dst);
  if (left_edge < c.left) x0 += c.left - left_edge, cols -= c.left - left_edge, left_edge = c.left;
  if (top_edge < c.top) y0 += c.top - top_edge, rows -= c.top - top_edge, top_edge = c.top;
  cols = std::min<int64_t>(cols, c.right - left_edge);
  rows = std::min<int64_t>(rows, c.bottom - top_edge);
  if (cols < 1 || rows < 1) return 0;
  for (int64_t r = 0; r < rows; r++) {
    uint8_t *out = bitmap_row(dst, top_edge + r) + left_edge;
    int64_t a = int64_t(src_addr) + (y0 + r) * stride + x0, x = 0, length;
    while (x < cols) {
      const uint8_t *p = source_run(src, a + x, cols - x, length);
      if (!p)
        std::memset(out + x, VIDEO_UNREADABLE_COLOUR, size_t(length));
      else if (mask)
        alpha_bits_memcpy(out + x, p, length, mask);
      else
        std::memcpy(out + x, p, size_t(length));
      x += length;
    }
  }
  return rows * cols / 4;
}
