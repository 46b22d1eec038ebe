// The shape rasteriser: exact cases, and properties on random inputs (a
// clipped drawing equals the whole drawing cut to the clip; the fast ways of
// a span equal the per-pixel formula).
#include "gfx/shapes.h"

#include <chrono>
#include <functional>

#include "tests/gfx/gfx_fixture.h"

using shapes_test = gfx_fixture;

namespace {

// The set pixels of a bitmap drawn over zero, as "x,y" texts.
std::vector<std::pair<int, int>> drawn(const udata *b) {
  std::vector<std::pair<int, int>> out;
  for (uint32_t y = 0; y < b->height; y++)
    for (uint32_t x = 0; x < b->width; x++)
      if (udata_elements(b)[y * b->width + x]) out.emplace_back(int(x), int(y));
  return out;
}

using pts = std::vector<std::pair<int, int>>;

}  // namespace

TEST_F(shapes_test, line_cases) {
  udata *b = bitmap(16, 16);
  full_clip(b);
  EXPECT_EQ(draw_line(b, 0, 0, 3, 1, 7), 4);
  EXPECT_EQ(drawn(b), (pts{{0, 0}, {1, 0}, {2, 1}, {3, 1}}));
  udata *c = bitmap(16, 16);
  full_clip(c);
  EXPECT_EQ(draw_line(c, 3, 1, 0, 0, 7), 4);
  EXPECT_EQ(drawn(c), drawn(b));
  udata *d = bitmap(16, 16);
  full_clip(d);
  EXPECT_EQ(draw_line(d, 5, 5, 5, 5, 7), 1);
  EXPECT_EQ(drawn(d), (pts{{5, 5}}));
  // From far outside to a point inside: only the inside pixels, counted.
  udata *e = bitmap(16, 16);
  full_clip(e);
  EXPECT_EQ(draw_line(e, -1000000, 3, 4, 3, 7), 5);
  EXPECT_EQ(drawn(e), (pts{{0, 3}, {1, 3}, {2, 3}, {3, 3}, {4, 3}}));
}

TEST_F(shapes_test, line_whose_minor_step_rounds_to_zero_is_straight_and_clips) {
  udata *b = bitmap(16, 16);
  set_clip(5, 0, 16, 16);
  // dx = 1 over 100000 steps: the x step is 0, so every pixel is at x = 4,
  // left of the clip.
  EXPECT_EQ(draw_line(b, 4, -50000, 5, 50000, 7), 0);
  EXPECT_TRUE(drawn(b).empty());
  set_clip(0, 0, 16, 16);
  EXPECT_EQ(draw_line(b, 4, -50000, 5, 50000, 7), 16);
  for (auto [x, y] : drawn(b)) EXPECT_EQ(x, 4);
}

// Steps of exactly half a pixel put the clip's entry on a step boundary: the
// first visible step is the ceiling of the distance, so the clipped line
// keeps the pixel that lies on the clip edge.
TEST_F(shapes_test, line_clip_entry_on_exact_step_boundaries) {
  const int32_t ends[][4] = {{0, 0, 20, 10}, {20, 0, 0, 10}, {0, 0, 10, 20},
                             {0, 20, 10, 0}, {3, 1, 23, 11}, {0, 0, 20, 5}};
  for (auto &e : ends)
    for (int32_t edge = 0; edge < 12; edge++) {
      udata *whole = bitmap(24, 24), *cut = bitmap(24, 24);
      full_clip(whole);
      draw_line(whole, e[0], e[1], e[2], e[3], 7);
      for (int side = 0; side < 2; side++) {
        std::memset(pixels(cut), 0, 24 * 24);
        int32_t l = side ? edge : 0, t = side ? 0 : edge;
        set_clip(l, t, 24, 24);
        int64_t n = draw_line(cut, e[0], e[1], e[2], e[3], 7);
        int64_t want_n = 0;
        for (int y = 0; y < 24; y++)
          for (int x = 0; x < 24; x++) {
            bool inside = x >= l && y >= t;
            uint8_t want = inside ? pixels(whole)[y * 24 + x] : 0;
            want_n += want != 0;
            ASSERT_EQ(pixels(cut)[y * 24 + x], want)
                << e[0] << "," << e[1] << "-" << e[2] << "," << e[3] << " clip " << l << "," << t;
          }
        EXPECT_EQ(n, want_n);
      }
    }
}

TEST_F(shapes_test, hline_and_rect_edges) {
  udata *b = bitmap(16, 8);
  full_clip(b);
  EXPECT_EQ(draw_hline(b, 5, 2, 1, 7), 0);
  EXPECT_EQ(draw_hline(b, 0, 5, -1, 7), 0);
  EXPECT_EQ(draw_hline(b, 0, 5, 8, 7), 0);
  EXPECT_TRUE(drawn(b).empty());
  EXPECT_EQ(draw_hline(b, -3, 3, 0, 7), 3 / 2 + 2);
  EXPECT_EQ(drawn(b).size(), 4u);
  // The inverse leaves out min..max of the row.
  udata *c = bitmap(16, 8);
  full_clip(c);
  draw_hline_inv(c, 9, 4, 2, 7);
  EXPECT_EQ(drawn(c).size(), 10u);
  EXPECT_EQ(getpixel(c, 4, 2), 0);
  EXPECT_EQ(getpixel(c, 3, 2), 0xC7 & 0x3F);
  // rectfill_raw writes the byte itself.
  udata *d = bitmap(8, 8);
  full_clip(d);
  poke(int32_t(RAM_WRITE_MASK), 0);
  EXPECT_EQ(rectfill_raw(d, 6, 6, 1, 2, 0xC3), 6 * 5);
  EXPECT_EQ(getpixel(d, 1, 2), 0xC3);
  EXPECT_EQ(getpixel(d, 0, 2), 0);
  EXPECT_EQ(rectfill(nullptr, 0, 0, 3, 3, 7), 0);
}

TEST_F(shapes_test, ovals_cover_their_box) {
  udata *b = bitmap(16, 16);
  full_clip(b);
  draw_oval(b, 9, 9, 0, 0, 7);
  int minx = 99, maxx = -1, miny = 99, maxy = -1;
  for (auto [x, y] : drawn(b))
    minx = std::min(minx, x), maxx = std::max(maxx, x), miny = std::min(miny, y),
    maxy = std::max(maxy, y);
  EXPECT_EQ(minx, 0);
  EXPECT_EQ(maxx, 9);
  EXPECT_EQ(miny, 0);
  EXPECT_EQ(maxy, 9);
  EXPECT_EQ(getpixel(b, 4, 4), 0);  // an outline
  udata *c = bitmap(16, 16);
  full_clip(c);
  draw_oval(c, 0, 0, 1, 5, 7);  // too thin: a filled 2x6 rectangle
  EXPECT_EQ(drawn(c).size(), 12u);
  EXPECT_EQ(getpixel(c, 1, 5), 7);
  // Inverted, a box whose 0.7 box covers the clip draws nothing.
  udata *d = bitmap(16, 16);
  full_clip(d);
  root->inverted_shape = 1;
  EXPECT_EQ(draw_filloval(d, -100, -100, 100, 100, 7), 0);
  EXPECT_TRUE(drawn(d).empty());
  draw_filloval(d, 2, 2, 13, 13, 7);
  EXPECT_EQ(getpixel(d, 0, 0), 7);
  EXPECT_EQ(getpixel(d, 7, 7), 0);
}

// Radii of millions of pixels: the outline is still walked exactly (its
// terms pass 64 bits); the top of the circle crosses a small bitmap flat.
TEST_F(shapes_test, huge_ellipse_outline_is_walked_without_overflow) {
  udata *b = bitmap(16, 8);
  full_clip(b);
  EXPECT_GT(draw_oval(b, -2100000, 0, 2100000, 4200000, 7), 0);
  for (int x = 0; x < 16; x++) {
    EXPECT_EQ(getpixel(b, x, 0), 7) << x;
    EXPECT_EQ(getpixel(b, x, 4), 0) << x;
  }
}

// The ellipse walk of the rasteriser written out step by step: visit(x, y,
// steps_y) at every position. Radii here stay below 2^20, so 64 bits hold
// every term.
template <typename Visit>
void reference_walk(int64_t a, int64_t b, Visit visit) {
  int64_t a2 = a * a, b2 = b * b;
  int64_t crit1 = -(a2 / 4 + a % 2 + b2), crit2 = -(b2 / 4 + b % 2 + a2), crit3 = -(b2 / 4 + b % 2);
  int64_t t = -a2 * b, dxt = 0, dyt = -2 * a2 * b, x = 0, y = b;
  while (y >= 0 && x <= a) {
    bool step_x = t + b2 * x <= crit1 || t + a2 * y <= crit3;
    bool step_y = !step_x && t - a2 * y > crit2;
    visit(x, y, !step_x);
    if (!step_y) x++, dxt += 2 * b2, t += dxt;
    if (!step_x) y--, dyt += 2 * a2, t += dyt;
  }
}

// Ellipses too large to walk whole are walked by the rows that can be seen:
// the pixels equal the whole walk's (outline points and fill spans, plain
// and inverted, with random masks), the charge is at least the whole walk's,
// and the work stays small (a radius of 2^30 returns at once).
TEST_F(shapes_test, large_ellipses_walked_by_rows_equal_the_whole_walk) {
  for (int round = 0; round < 80; round++) {
    random_draw_state();
    bool fill = round % 2, inverted = fill && round % 4 == 1;
    int64_t a = rand_in(0, 3) == 0 ? rand_in(0, 40) : rand_in(30000, 200000);
    int64_t b = rand_in(0, 3) == 0 ? rand_in(0, 40) : rand_in(30000, 200000);
    if (a + b <= 70000) b += 70000;  // past the whole-walk limit
    int32_t ex = rand_in(-1, 1), ey = rand_in(-1, 1), pen = int32_t(rng() & 0xFFFF);
    // Centres putting a random part of the curve in view.
    int32_t cx = int32_t(rand_in(0, 2) ? rand_in(-8, 56) : (rng() % 2 ? -a : a) + rand_in(-30, 70));
    int32_t cy = int32_t(rand_in(0, 2) ? rand_in(-8, 48) : (rng() % 2 ? -b : b) + rand_in(-30, 60));
    udata *got = random_bitmap(48, 40), *want = bitmap(48, 40);
    std::memcpy(pixels(want), pixels(got), 48 * 40);
    full_clip(got);
    root->inverted_shape = inverted;
    int64_t cost = fill ? fill_ellipse_1(got, cx, cy, int32_t(a), int32_t(b), ex, ey, pen)
                        : draw_ellipse_1(got, cx, cy, int32_t(a), int32_t(b), ex, ey, pen);
    int64_t want_cost = 0, right = cx + ex, low = cy + ey;
    reference_walk(a, b, [&](int64_t x, int64_t y, bool steps_y) {
      auto plot = [&](int64_t px, int64_t py) {
        if (px >= 0 && px < 48 && py >= 0 && py < 40) putpixel(want, int32_t(px), int32_t(py), pen);
      };
      auto span = [&](int64_t x0, int64_t x1, int64_t py) {
        if (py < 0 || py >= 40) return;
        int32_t l = int32_t(std::clamp<int64_t>(x0, -1, 49));
        int32_t r = int32_t(std::clamp<int64_t>(x1, -1, 49));
        inverted ? draw_hline_inv(want, l, r, int32_t(py), pen)
                 : draw_hline(want, l, r, int32_t(py), pen);
      };
      if (fill) {
        want_cost += 8;
        if (!steps_y) return;
        span(cx - x, right + x, cy - y);
        if (y > -ey) span(cx - x, right + x, low + y);
        return;
      }
      plot(right + x, low + y);
      if (x > -ex && y > -ey) plot(cx - x, cy - y);
      if (y > -ey) plot(right + x, cy - y);
      if (x > -ex) plot(cx - x, low + y);
      want_cost += y <= -ey ? 2 + (x > -ex) : x <= -ex ? 3 : 5;
    });
    if (inverted) {  // the bands above and below: empty when they end off the bitmap
      if (cy - b - 1 >= 0)
        rectfill(want, 0, 0, 47, int32_t(std::clamp<int64_t>(cy - b - 1, -1, 40)), pen);
      if (low + b + 1 <= 39)
        rectfill(want, 0, int32_t(std::clamp<int64_t>(low + b + 1, -1, 40)), 47, 39, pen);
    }
    root->inverted_shape = 0;
    ASSERT_EQ(bytes(got), bytes(want)) << "round " << round << " a " << a << " b " << b << " at "
                                       << cx << "," << cy << " e " << ex << "," << ey;
    if (!fill) {
      EXPECT_GE(cost, want_cost) << "round " << round;
    }
  }
  reset_draw_state(root);
  udata *small = bitmap(48, 40);
  full_clip(small);
  auto t0 = std::chrono::steady_clock::now();
  for (int32_t r : {1 << 30, (1 << 30) + 12345}) {
    draw_ellipse_1(small, 24, 20 + r, r, r, 1, 1, 7);
    fill_ellipse_1(small, 24 + r, 20, r, r, 0, 0, 7);
  }
  double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_LT(ms, 1000);
  EXPECT_EQ(getpixel(small, 24, 20), 7);
}

// Outlines and fills walked whole, circles among them (outlines drawn by
// their octant when the pen writes the same bits over any pixel, fills by
// whole spans), equal the reference walk point by point and span by span,
// with the same charge: in view and cut by the bitmap's edge, under the
// default draw state and under random ones.
TEST_F(shapes_test, whole_walk_outlines_and_fills_equal_the_reference_walk) {
  struct oval {
    int32_t a, b, ex, ey;
  };
  const oval cases[] = {{0, 0, 0, 0},     {1, 1, 1, 1},      {2, 2, 0, 1},   {3, 3, 1, 0},
                        {7, 7, -1, 0},    {31, 31, 1, 1},    {32, 32, 0, 0}, {100, 100, 1, 1},
                        {135, 135, 0, 0}, {201, 201, 0, -1}, {31, 30, 1, 1}, {5, 40, 0, 0},
                        {40, 5, 1, 0}};
  for (const oval &o : cases)
    for (int round = 0; round < 16; round++) {
      // By round % 8: 0 and 1 centred, 2 near a corner (the bitmap cuts the
      // curve), the same under a random draw state in 3 to 5; 6 and 7 end the
      // clip on the shape's last row or last column. The second eight fill.
      int kind = round % 8;
      bool fill = round >= 8;
      reset_draw_state(root);
      if (kind >= 3 && kind <= 5) random_draw_state();
      int32_t side = 2 * std::max(o.a, o.b) + 6;
      int32_t pen = kind == 0 || kind == 3 || kind >= 6 ? 7 : int32_t(rng() & 0xFFFF);
      bool corner = kind == 2 || kind == 5;
      int32_t cx = corner ? o.a / 3 : side / 2 - 2, cy = corner ? o.b / 2 : side / 2 - 2;
      udata *got = random_bitmap(uint32_t(side), uint32_t(side)),
            *want = bitmap(uint32_t(side), uint32_t(side));
      std::memcpy(pixels(want), pixels(got), size_t(side) * size_t(side));
      full_clip(got);
      if (kind == 6) set_clip(0, 0, side, std::max(cy, cy + o.ey + o.b));
      if (kind == 7) set_clip(0, 0, std::max(cx, cx + o.ex + o.a), side);
      int64_t cost = fill ? fill_ellipse_1(got, cx, cy, o.a, o.b, o.ex, o.ey, pen)
                          : draw_ellipse_1(got, cx, cy, o.a, o.b, o.ex, o.ey, pen);
      int64_t want_cost = 0, right = cx + o.ex, low = cy + o.ey, nex = -o.ex, ney = -o.ey;
      reference_walk(o.a, o.b, [&](int64_t x, int64_t y, bool steps_y) {
        auto plot = [&](int64_t px, int64_t py) {
          if (px >= 0 && px < side && py >= 0 && py < side)
            putpixel(want, int32_t(px), int32_t(py), pen);
        };
        if (fill) {
          want_cost += 8;
          if (!steps_y) return;
          want_cost += draw_hline(want, int32_t(cx - x), int32_t(right + x), int32_t(cy - y), pen);
          if (y > ney)
            want_cost +=
                draw_hline(want, int32_t(cx - x), int32_t(right + x), int32_t(low + y), pen);
          return;
        }
        plot(right + x, low + y);
        if (x > nex && y > ney) plot(cx - x, cy - y);
        if (y > ney) plot(right + x, cy - y);
        if (x > nex) plot(cx - x, low + y);
        want_cost += y <= ney ? 2 + (x > nex) : x <= nex ? 3 : 5;
      });
      ASSERT_EQ(bytes(got), bytes(want)) << "radii " << o.a << "," << o.b << " round " << round;
      EXPECT_EQ(cost, want_cost) << "radii " << o.a << "," << o.b << " round " << round;
    }
}

// Every primitive on random inputs: drawn with a random clip it equals the
// same drawing under the whole-bitmap clip, cut to that clip, and it never
// writes outside the clip. Random masks, pattern and tables.
TEST_F(shapes_test, clipped_drawing_equals_whole_drawing_cut_to_clip) {
  using prim = std::function<void(udata *, const std::vector<int32_t> &)>;
  const std::vector<std::pair<const char *, prim>> prims = {
      {"hline", [](udata *b, auto &a) { draw_hline(b, a[0], a[1], a[2], a[8]); }},
      {"rectfill", [](udata *b, auto &a) { rectfill(b, a[0], a[1], a[2], a[3], a[8]); }},
      {"line", [](udata *b, auto &a) { draw_line(b, a[0], a[1], a[2], a[3], a[8]); }},
      {"oval", [](udata *b, auto &a) { draw_oval(b, a[0], a[1], a[2], a[3], a[8]); }},
      {"filloval", [](udata *b, auto &a) { draw_filloval(b, a[0], a[1], a[2], a[3], a[8]); }},
      {"rrect", [](udata *b, auto &a) { draw_rrect(b, a[0], a[1], a[2], a[3], a[4], a[5], a[8]); }},
      {"rrectfill",
       [](udata *b, auto &a) { draw_rrectfill(b, a[0], a[1], a[2], a[3], a[4], a[5], a[8]); }},
      {"raw", [](udata *b, auto &a) { rectfill_raw(b, a[0], a[1], a[2], a[3], uint8_t(a[8])); }},
  };
  for (int round = 0; round < 600; round++) {
    random_draw_state();
    const auto &[name, draw] = prims[size_t(round) % prims.size()];
    bool big = rng() % 4 == 0;
    std::vector<int32_t> a;
    for (int i = 0; i < 4; i++) a.push_back(big ? rand_in(-3000, 3000) : rand_in(-30, 70));
    a.push_back(rand_in(0, 12));
    a.push_back(rand_in(0, 12));
    a.push_back(0), a.push_back(0);
    a.push_back(int32_t(rng() & 0xFFFF));
    udata *whole = random_bitmap(48, 40);
    udata *cut = bitmap(48, 40);
    std::memcpy(pixels(cut), pixels(whole), 48 * 40);
    std::vector<uint8_t> before = bytes(whole);
    full_clip(whole);
    draw(whole, a);
    int32_t l = rand_in(-4, 30), t = rand_in(-4, 30), r = rand_in(l, 52), btm = rand_in(t, 44);
    set_clip(l, t, r, btm);
    draw(cut, a);
    for (int y = 0; y < 40; y++)
      for (int x = 0; x < 48; x++) {
        bool inside = x >= l && x < r && y >= t && y < btm;
        uint8_t want = inside ? pixels(whole)[y * 48 + x] : before[size_t(y * 48 + x)];
        ASSERT_EQ(pixels(cut)[y * 48 + x], want)
            << name << " round " << round << " at " << x << "," << y << " args " << a[0] << " "
            << a[1] << " " << a[2] << " " << a[3] << " clip " << l << " " << t << " " << r << " "
            << btm;
      }
  }
}

// Spans through every way (default masks, target mask 0, general masks,
// uniform and lookup rows, 8-aligned groups) equal the per-pixel formula.
TEST_F(shapes_test, spans_equal_the_per_pixel_formula) {
  for (int round = 0; round < 400; round++) {
    random_draw_state();
    if (round % 3 == 0) poke(int32_t(RAM_SHAPE_TARGET_MASK), 0);
    uint32_t w = round % 2 ? 64 : 61;
    udata *b = random_bitmap(w, 12);
    std::vector<uint8_t> before = bytes(b);
    full_clip(b);
    int32_t x0 = rand_in(-5, int32_t(w) + 5), x1 = rand_in(-5, int32_t(w) + 5);
    int32_t y0 = rand_in(-2, 13), y1 = rand_in(-2, 13), pen = int32_t(rng() & 0xFFFF);
    rectfill(b, x0, y0, x1, y1, pen);
    for (int32_t y = 0; y < 12; y++)
      for (int32_t x = 0; x < int32_t(w); x++) {
        bool inside = x >= std::min(x0, x1) && x <= std::max(x0, x1) && y >= std::min(y0, y1) &&
                      y <= std::max(y0, y1);
        uint8_t old = before[size_t(y) * w + size_t(x)];
        ASSERT_EQ(pixels(b)[size_t(y) * w + size_t(x)], inside ? ref_shape(x, y, pen, old) : old)
            << "round " << round << " at " << x << "," << y;
      }
  }
}

// With the colour tables as reset, every pen under every mix of write and
// target masks fills as the formula says.
TEST_F(shapes_test, fills_through_the_reset_tables_equal_the_per_pixel_formula) {
  ASSERT_EQ(root->mem.page_flags[GFX_COLTAB_PAGE], 0);
  for (uint8_t write : {0x3F, 0xFF, 0x7F})
    for (uint8_t target : {0x3F, 0x0F, 0x00})
      for (int32_t pen = 0; pen < 256; pen++) {
        poke(int32_t(RAM_WRITE_MASK), write);
        poke(int32_t(RAM_SHAPE_TARGET_MASK), target);
        udata *b = random_bitmap(45, 3);
        std::vector<uint8_t> before = bytes(b);
        full_clip(b);
        rectfill(b, 3, 0, 43, 2, pen);
        for (int32_t i = 0; i < 45 * 3; i++) {
          int32_t x = i % 45, y = i / 45;
          uint8_t old = before[size_t(i)];
          ASSERT_EQ(pixels(b)[i], x >= 3 && x <= 43 ? ref_shape(x, y, pen, old) : old)
              << "pen " << pen << " write " << int(write) << " target " << int(target);
        }
      }
}

TEST_F(shapes_test, span_costs_by_way) {
  udata *b = bitmap(64, 2);
  full_clip(b);
  EXPECT_EQ(draw_hline(b, 3, 40, 0, 7), 37 / 2 + 2);  // default masks
  poke(int32_t(RAM_READ_MASK), 0xFF);
  EXPECT_EQ(draw_hline(b, 3, 40, 0, 0x47), 3 * 37 / 4 + 2);  // pen byte with bit 6
  poke(int32_t(RAM_SHAPE_TARGET_MASK), 0);
  // 3..7 and 40 single (6 pixels), groups at 8, 16, 24, 32: (6 + 8) / 2 + 3.
  EXPECT_EQ(draw_hline(b, 3, 40, 0, 7), 10);
  udata *odd = bitmap(63, 2);
  full_clip(odd);
  EXPECT_EQ(draw_hline(odd, 3, 40, 0, 7), 37 / 2 + 2);
}

TEST_F(shapes_test, alpha_bits_memcpy_equals_the_byte_rule) {
  for (int round = 0; round < 200; round++) {
    int64_t n = rand_in(0, 80), off = rand_in(0, 15);
    uint8_t mask = uint8_t(round % 4 == 0 ? 0x3F : rng());
    std::vector<uint8_t> src(size_t(n + off)), dst(size_t(n + off)), want;
    for (auto &v : src) v = rng() % 3 ? uint8_t(rng()) : uint8_t(rng() % 2 ? 0 : 0x40);
    for (auto &v : dst) v = uint8_t(rng());
    want = dst;
    for (int64_t i = 0; i < n; i++)
      if (src[size_t(off + i)] & mask) want[size_t(off + i)] = src[size_t(off + i)];
    alpha_bits_memcpy(dst.data() + off, src.data() + off, n, mask);
    ASSERT_EQ(dst, want) << "round " << round;
  }
}

// Lines, outlines and filled ellipses under random masks, pattern and tables
// (and a random clip) equal the per-pixel formula on the pixels the shape
// covers, found by drawing it once more under the reset state over zeros.
TEST_F(shapes_test, shapes_under_any_draw_state_equal_the_per_pixel_formula) {
  using prim = void (*)(udata *, const std::vector<int32_t> &);
  const std::vector<std::pair<const char *, prim>> prims = {
      {"line", [](udata *b, auto &a) { draw_line(b, a[0], a[1], a[2], a[3], a[6]); }},
      {"oval", [](udata *b, auto &a) { draw_oval(b, a[0], a[1], a[2], a[3], a[6]); }},
      {"filloval", [](udata *b, auto &a) { draw_filloval(b, a[0], a[1], a[2], a[3], a[6]); }},
      {"rrect", [](udata *b, auto &a) { draw_rrect(b, a[0], a[1], a[2], a[3], a[4], a[5], a[6]); }},
      {"rrectfill",
       [](udata *b, auto &a) { draw_rrectfill(b, a[0], a[1], a[2], a[3], a[4], a[5], a[6]); }},
  };
  constexpr int W = 70, H = 50;
  for (int round = 0; round < 500; round++) {
    const auto &[name, draw] = prims[size_t(round) % prims.size()];
    std::vector<int32_t> a;
    for (int i = 0; i < 2; i++)
      a.push_back(rand_in(-20, W + 20)), a.push_back(rand_in(-20, H + 20));
    a.push_back(rand_in(0, 6)), a.push_back(rand_in(0, 6)), a.push_back(int32_t(rng() & 0xFFFF));
    bool clipped = round % 3 == 0;
    int32_t l = rand_in(-4, 30), t = rand_in(-4, 20), r = rand_in(l, W + 4),
            btm = rand_in(t, H + 4);
    reset_draw_state(root);
    udata *cover = bitmap(W, H);
    clipped ? set_clip(l, t, r, btm) : full_clip(cover);
    draw(cover, {a[0], a[1], a[2], a[3], a[4], a[5], 1});
    random_draw_state();
    udata *b = random_bitmap(W, H);
    std::vector<uint8_t> before = bytes(b);
    draw(b, a);
    for (int32_t y = 0; y < H; y++)
      for (int32_t x = 0; x < W; x++) {
        uint8_t old = before[size_t(y * W + x)];
        uint8_t want = pixels(cover)[y * W + x] ? ref_shape(x, y, a[6], old) : old;
        ASSERT_EQ(pixels(b)[y * W + x], want)
            << name << " round " << round << " at " << x << "," << y << " args " << a[0] << " "
            << a[1] << " " << a[2] << " " << a[3] << " " << a[4] << " " << a[5];
      }
  }
}
