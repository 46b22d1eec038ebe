// The boot screen.
#include "gfx/boot_screen.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/os_time.h"
#include "base/ram_layout.h"
#include "machine/app.h"
#include "machine/memory.h"
#include "machine/process.h"
#include "userdata/udata.h"
#include "gfx/font.h"
#include "gfx/pixel.h"
#include "gfx/print.h"

proc *boot_proc = nullptr;
udata *boot_back = nullptr;

namespace {

constexpr uint32_t boot_palette[32] = {
    0x000000, 0x1D2B53, 0x7E2553, 0x008751, 0xAB5236, 0x5F574F, 0xC2C3C7, 0xFFF1E8,
    0xFF004D, 0xFFA300, 0xFFEC27, 0x00E436, 0x29ADFF, 0x83769C, 0xFF77A8, 0xFFCCAA,
    0x134284, 0x135FC6, 0x922D95, 0x125359, 0x742F29, 0x492D38, 0xA28879, 0xFFACC5,
    0xC3004C, 0xEB6B00, 0x90F642, 0x00B251, 0x83EBF5, 0xBD9ADF, 0xE40DAB, 0xFF856D,
};
constexpr int32_t BOOT_TEXT_X = 35, BOOT_TEXT_Y = 200;
constexpr uint32_t BOOT_PIXELS = uint32_t(SCREEN_WIDTH) * SCREEN_HEIGHT;
constexpr uint32_t BOOT_VIDEO_FIRST_PAGE = RAM_VIDEO / RAM_PAGE_SIZE;
constexpr uint8_t BOOT_ERROR_COLOUR = 1, BOOT_ERROR_TEXT = 14, BOOT_VERSION_COLOUR = 7,
                  BOOT_SECOND_COLOUR = 6, BOOT_STATUS_COLOUR = 14;

// The record and the bitmap: static blocks, never freed.
proc boot_record;
alignas(8) uint8_t boot_back_block[sizeof(udata) + BOOT_PIXELS];

// Clip words 0..480 x 0..270, and the cached clip made from them.
void whole_screen_clip() {
  poke2(int32_t(RAM_CLIP_RECT), 0);
  poke2(int32_t(RAM_CLIP_RECT) + 2, 0);
  poke2(int32_t(RAM_CLIP_RECT) + 4, SCREEN_WIDTH);
  poke2(int32_t(RAM_CLIP_RECT) + 6, SCREEN_HEIGHT);
  boot_record.target_clip = {0, SCREEN_WIDTH, 0, SCREEN_HEIGHT};
  boot_record.target_clip_word =
      uint64_t(uint16_t(SCREEN_WIDTH)) << 32 | uint64_t(uint16_t(SCREEN_HEIGHT)) << 48;
}

// Prints a line in colour at the boot record's cursor.
void boot_print(const char *text, uint8_t colour) {
  print_q7scii(boot_back, reinterpret_cast<const uint8_t *>(text), int64_t(std::strlen(text)), 0,
               colour);
}

void set_text_cursor() {
  poke4(RAM_TEXT_CURSOR_X, BOOT_TEXT_X);
  poke4(RAM_TEXT_CURSOR_Y, BOOT_TEXT_Y);
  poke4(RAM_TEXT_HOME_X, BOOT_TEXT_X);
}

double ease(double x) {
  if (x < 0.5) return 2 * x * x;
  if (x > 0.5) return 1 - 2 * (1 - x) * (1 - x);
  return 0.5;
}

// The status line: the last of the cases that applies.
void status_line(char *out, size_t n) {
  std::snprintf(out, n, "booting..\n");
  if (app.boot_finished && !app.userland_booted) std::snprintf(out, n, "booting...\n");
  uint32_t now = os_get_time();
  if (now > 4000) std::snprintf(out, n, "booting....\n");
  if (now > 7000) std::snprintf(out, n, "booting.....\n");
  for (int64_t id = PID_ROOT; id <= PID_WINDOW_MANAGER; id++) {
    proc *p = get_process(id);
    if (p && p->state != 0)
      std::snprintf(out, n, "[* system error %d:%lld **]\n", int(id), (long long)p->clock);
  }
}

}  // namespace

void init_boot() {
  proc *previous = cproc;
  proc_memory_free(&boot_record);
  std::memset(&boot_record, 0, sizeof boot_record);
  boot_back = reinterpret_cast<udata *>(boot_back_block);
  std::memset(boot_back_block, 0, sizeof boot_back_block);
  boot_back->utype = UTYPE_U8, boot_back->dims = 2;
  boot_back->width = SCREEN_WIDTH, boot_back->height = SCREEN_HEIGHT;
  boot_proc = &boot_record;
  cproc = boot_proc;
  proc_memory_init(boot_proc);
  boot_record.draw_target = boot_back;
  for (int32_t i = 0; i < GFX_COLOURS; i++) poke(int32_t(RAM_DISPLAY_PALETTE) + i, i);
  for (int32_t row = 0; row < GFX_COLOURS; row++)
    for (int32_t d = 0; d < GFX_COLOURS; d++)
      poke(int32_t(RAM_COLOUR_TABLES) + row * GFX_COLOURS + d, row);
  for (uint32_t a = RAM_READ_MASK; a <= RAM_SHAPE_TARGET_MASK; a++) poke(int32_t(a), 0x3F);
  for (uint32_t a = RAM_LINE_RESET; a < RAM_LINE_RESET + 9; a++) poke(int32_t(a), 0);
  poke(int32_t(RAM_FONT_DEFAULT), int32_t(RAM_BOOT_FONT >> 8));
  poke(int32_t(RAM_FONT_ALTERNATE), 0x56);
  for (uint32_t i = 0; i < GFX_BOOT_FONT_BYTES; i++)
    poke(int32_t(RAM_BOOT_FONT + i), lil_font_dat[i]);
  for (uint32_t i = 0; i < 32; i++) poke4(RAM_RGB_PALETTE + 4 * i, boot_palette[i]);
  // Video memory is boot_back's pixels: 31 whole pages and a 2624-byte tail.
  proc_memory &m = boot_record.mem;
  for (uint32_t i = 0; i * RAM_PAGE_SIZE < BOOT_PIXELS; i++) {
    uint32_t page = BOOT_VIDEO_FIRST_PAGE + i;
    m.page_pointer[page] = udata_elements(boot_back) + i * RAM_PAGE_SIZE;
    m.mapped_length[page] = int32_t(std::min(RAM_PAGE_SIZE, BOOT_PIXELS - i * RAM_PAGE_SIZE));
    m.mapped_page_bits[page / 64] |= uint64_t(1) << (page % 64);
  }
  cproc = previous;
}

void cline(int32_t xa, int32_t ya, int32_t xb, int32_t yb, int32_t phase) {
  int64_t dx = int64_t(xb) - xa, dy = int64_t(yb) - ya;
  int64_t n = std::max(std::abs(dx), std::abs(dy));
  if (n == 0) return;
  int64_t x = int64_t(xa) * 65536, y = int64_t(ya) * 65536;
  int64_t sx = dx * 65536 / n, sy = dy * 65536 / n;
  for (int64_t k = 0; k < n; k++, x += sx, y += sy) {
    int32_t px = int32_t(x >> 16), py = int32_t(y >> 16);
    int32_t sum = px / 32 + py / 32 + phase + int32_t(k % 3);
    int32_t colour = app.userland_flag_35 ? sum % 3 + 28 : sum % 12 + 8;
    putpixel(boot_back, px, py, colour);
  }
}

void draw_path(double h, double g, int32_t ax, int32_t ay, int32_t bx, int32_t by, int32_t cx,
               int32_t cy, int32_t phase) {
  auto at = [](int32_t a, int32_t b, double f) { return int32_t(a + (b - a) * f); };
  if (g < 0.5) {
    double from = 2 * g, to = h > 0.5 ? 1.0 : 2 * h;
    cline(at(ax, bx, from), at(ay, by, from), at(ax, bx, to), at(ay, by, to), phase);
  }
  if (h > 0.5) {
    double from = g < 0.5 ? 0.0 : 2 * g - 1, to = 2 * h - 1;
    cline(at(bx, cx, from), at(by, cy, from), at(bx, cx, to), at(by, cy, to), phase);
  }
}

proc *draw_boot() {
  proc *previous = cproc;
  if (!boot_back) init_boot();
  cproc = boot_proc;
  whole_screen_clip();
  get_masks_shape();
  proc *root = get_process(PID_ROOT);
  int32_t error = root ? peek_proc(root, 0) : 0;
  if (error) {
    set_text_cursor();
    std::memset(udata_elements(boot_back), BOOT_ERROR_COLOUR, BOOT_PIXELS);
    char text[64];
    std::snprintf(text, sizeof text, "** system error %d **\n", int(error));
    boot_print(text, BOOT_ERROR_TEXT);
    cproc = previous;
    return boot_proc;
  }
  double p = 2.0 * boot_get_time() / 1000.0 - 1;
  std::memset(udata_elements(boot_back), 0, BOOT_PIXELS);
  double h = ease(std::clamp(p, 0.0, 1.0)), g = ease(std::clamp(p - 0.5, 0.0, 1.0));
  if (g < 1 && h > 0) {
    struct path {
      int32_t ax, ay, bx, by, cx, cy, phase;
    };
    static const path paths[] = {
        {0, 0, 479, 0, 479, 269, 0}, {0, 0, 0, 269, 479, 269, 5}, {3, 3, 476, 3, 476, 266, 1},
        {3, 3, 3, 266, 476, 266, 6}, {6, 6, 473, 6, 473, 263, 2}, {6, 6, 6, 263, 473, 263, 7},
    };
    for (const path &q : paths) draw_path(h, g, q.ax, q.ay, q.bx, q.by, q.cx, q.cy, q.phase);
  }
  set_text_cursor();
  char text[96];
  if (p > 0.7) {
    std::snprintf(text, sizeof text, "\x06:3f7f5077057f7e00 Kavelund Workstation OS %s",
                  kvd_version_text);
    boot_print(text, BOOT_VERSION_COLOUR);
  }
  if (p > 1.0) boot_print("a virtual workstation", BOOT_SECOND_COLOUR);
  if (p > 1.2) {
    status_line(text, sizeof text);
    boot_print(text, BOOT_STATUS_COLOUR);
  }
  cproc = previous;
  return boot_proc;
}

uint32_t boot_get_time() {
  if (app.boot_start_frame == 0) app.boot_start_frame = app.frame_count;
  return (uint32_t)((double)(app.frame_count - app.boot_start_frame) * 16.6);
}
