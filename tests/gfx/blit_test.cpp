// Blits, sprites, scaled sprite lines and perspective textured lines.
#include "gfx/blit.h"

#include <functional>

#include "gfx/tline.h"
#include "tests/gfx/gfx_fixture.h"

using blit_test = gfx_fixture;

namespace {

udata *numbered(gfx_fixture &f, uint32_t w, uint32_t h) {
  udata *b = f.bitmap(w, h);
  for (uint32_t i = 0; i < w * h; i++) udata_elements(b)[i] = uint8_t(i + 1);
  return b;
}

std::vector<uint8_t> row(const udata *b, uint32_t y, uint32_t x0, uint32_t n) {
  const uint8_t *p = udata_elements(b) + y * b->width + x0;
  return std::vector<uint8_t>(p, p + n);
}

}  // namespace

TEST_F(blit_test, blit_cases) {
  udata *src = numbered(*this, 8, 4), *dst = bitmap(8, 4), *wide = bitmap(8, 4, UTYPE_I16);
  full_clip(dst);
  EXPECT_EQ(blit(src, wide, 0, 0, 0, 0, 8, 4), 0);  // element types differ
  EXPECT_EQ(blit(src, dst, 0, 0, 0, 0, 0, 4), 0);
  // sx = -3, w = 10: 7 columns from source column 0, at dx + 3.
  EXPECT_EQ(blit(src, dst, -3, 1, 0, 0, 10, 1), 1 * (5 + 64));  // cut to the 8-wide target
  EXPECT_EQ(row(dst, 0, 0, 8), (std::vector<uint8_t>{0, 0, 0, 9, 10, 11, 12, 13}));
  // Onto itself one row down and one column right.
  udata *self = numbered(*this, 8, 4);
  full_clip(self);
  blit(self, self, 0, 0, 0, 1, 8, 3);
  for (uint32_t y = 1; y < 4; y++) EXPECT_EQ(row(self, y, 0, 8), row(src, y - 1, 0, 8)) << y;
  udata *same_row = numbered(*this, 8, 1);
  full_clip(same_row);
  EXPECT_EQ(blit(same_row, same_row, 0, 0, 1, 0, 7, 1), 1 * (4 * 7 + 256));
  EXPECT_EQ(row(same_row, 0, 0, 8), (std::vector<uint8_t>{1, 1, 2, 3, 4, 5, 6, 7}));
  // Huge and negative sizes and offsets draw nothing or the visible part.
  const int32_t big[] = {INT32_MIN, INT32_MIN + 1, -70000,        -1,       0,
                         3,         70000,         INT32_MAX - 1, INT32_MAX};
  udata *small = bitmap(8, 4);
  full_clip(small);
  for (int32_t a : big)
    for (int32_t b : big) {
      blit(src, small, a, b, 1, 1, 5, 5);
      blit(src, small, 0, 0, a, b, 5, 5);
      blit(src, small, 0, 0, 0, 0, a, b);
      blit(src, small, a, 0, b, 0, INT32_MAX, INT32_MAX);
    }
  udata *wide_src = bitmap(6, 2, UTYPE_I32), *wide_dst = bitmap(6, 2, UTYPE_I32);
  reinterpret_cast<int32_t *>(udata_elements(wide_src))[7] = -5;
  full_clip(wide_dst);
  EXPECT_EQ(blit(wide_src, wide_dst, 1, 1, 0, 0, 6, 6), 5 + 64);
  EXPECT_EQ(reinterpret_cast<int32_t *>(udata_elements(wide_dst))[0], -5);
}

TEST_F(blit_test, sprite_cases) {
  udata *spr = bitmap(3, 1), *dst = bitmap(4, 2);
  const uint8_t pix[3] = {1, 2, 3};
  std::memcpy(pixels(spr), pix, 3);
  full_clip(dst);
  EXPECT_EQ(draw_spr(spr, dst, 0, 0, 0, 0, 3, 1, true, false), 3 / 2 + 1);
  EXPECT_EQ(row(dst, 0, 0, 3), (std::vector<uint8_t>{3, 2, 1}));
  // Default tables: 0 keeps the low bits of the pixel (under the write mask
  // 0xFF it clears the top two), c writes 0xC0 | c.
  udata *s2 = bitmap(2, 1), *d2 = bitmap(2, 1);
  pixels(s2)[1] = 5;
  pixels(d2)[0] = 0x99, pixels(d2)[1] = 0x99;
  full_clip(d2);
  poke(int32_t(RAM_WRITE_MASK), 0xFF);
  draw_spr(s2, d2, 0, 0, 0, 0, 2, 1, false, false);
  EXPECT_EQ(row(d2, 0, 0, 2), (std::vector<uint8_t>{0x19, 0xC5}));
  EXPECT_EQ(draw_spr(spr, bitmap(2, 2, UTYPE_I16), 0, 0, 0, 0, 3, 1, false, false), 0);
  EXPECT_EQ(draw_spr(nullptr, dst, 0, 0, 0, 0, 3, 1, false, false), 0);
}

// Sprites with random flips, rectangles, masks, patterns and tables equal
// the texture formula pixel by pixel (including the lookup-only and vector
// paths under the default state).
TEST_F(blit_test, sprites_equal_the_per_pixel_formula) {
  for (int round = 0; round < 300; round++) {
    if (round % 2)
      random_draw_state();
    else
      reset_draw_state(root);
    poke(int32_t(RAM_WRITE_MASK), round % 4 == 0 ? 0xFF : peek(int32_t(RAM_WRITE_MASK)));
    udata *spr = random_bitmap(uint32_t(rand_in(1, 40)), uint32_t(rand_in(1, 12)));
    udata *dst = random_bitmap(48, 16);
    std::vector<uint8_t> before = bytes(dst);
    int32_t sx = rand_in(-5, 20), sy = rand_in(-3, 8), dx = rand_in(-20, 50), dy = rand_in(-5, 18);
    int32_t w = rand_in(-2, 45), h = rand_in(-2, 14);
    bool fx = rng() % 2, fy = rng() % 2;
    full_clip(dst);
    draw_spr(spr, dst, sx, sy, dx, dy, w, h, fx, fy);
    int32_t sw = int32_t(spr->width), sh = int32_t(spr->height);
    for (int32_t y = 0; y < 16; y++)
      for (int32_t x = 0; x < 48; x++) {
        int32_t u = sx + (x - dx), v = sy + (y - dy);
        bool inside =
            x >= dx && x < dx + w && y >= dy && y < dy + h && u >= 0 && v >= 0 && u < sw && v < sh;
        uint8_t old = before[size_t(y * 48 + x)], want = old;
        if (inside) {
          uint8_t s = pixels(spr)[(fy ? sh - 1 - v : v) * sw + (fx ? sw - 1 - u : u)];
          want = ref_texture(x, y, s, old);
        }
        ASSERT_EQ(pixels(dst)[y * 48 + x], want) << "round " << round << " at " << x << "," << y;
      }
  }
}

TEST_F(blit_test, scaled_sprite_line_reads_source_steps) {
  udata *src = numbered(*this, 4, 1), *dst = bitmap(8, 1);
  full_clip(dst);
  EXPECT_EQ(draw_tline_sspr(src, dst, 0, 0, 7, 0, 0, 0, 3.5, 0), 8 / 2);
  EXPECT_EQ(row(dst, 0, 0, 8), (std::vector<uint8_t>{1, 1, 2, 2, 3, 3, 4, 4}));
  // A source range beyond the source reads colour 0 (leaves the pixel).
  udata *d2 = bitmap(8, 1);
  full_clip(d2);
  draw_tline_sspr(src, d2, 0, 0, 7, 0, -4, 0, 1e300, 0);
  EXPECT_EQ(row(d2, 0, 0, 4), (std::vector<uint8_t>{0, 0, 0, 0}));
  EXPECT_EQ(draw_tline_sspr(bitmap(2, 2, UTYPE_I16), d2, 0, 0, 7, 0, 0, 0, 1, 0), 0);
}

TEST_F(blit_test, textured_line_cases) {
  udata *tex = numbered(*this, 16, 1);
  udata *dst = bitmap(10, 1);
  full_clip(dst);
  // u from 0 to 8 over 8 steps reads texels 0..8; without the end point 0..7.
  draw_tline3d(tex, dst, 0, 0, 8, 0, 0, 0, 8, 0, 1, 1, TLINE_EXACT);
  EXPECT_EQ(row(dst, 0, 0, 9), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
  udata *d2 = bitmap(10, 1);
  full_clip(d2);
  draw_tline3d(tex, d2, 0, 0, 8, 0, 0, 0, 8, 0, 1, 1, TLINE_NO_END_POINT);
  EXPECT_EQ(row(d2, 0, 0, 9), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 0}));
  // Right to left: the same pixels, the texture reversed with the ends.
  udata *d3 = bitmap(10, 1);
  full_clip(d3);
  draw_tline3d(tex, d3, 8, 0, 0, 0, 8, 0, 0, 0, 1, 1, 0);
  EXPECT_EQ(row(d3, 0, 0, 9), row(dst, 0, 0, 9));
  // Wrap size 4 and offset 2: u = 5 reads column ((5 & 3) + 2) & 15 = 3.
  poke2(int32_t(RAM_TLINE_WRAP_X), 4);
  poke2(int32_t(RAM_TLINE_OFFSET_X), 2);
  udata *d4 = bitmap(1, 1);
  full_clip(d4);
  draw_tline3d(tex, d4, 0, 0, 0, 0, 5, 0, 5, 0, 1, 1, 0);
  EXPECT_EQ(pixels(d4)[0], 4);
  poke2(int32_t(RAM_TLINE_WRAP_X), 0);
  poke2(int32_t(RAM_TLINE_OFFSET_X), 0);
  // A zero-length line reads (u0 / w0, v0 / w0); w0 = 0 draws nothing.
  udata *d5 = bitmap(1, 1);
  full_clip(d5);
  draw_tline3d(tex, d5, 0, 0, 0, 0, 6, 0, 9, 0, 2, 1, 0);
  EXPECT_EQ(pixels(d5)[0], 4);
  EXPECT_EQ(draw_tline3d(tex, d5, 0, 0, 0, 0, 6, 0, 9, 0, 0, 1, 0), 0);
  EXPECT_EQ(draw_tline3d(tex, d5, 0, 0, 0, 0, 6, 0, 9, 0, NAN, 1, 0), 0);
  EXPECT_EQ(draw_tline3d(bitmap(2, 2, UTYPE_I32), d5, 0, 0, 0, 0, 6, 0, 9, 0, 1, 1, 0), 0);
}

TEST_F(blit_test, textured_line_reads_map_tiles_with_flips) {
  udata *map = bitmap(2, 1, UTYPE_I16);
  udata *tile = bitmap(4, 4);
  for (int i = 0; i < 16; i++) pixels(tile)[i] = uint8_t(10 + i % 4);
  root->sprites[1] = tile;
  poke(int32_t(RAM_MAP_TILE_WIDTH), 4);
  poke(int32_t(RAM_MAP_TILE_HEIGHT), 4);
  auto cells = reinterpret_cast<uint16_t *>(udata_elements(map));
  for (uint16_t cell : {uint16_t(1), uint16_t(0x2001), uint16_t(0x4001)}) {
    cells[0] = cell;
    for (int32_t flags : {0, TLINE_EXACT}) {
      udata *dst = bitmap(4, 1);
      full_clip(dst);
      // One cell spread over 4 pixels: u from 0 to 0.75.
      draw_tline3d(map, dst, 0, 0, 3, 0, 0, 0, 0.75, 0, 1, 1, flags);
      std::vector<uint8_t> want = {10, 11, 12, 13};
      if (cell & GFX_MAP_FLIP_X) want = {13, 12, 11, 10};
      EXPECT_EQ(row(dst, 0, 0, 4), want) << "cell " << cell << " flags " << flags;
    }
  }
  // A cell without a sprite reads colour 0.
  cells[0] = 7;
  udata *dst = bitmap(4, 1);
  full_clip(dst);
  draw_tline3d(map, dst, 0, 0, 3, 0, 0, 0, 0.75, 0, 1, 1, 0);
  EXPECT_EQ(row(dst, 0, 0, 4), (std::vector<uint8_t>{0, 0, 0, 0}));
  root->sprites[1] = nullptr;
}

// Sprites, scaled lines, textured lines and blits on random inputs: a
// clipped drawing equals the whole drawing cut to the clip, including
// extreme and non-finite coordinates.
TEST_F(blit_test, clipped_drawing_equals_whole_drawing_cut_to_clip) {
  udata *tex = random_bitmap(16, 8), *map = bitmap(4, 4, UTYPE_I16);
  for (int i = 0; i < 16; i++)
    reinterpret_cast<uint16_t *>(udata_elements(map))[i] = uint16_t(rng());
  udata *tile = random_bitmap(8, 8);
  for (int n = 0; n < GFX_SPRITES; n += 3) root->sprites[n] = tile;
  const double odd[] = {NAN, INFINITY, -INFINITY, 1e300, -1e300, 3e9, -3e9};
  auto coord = [&](double lo, double hi) {
    if (rng() % 20 == 0) return odd[rng() % 7];
    return std::uniform_real_distribution<double>(lo, hi)(rng);
  };
  using prim = std::function<void(udata *)>;
  for (int round = 0; round < 600; round++) {
    random_draw_state();
    std::vector<double> a;
    for (int i = 0; i < 12; i++) a.push_back(coord(-40, 80));
    int32_t flags = int32_t(rng() & 0x700);
    bool fx = rng() % 2, fy = rng() % 2;
    int32_t i0 = rand_in(-30, 60), i1 = rand_in(-30, 60), i2 = rand_in(-30, 60),
            i3 = rand_in(-30, 60), i4 = rand_in(-5, 40), i5 = rand_in(-5, 40);
    const std::vector<std::pair<const char *, prim>> prims = {
        {"spr", [&](udata *b) { draw_spr(tex, b, i0 / 4, i1 / 4, i2, i3, i4, i5, fx, fy); }},
        {"sspr",
         [&](udata *b) {
           draw_tline_sspr(tex, b, i0, i1, i2, i3, a[4] / 4, a[5] / 8, a[6] / 4, a[7] / 8);
         }},
        {"tline3d u8",
         [&](udata *b) {
           draw_tline3d(tex, b, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7],
                        std::fabs(a[8]) / 20, std::fabs(a[9]) / 20, flags);
         }},
        {"tline3d map",
         [&](udata *b) {
           draw_tline3d(map, b, a[0], a[1], a[2], a[3], a[4] / 8, a[5] / 8, a[6] / 8, a[7] / 8,
                        std::fabs(a[8]) / 20, std::fabs(a[9]) / 20, flags);
         }},
        {"blit", [&](udata *b) { blit(tex, b, i0 / 4, i1 / 4, i2, i3, i4, i5); }},
    };
    const auto &[name, draw] = prims[size_t(round) % prims.size()];
    udata *whole = random_bitmap(48, 40), *cut = bitmap(48, 40);
    std::memcpy(pixels(cut), pixels(whole), 48 * 40);
    std::vector<uint8_t> before = bytes(whole);
    full_clip(whole);
    draw(whole);
    int32_t l = rand_in(-4, 30), t = rand_in(-4, 30), r = rand_in(l, 52), btm = rand_in(t, 44);
    set_clip(l, t, r, btm);
    draw(cut);
    for (int y = 0; y < 40; y++)
      for (int x = 0; x < 48; x++) {
        bool inside = x >= l && x < r && y >= t && y < btm;
        uint8_t want = inside ? pixels(whole)[y * 48 + x] : before[size_t(y * 48 + x)];
        ASSERT_EQ(pixels(cut)[y * 48 + x], want)
            << name << " round " << round << " at " << x << "," << y << " flags " << flags;
      }
  }
  for (auto &s : root->sprites) s = nullptr;
}

// The default textured line with default masks and no pattern takes its own
// loop; with every pattern row set and tables 2 and 3 equal to 0 and 1 the
// general loop must draw the same bytes. Random ends (clipped), texture
// sizes, wrap sizes, offsets, weights and write masks; table 0 as reset (each
// texel then writes a fixed colour or keeps the old one) or changed in a few
// rows (looked up pixel by pixel).
TEST_F(blit_test, default_textured_line_equals_the_general_loop) {
  // Rounds from 400 on draw single rows, half of them without texture
  // offsets: the ways a row is stepped by its pixel pointer.
  const uint8_t writes[] = {0x3F, 0xFF, 0x0F, 0xC3};
  for (int round = 0; round < 560; round++) {
    bool row = round >= 400, no_offsets = row && round % 2;
    reset_draw_state(root);
    if (round % 5 == 3)
      for (int r = 0; r < 8; r++) {
        int32_t at = int32_t(RAM_COLOUR_TABLES) + 64 * rand_in(0, 63);
        for (int d = 0; d < 64; d++) poke(at + d, int32_t(rng()));
      }
    for (int i = 0; i < 2 * GFX_COLTAB_BYTES; i++)
      poke(int32_t(RAM_COLOUR_TABLES + 2 * GFX_COLTAB_BYTES) + i,
           peek(int32_t(RAM_COLOUR_TABLES) + i));
    poke(int32_t(RAM_WRITE_MASK), round % 3 == 0 ? 0x3F : writes[rng() % 4]);
    poke2(int32_t(RAM_TLINE_WRAP_X), round % 2 ? 1 << rand_in(0, 4) : 0);
    poke2(int32_t(RAM_TLINE_WRAP_Y), round % 4 < 2 ? 1 << rand_in(0, 4) : 0);
    poke2(int32_t(RAM_TLINE_OFFSET_X), no_offsets ? 0 : rand_in(-40, 40));
    poke2(int32_t(RAM_TLINE_OFFSET_Y), no_offsets ? 0 : rand_in(-40, 40));
    udata *tex = random_bitmap(1u << rand_in(0, 5), 1u << rand_in(0, 4));
    udata *fast = random_bitmap(40, 30), *general = bitmap(40, 30);
    std::memcpy(pixels(general), pixels(fast), 40 * 30);
    auto r = [&](double lo, double hi) {
      return std::uniform_real_distribution<double>(lo, hi)(rng);
    };
    double x0 = r(-20, 60), y0 = r(-10, 40), x1 = r(-20, 60), y1 = row ? y0 : r(-10, 40);
    double u0 = r(-50, 50), v0 = r(-50, 50), u1 = r(-50, 50), v1 = r(-50, 50);
    double w0 = round % 2 ? 1 : r(0.1, 4), w1 = round % 2 ? 1 : r(0.1, 4);
    int32_t flags =
        (round % 5 == 0 ? TLINE_NO_END_POINT : 0) | (round % 7 == 0 ? TLINE_PIXEL_EDGE : 0);
    set_clip(rand_in(-4, 20), rand_in(-4, 15), rand_in(10, 44), rand_in(10, 34));
    int64_t a = draw_tline3d(tex, fast, x0, y0, x1, y1, u0, v0, u1, v1, w0, w1, flags);
    for (int i = 0; i < 8; i++) poke(int32_t(RAM_FILL_PATTERN) + i, 0xFF);
    draw_tline3d(tex, general, x0, y0, x1, y1, u0, v0, u1, v1, w0, w1, flags);
    ASSERT_EQ(bytes(fast), bytes(general)) << "round " << round;
    EXPECT_GE(a, 0);
  }
}
