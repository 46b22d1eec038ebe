// Nearest-colour conversion against the process palette.
#include "gfx/colour_convert.h"

#include "kernel/memory.h"
#include "kernel/ram_layout.h"

void convert_bitmap_32_to_8(const uint8_t *src, uint8_t *dst, int64_t n) {
  constexpr int entries = 64;
  int32_t pal[entries][3];
  for (int i = 0; i < entries; i++) {
    uint32_t v = uint32_t(peek4(int32_t(RAM_RGB_PALETTE + 4 * i)));
    pal[i][0] = int32_t(v >> 16 & 255);
    pal[i][1] = int32_t(v >> 8 & 255);
    pal[i][2] = int32_t(v & 255);
  }
  // Pictures repeat colours: the last answer is kept.
  uint32_t last_rgb = 0xffffffff;
  uint8_t last_index = 0;
  for (int64_t k = 0; k < n; k++, src += 4) {
    uint32_t rgb = uint32_t(src[0]) << 16 | uint32_t(src[1]) << 8 | src[2];
    if (rgb != last_rgb) {
      int64_t best = INT64_MAX;
      for (int i = 0; i < entries; i++) {
        int64_t dr = src[0] - pal[i][0], dg = src[1] - pal[i][1], db = src[2] - pal[i][2];
        int64_t d = 2 * dr * dr + 7 * dg * dg + db * db;
        if (d < best) best = d, last_index = uint8_t(i);
      }
      last_rgb = rgb;
    }
    dst[k] = last_index;
  }
}
