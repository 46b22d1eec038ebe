// The pixel pipeline: default tables, pen and pattern, masks, palettes and
// the palette conversions of bitmaps.
#include "gfx/pixel.h"

#include <cmath>

#include "tests/gfx/gfx_fixture.h"

using pixel_test = gfx_fixture;

TEST_F(pixel_test, default_tables_keep_colour_zero_and_write_high_bits_for_others) {
  udata *b = random_bitmap(64, 4);
  full_clip(b);
  std::vector<uint8_t> before = bytes(b);
  for (int32_t c = 0; c < 64; c++) putpixel(b, c, 1, c);
  for (int32_t c = 0; c < 64; c++) {
    uint8_t old = before[64 + c];
    // The write mask 0x3F keeps the old pixel's top bits.
    uint8_t want = c == 0 ? old : uint8_t((old & 0xC0) | c);
    EXPECT_EQ(pixels(b)[64 + c], want) << "colour " << c;
  }
  // With the write mask 0xFF a colour c stores 0xC0 | c.
  poke(int32_t(RAM_WRITE_MASK), 0xFF);
  putpixel(b, 5, 2, 9);
  EXPECT_EQ(getpixel(b, 5, 2), 0xC9);
}

TEST_F(pixel_test, colour_argument_loads_pattern_and_picks_pen_byte_by_pattern_bit) {
  udata *b = bitmap(8, 8);
  full_clip(b);
  set_colp(GFX_COLOUR_LOAD_PATTERN | (int64_t(0xABCD) << 16) | 0x0807);
  EXPECT_EQ(get_pen(), 0x0807);
  const uint8_t rows[4] = {0x55, 0xDD, 0x33, 0xBB};  // nibbles of 0xABCD, bit 0 leftmost
  for (int r = 0; r < 8; r++) EXPECT_EQ(peek(int32_t(RAM_FILL_PATTERN) + r), rows[r & 3]) << r;
  for (int y = 0; y < 8; y++)
    for (int x = 0; x < 8; x++) putpixel(b, x, y, get_pen());
  for (int y = 0; y < 8; y++)
    for (int x = 0; x < 8; x++) {
      bool bit = (0xABCD >> (15 - 4 * (y & 3) - (x & 3))) & 1;
      EXPECT_EQ(getpixel(b, x, y) & 63, bit ? 8 : 7) << x << "," << y;
    }
  // Without bit 32 the pattern stays; bit 35 sets the inverted flag.
  set_colp(GFX_COLOUR_INVERTED | 3);
  EXPECT_EQ(peek(int32_t(RAM_FILL_PATTERN)), 0x55);
  EXPECT_EQ(root->inverted_shape, 1);
}

TEST_F(pixel_test, write_mask_and_texture_table_choice) {
  udata *b = bitmap(4, 1);
  full_clip(b);
  pixels(b)[0] = 0xA5;
  poke(int32_t(RAM_WRITE_MASK), 0x0F);
  putpixel(b, 0, 0, 0x3C);
  EXPECT_EQ(getpixel(b, 0, 0), 0xAC);  // upper nibble of the old pixel kept
  // A texture pixel on a pattern bit uses table 2 (+2): here row 1 of table 2.
  poke(int32_t(RAM_WRITE_MASK), 0xFF);
  poke(int32_t(RAM_FILL_PATTERN), 0x02);
  draw_ctx c = draw_ctx_sprite();
  auto texel = [&](int32_t x) {
    return texture_pixel_value(c, 1, pattern_bit(c, x, 0), getpixel(b, x, 0));
  };
  EXPECT_EQ(texel(1), 0x80);  // table 2, column 0
  EXPECT_EQ(texel(2), 0xC1);  // table 0, row 1
}

TEST_F(pixel_test, putpixel_clips_and_getpixel_reads_zero_outside) {
  udata *b = bitmap(10, 10);
  // A cached clip larger than the bitmap reaches no further than the bitmap.
  set_clip(-5, -5, 1000, 1000);
  putpixel(b, 10, 0, 7);
  putpixel(b, 0, 10, 7);
  putpixel(b, -1, 0, 7);
  EXPECT_EQ(bytes(b), std::vector<uint8_t>(100, 0));
  set_clip(2, 2, 4, 4);
  putpixel(b, 1, 2, 7);
  putpixel(b, 4, 3, 7);
  putpixel(b, 3, 3, 7);
  EXPECT_EQ(getpixel(b, 3, 3), 7);
  EXPECT_EQ(std::count(pixels(b), pixels(b) + 100, 0), 99);
  EXPECT_EQ(getpixel(b, -1, 0), 0);
  EXPECT_EQ(getpixel(b, 10, 0), 0);
  EXPECT_EQ(getpixel(nullptr, 0, 0), 0);
}

TEST_F(pixel_test, set_palette_entry_by_kind) {
  set_palette_entry(70, 5, 0);  // row 6 of table 1
  set_palette_entry(6, 9, 64);  // p = 64 reaches table 1 as well
  for (int d = 0; d < 64; d++)
    EXPECT_EQ(peek(int32_t(RAM_COLOUR_TABLES) + 4096 + 6 * 64 + d), 0xC9) << d;
  set_palette_entry(3, 0x47, 1);
  EXPECT_EQ(peek(int32_t(RAM_DISPLAY_PALETTE) + 3), 0x07);
  set_palette_entry(259, 0x123456, 2);
  EXPECT_EQ(peek4(int32_t(RAM_RGB_PALETTE) + 12), 0x123456);
  int32_t before = peek(int32_t(RAM_DISPLAY_PALETTE) + 4);
  set_palette_entry(4, 1, 3);
  EXPECT_EQ(peek(int32_t(RAM_DISPLAY_PALETTE) + 4), before);
  EXPECT_TRUE(root->mem.page_flags[GFX_COLTAB_PAGE + 1] & PAGE_COLTAB_CHANGED);
}

TEST_F(pixel_test, default_tables_as_specified) {
  init_default_coltabs();
  EXPECT_EQ(default_coltabs[0 * 4096 + 0 * 64 + 17], 17);    // row 0 identity
  EXPECT_EQ(default_coltabs[0 * 4096 + 5 * 64 + 17], 0xC5);  // row c: 0xC0 | c
  EXPECT_EQ(default_coltabs[1 * 4096 + 5 * 64 + 17], 0x51);  // table 1: 0x40 | d
  EXPECT_EQ(default_coltabs[3 * 4096 + 63 * 64 + 2], 0xC2);  // table 3: 0xC0 | d
  EXPECT_EQ(default_system_pal[64 + 8], 0xFF004Du);
  EXPECT_EQ(default_system_pal[255], 0u);
  EXPECT_EQ(default_indexed_pal[42], 42);
}

TEST_F(pixel_test, temporary_clipping_saves_and_restores) {
  udata *b = bitmap(30, 20);
  set_clip(3, 4, 5, 6);
  set_temporary_clipping(b);
  EXPECT_EQ(root->target_clip.right, 30);
  EXPECT_EQ(root->target_clip.bottom, 20);
  restore_after_temporary_clipping();
  EXPECT_EQ(root->target_clip.left, 3);
  EXPECT_EQ(root->target_clip.bottom, 6);
}

TEST_F(pixel_test, palette_conversions) {
  const uint8_t idx[4] = {0, 8, 64 + 12, 64 + 31};
  uint8_t rgba[16];
  convert_bitmap_8_to_32(idx, rgba, 4);
  const uint8_t want[16] = {0,    0,    0,    255, 0xFF, 0x00, 0x4D, 255,
                            0x29, 0xAD, 0xFF, 255, 0xFF, 0x90, 0x67, 255};
  EXPECT_EQ(std::vector<uint8_t>(rgba, rgba + 16), std::vector<uint8_t>(want, want + 16));
  uint8_t back[4];
  convert_bitmap_32_to_8(rgba, back, 4);
  EXPECT_EQ(back[1], 8);
  EXPECT_EQ(back[2], 12);
  EXPECT_EQ(back[3], 31);
  // Exactly between two entries (colours 1 and 2 differ only in red here):
  // the lower index wins.
  set_palette_entry(1, 0x100000, 2);
  set_palette_entry(2, 0x300000, 2);
  const uint8_t mid[4] = {0x20, 0, 0, 0};
  uint8_t out;
  convert_bitmap_32_to_8(mid, &out, 1);
  EXPECT_EQ(out, 1);
}

// Texture coordinates of any size or NaN turn into integers held in range,
// truncated toward zero.
TEST_F(pixel_test, float_coordinates_saturate) {
  const struct {
    double v;
    int32_t whole;
    int64_t fixed;
  } cases[] = {
      {2.75, 2, 180224},
      {-2.75, -2, -180224},
      {NAN, 0, 0},
      {INFINITY, INT32_MAX, int64_t(1) << 40},
      {-INFINITY, INT32_MIN, -(int64_t(1) << 40)},
      {3e9, INT32_MAX, int64_t(1) << 40},
      {1e7, 10000000, int64_t(10000000) * 65536},
      {-1e300, INT32_MIN, -(int64_t(1) << 40)},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(int32_saturate(c.v), c.whole) << c.v;
    EXPECT_EQ(fixed16_saturate(c.v), c.fixed) << c.v;
  }
}

// With no current process the palette reads as black, so every pixel is 0;
// repeated colours keep their answer.
TEST_F(pixel_test, colour_conversion_without_a_process_and_with_repeats) {
  const uint8_t px[12] = {0xFF, 0x00, 0x4D, 0, 0xFF, 0x00, 0x4D, 0, 0x00, 0x00, 0x00, 0};
  uint8_t out[3] = {9, 9, 9};
  convert_bitmap_32_to_8(px, out, 3);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 3), (std::vector<uint8_t>{8, 8, 0}));
  proc *saved = cproc;
  cproc = nullptr;
  std::fill(out, out + 3, 9);
  convert_bitmap_32_to_8(px, out, 3);
  cproc = saved;
  EXPECT_EQ(std::vector<uint8_t>(out, out + 3), (std::vector<uint8_t>{0, 0, 0}));
}
