// Text printing: every control code and command on small fixtures, glyph
// drawing attributes, pauses and the faults guarded against (zero tab width,
// fonts crossing their page, runaway repeats).
#include "gfx/print.h"

#include <string>

#include "tests/gfx/api_fixture.h"

namespace {

struct print_test : api_fixture {
  void SetUp() override {
    api_fixture::SetUp();
    poke(int32_t(RAM_FONT_DEFAULT), int32_t(RAM_BOOT_FONT >> 8));  // an all-zero 8x8 font
  }
  // Glyph rows of code c in the font at 0x4000.
  void glyph(int c, std::initializer_list<int> rows) {
    int r = 0;
    for (int v : rows) poke(int32_t(RAM_BOOT_FONT) + 8 * c + r++, v);
  }
  // Prints text at the cursor in colour 7; returns the print's result.
  int32_t print(const std::string &text, int32_t colours = 7) {
    get_masks_shape();
    return print_q7scii(target, reinterpret_cast<const uint8_t *>(text.data()),
                        int64_t(text.size()), 0, colours);
  }
  int32_t cx() { return peek4(int32_t(RAM_TEXT_CURSOR_X)); }
  int32_t cy() { return peek4(int32_t(RAM_TEXT_CURSOR_Y)); }
  void at(int32_t x, int32_t y) {
    poke4(RAM_TEXT_CURSOR_X, uint32_t(x));
    poke4(RAM_TEXT_CURSOR_Y, uint32_t(y));
  }
  void no_newline() { poke(int32_t(RAM_SYSTEM_FLAGS), SYSFLAG_PRINT_NO_NEWLINE); }
};

TEST_F(print_test, plain_text_moves_the_cursor_and_reports_its_extent) {
  EXPECT_EQ(run("return _print_q7scii('AB')"), "16");
  EXPECT_EQ(cx(), 0);
  EXPECT_EQ(cy(), 8);
  EXPECT_EQ(run("cursor(0, 0) return select(2, _print_q7scii('AB'))"), "8");
  no_newline();
  EXPECT_EQ(run("cursor(0, 0) local x, y = _print_q7scii('AB') return x .. ',' .. y"), "16,0");
  EXPECT_EQ(run("local x, y = _print_q7scii('', 3, 4, 5) return x .. ',' .. y"), "3,4");
  EXPECT_EQ(run("return select('#', _print_q7scii({}))"), "0");
}

TEST_F(print_test, print_positions_and_colours_from_its_arguments) {
  glyph('A', {1});
  run("_print_q7scii('A', 10, 20, 9)");
  EXPECT_EQ(px(10, 20), 9);
  EXPECT_EQ(get_pen(), 9);
  EXPECT_EQ(peek4(int32_t(RAM_TEXT_HOME_X)), 10);
  EXPECT_EQ(cx(), 10);  // the newline returns to the home x
  EXPECT_EQ(cy(), 28);
  run("_print_q7scii('A', 12)");  // two arguments: the second is the colour
  EXPECT_EQ(px(10, 28), 12);
  run("_print_q7scii('A', 5, nil, nil)");
  EXPECT_EQ(px(10, 36), 5);
}

TEST_F(print_test, control_codes_move_the_cursor) {
  struct {
    std::string text;
    int32_t x, y;
  } cases[] = {
      {"\3"
       "0",
       24, 40},
      {"\3g", 40, 40},
      {"\4"
       "4",
       40, 28},
      {"\5jk", 43, 44},
      {"AB\b", 48, 40},
      {"AB\r", 40, 40},
      {"A\nB", 48, 48},
      {"\1"
       "3x",
       64, 40},
      {"\1"
       "0x",
       40, 40},
      {"\6j23", 8, 12},
      {"\6hAB\6g", 40, 40},
      {"\6-", 40, 40},
      {"\6x4AB", 48, 40},
      {"\6y3A\nB", 48, 43},
      {"\x07", 48, 40},
  };
  no_newline();
  for (auto &c : cases) {
    at(40, 40);
    poke4(RAM_TEXT_HOME_X, 40);
    print(c.text);
    EXPECT_EQ(cx(), c.x) << c.text;
    EXPECT_EQ(cy(), c.y) << c.text;
  }
}

TEST_F(print_test, colour_codes_set_foreground_background_and_pen) {
  glyph('A', {0xFF});
  no_newline();
  print(
      "\x0c"
      "8A");
  EXPECT_EQ(px(0, 0), 8);
  EXPECT_EQ(get_pen(), 8);
  print("\x0cz");
  EXPECT_EQ(get_pen(), 35);
  // A solid background fills the glyph box (border column included).
  at(20, 20);
  print(
      "\2"
      "3B");
  EXPECT_EQ(px(19, 20), 3);
  EXPECT_EQ(px(27, 27), 3);
}

TEST_F(print_test, a_missing_argument_draws_the_code_as_a_glyph) {
  glyph(2, {1});
  no_newline();
  print("\2");
  EXPECT_EQ(px(0, 0), 7);
  EXPECT_EQ(cx(), 8);
  // With the newline appended, the newline is the argument: background 0.
  poke(int32_t(RAM_SYSTEM_FLAGS), 0);
  at(0, 20);
  print("\2");
  EXPECT_EQ(cx(), 0);
  EXPECT_EQ(cy(), 20);
  EXPECT_EQ(px(0, 20), 0);
}

TEST_F(print_test, pause_commands_and_resumption) {
  glyph('Z', {1});
  no_newline();
  EXPECT_EQ(print("\6"
                  "3Z"),
            1);
  EXPECT_EQ(px(0, 0), 0);
  for (int i = 0; i < 3; i++) EXPECT_EQ(continue_print_text(), 1) << i;
  EXPECT_EQ(px(0, 0), 0);
  EXPECT_EQ(continue_print_text(), 0);
  EXPECT_EQ(px(0, 0), 7);
  EXPECT_EQ(continue_print_text(), 0);  // nothing pending
  // The character delay pauses after every glyph.
  EXPECT_EQ(print("\6"
                  "d1ZZ"),
            1);
  EXPECT_EQ(cx(), 16);
  EXPECT_EQ(continue_print_text(), 1);
  EXPECT_EQ(cx(), 24);
}

TEST_F(print_test, poke_commands_write_memory) {
  print("\6!5f00AB");
  EXPECT_EQ(peek(0x5F00), 'A');
  EXPECT_EQ(peek(0x5F01), 'B');
  EXPECT_EQ(peek(0x5F02), 0);  // not the appended newline
  EXPECT_EQ(cx(), 0);
  EXPECT_EQ(cy(), 0);  // the print ended there
  print("\6@5f100002xyZ");
  EXPECT_EQ(peek(0x5F10), 'x');
  EXPECT_EQ(peek(0x5F11), 'y');
  EXPECT_EQ(peek(0x5F12), 0);
  print("\6@5f2000ffq");  // the data stops at the end of the text
  EXPECT_EQ(peek(0x5F20), 'q');
  EXPECT_EQ(peek(0x5F21), 0);
}

TEST_F(print_test, clear_command_and_inline_glyphs) {
  no_newline();
  at(9, 9);
  print("\6c5");
  EXPECT_EQ(count(5), 64 * 48);
  EXPECT_EQ(cx(), 0);
  print("\6.\x01\x02\x04\x08\x10\x20\x40\x80");  // a diagonal, 8 x 8
  for (int i = 0; i < 8; i++) EXPECT_EQ(px(i, i), 7) << i;
  EXPECT_EQ(cx(), 8);
  print("\6:ff00000000000081");
  EXPECT_EQ(px(8, 0), 7);
  EXPECT_EQ(px(15, 0), 7);
  EXPECT_EQ(px(15, 7), 7);
  EXPECT_EQ(px(9, 7), 5);
  // Too few bytes left: the command does nothing and they print as text.
  glyph('1', {1});
  at(0, 30);
  print("\6;11");
  EXPECT_EQ(cx(), 16);
  EXPECT_EQ(px(0, 30), 7);
}

TEST_F(print_test, tab_stops) {
  no_newline();
  poke(int32_t(RAM_PRINT_ATTRIBUTES), 1);
  poke(int32_t(RAM_PRINT_SIZE), 4);  // 4 wide: tabs every 12
  at(5, 0);
  print("\t");
  EXPECT_EQ(cx(), 12);
  print("\t");
  EXPECT_EQ(cx(), 24);
  // A zero tab width (the width itself set to 0) leaves x where it was.
  at(5, 0);
  print("\6x0\t");
  EXPECT_EQ(cx(), 5);
  // Tab stops measured from the home x.
  poke(int32_t(RAM_BOOT_FONT) + 5, 2);
  poke4(RAM_TEXT_HOME_X, 3);
  at(5, 0);
  print("\t");
  EXPECT_EQ(cx(), 15);
}

TEST_F(print_test, attributes_wide_tall_invert_and_outline) {
  glyph('A', {1});  // one pixel at the glyph's top-left
  no_newline();
  poke(int32_t(RAM_PRINT_SIZE), 4);
  poke(int32_t(RAM_PRINT_ATTRIBUTES), 0x05);  // enabled, wide
  print("A");
  EXPECT_EQ(cx(), 8);
  EXPECT_EQ(px(0, 0), 7);
  EXPECT_EQ(px(1, 0), 7);
  poke(int32_t(RAM_PRINT_ATTRIBUTES), 0x04);  // not enabled: border only
  at(0, 10);
  print("A");
  EXPECT_EQ(cx(), 4);
  // Tall doubles rows; invert fills the box but the glyph's own pixel.
  poke(int32_t(RAM_PRINT_ATTRIBUTES), 0x29);  // enabled, tall, invert
  at(20, 20);
  print("A");
  EXPECT_EQ(px(20, 20), 0);
  EXPECT_EQ(px(20, 21), 0);
  EXPECT_EQ(px(21, 20), 7);
  EXPECT_EQ(px(20, 22), 7);
  // An outline of every neighbour but the centre rings the pixel.
  poke(int32_t(RAM_PRINT_ATTRIBUTES), 0);
  run("cls()");
  at(30, 30);
  print("\6o8ffA");
  EXPECT_EQ(px(30, 30), 7);
  EXPECT_EQ(count(8), 8);
  for (int dy = -1; dy <= 1; dy++)
    for (int dx = -1; dx <= 1; dx++)
      if (dx || dy) {
        EXPECT_EQ(px(30 + dx, 30 + dy), 8) << dx << "," << dy;
      }
}

TEST_F(print_test, wrapping_and_decoration) {
  glyph('A', {1});
  no_newline();
  poke(int32_t(RAM_PRINT_ATTRIBUTES), 1);
  poke(int32_t(RAM_PRINT_SIZE), 4);
  print("\6r5AAAAAA");  // right margin 20: the sixth glyph wraps
  EXPECT_EQ(cx(), 4);
  EXPECT_EQ(cy(), 8);
  EXPECT_EQ(px(0, 8), 7);
  // A decoration draws above the previous glyph and keeps the cursor.
  run("cls()");
  at(10, 20);
  print(
      "A\x0b"
      "6A");
  EXPECT_EQ(cx(), 14);
  EXPECT_EQ(px(10, 21 - 8), 7);
}

TEST_F(print_test, fonts_crossing_their_page_read_as_memory_does) {
  // A font at 0x4F00 reaches into the draw-state page: glyph 'A' lies at
  // 0x5108, read like peek reads it.
  poke(int32_t(RAM_FONT_DEFAULT), 0x4F);
  for (int r = 0; r < 8; r++) poke(0x5108 + r, r ? 0 : 0x81);  // over RGB palette entries
  no_newline();
  print("A");
  EXPECT_EQ(px(0, 0), 7);
  EXPECT_EQ(px(7, 0), 7);
  EXPECT_EQ(count(7), 2);
  // The alternate font by code 14, its header read from memory.
  poke(int32_t(RAM_FONT_ALTERNATE), 0x60);
  poke(0x6000, 3);
  poke(0x6001, 3);
  poke(0x6002, 5);
  print(
      "\x0e"
      "A");
  EXPECT_EQ(cx(), 8 + 3);
  print(
      "\x0e"
      "AB");
  EXPECT_EQ(cx(), 11 + 6);
}

TEST_F(print_test, nested_repeats_end) {
  glyph('x', {1});
  no_newline();
  poke(int32_t(RAM_PRINT_ATTRIBUTES), 1);
  poke(int32_t(RAM_PRINT_SIZE), 1);
  for (const char *text : {"\1z\1z\1zx",
                           "\1"
                           "3\1"
                           "3x",
                           "\1z\1", "\1z\6z"}) {
    at(0, 0);
    EXPECT_EQ(print(text), 0) << text;
    EXPECT_LE(cx(), 35) << text;
  }
  at(0, 0);
  print(
      "\1"
      "3\1"
      "3x");
  EXPECT_EQ(cx(), 3);
}

TEST_F(print_test, positions_far_off_the_target_print_nothing) {
  glyph('A', {0xFF});
  poke4(RAM_CAMERA_X, uint32_t(INT32_MAX));  // the wrap margin lies beyond 32 bits
  run("_print_q7scii('A', 0, 0, 7)");
  poke4(RAM_CAMERA_X, 0);
  run("_print_q7scii('A', 4294967301, 5, 7)");  // must not wrap round to x = 5
  EXPECT_EQ(count(0), 64 * 48);
}

TEST_F(print_test, the_small_font_covers_every_printable_code) {
  use_small_font();
  for (int c = 16; c < 256; c++) {
    if (c == 32) continue;  // the space
    int bits = 0;
    for (int r = 0; r < 8; r++) bits |= lil_font_dat[8 * c + r];
    EXPECT_NE(bits, 0) << c;
  }
  EXPECT_EQ(run("return _print_q7scii('Hi', 0, 0)"), "8");
  EXPECT_EQ(cy(), 6);
}

}  // namespace

// Glyph pixels drawn by the pen's masked write equal the per-pixel shape
// formula, under draw states where that write applies (default, a write mask
// keeping bits) and where it does not (a pattern, a changed table, a target
// mask reading the old pixel), at positions cut by each edge of the target.
TEST_F(print_test, glyph_pixels_equal_the_per_pixel_formula) {
  glyph('A', {0x81, 0x42, 0xFF, 0x18, 0x24, 0x7E, 0xC3, 0x55});
  no_newline();
  struct state {
    int write, target;
    uint64_t pattern;
    bool table;
  };
  const state states[] = {{0xFF, 0x00, 0, false}, {0x0F, 0x00, 0, false},
                          {0xFF, 0x3F, 0, false}, {0xFF, 0x00, 0x00FF0F33AA55F00Full, false},
                          {0xFF, 0x3F, 0, true},  {0x3C, 0x3F, 0x0102040810204080ull, true}};
  const int32_t spots[][2] = {{3, 5}, {-3, 2}, {60, 44}, {28, -6}, {-7, -7}, {63, 20}};
  for (const state &s : states)
    for (const auto &spot : spots) {
      poke(int32_t(RAM_WRITE_MASK), s.write);
      poke(int32_t(RAM_SHAPE_TARGET_MASK), s.target);
      for (int i = 0; i < 8; i++)
        poke(int32_t(RAM_FILL_PATTERN) + i, int32_t(s.pattern >> (8 * i)) & 0xFF);
      if (s.table)
        for (int d = 0; d < 64; d++)
          poke(int32_t(RAM_COLOUR_TABLES) + 7 * 64 + d, (d * 5 + 1) & 0xFF);
      uint8_t *p = pixels(target);
      for (int i = 0; i < 64 * 48; i++) p[i] = uint8_t(i * 37 + i / 64);
      std::vector<uint8_t> want(p, p + 64 * 48);
      get_masks_shape();
      draw_ctx ctx = draw_ctx_shape();
      for (int r = 0; r < 8; r++)
        for (int b = 0; b < 8; b++) {
          int32_t x = spot[0] + b, y = spot[1] + r;
          if (!((peek(int32_t(RAM_BOOT_FONT) + 8 * 'A' + r) >> b) & 1) || x < 0 || y < 0 ||
              x >= 64 || y >= 48)
            continue;
          uint8_t &d = want[size_t(y * 64 + x)];
          d = shape_pixel_value(ctx, 7, pattern_bit(ctx, x, y), d);
        }
      at(spot[0], spot[1]);
      print("A");
      ASSERT_EQ(std::vector<uint8_t>(p, p + 64 * 48), want)
          << "write " << s.write << " target " << s.target << " at " << spot[0] << "," << spot[1];
    }
}

// A target that shows a page of the draw state changes that state as glyphs
// are drawn: every pixel reads the colour table as it then stands, and every
// glyph the masks and pattern as they stand when it starts. First the target
// is colour table 0 (pixel (d, s) the entry of pen s over d, each row of
// pens 0 and 1 one value): row 0 draws with pen 1 and rewrites entries of
// pen 0, which the rows below draw with. Then the target is the draw-state
// page, where the first glyph's last row lands on the fill pattern.
TEST_F(print_test, glyphs_read_the_draw_state_their_target_rewrites) {
  glyph('A', {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  no_newline();
  struct mapping {
    uint32_t address;
    int32_t y;         // where "AA" is printed
    uint64_t pattern;  // rows 0..7 from the low byte
  };
  const mapping mappings[] = {{RAM_COLOUR_TABLES, 0, 0xFFFFFFFFFFFFFF00ull},
                              {RAM_RGB_PALETTE, 13, 0}};
  for (const mapping &m : mappings) {
    udata *t = lua_bitmap("u8", 64, 64, "_state_target");
    uint8_t *p = pixels(t);
    for (int i = 0; i < 8; i++)
      poke(int32_t(RAM_FILL_PATTERN) + i, int32_t(m.pattern >> (8 * i)) & 0xFF);
    at(0, m.y);
    for (uint32_t i = 0; i < RAM_PAGE_SIZE; i++) p[i] = uint8_t(peek(int32_t(m.address + i)));
    if (m.address == RAM_COLOUR_TABLES)
      for (int i = 0; i < 8 * 64; i++) p[i] = i < 64 ? 5 : i < 128 ? 9 : 3;
    ASSERT_EQ(run("return _map_ram(_state_target, " + std::to_string(m.address) + ")"), "4096");
    set_target(target = t);
    // The same on a copy, pixel by pixel in drawing order.
    std::vector<uint8_t> want(p, p + RAM_PAGE_SIZE);
    auto byte = [&](uint32_t a) {
      return a >= m.address && a < m.address + RAM_PAGE_SIZE ? want[a - m.address]
                                                             : uint8_t(peek(int32_t(a)));
    };
    for (int g = 0; g < 2; g++) {
      uint8_t rows[8], read = byte(RAM_READ_MASK), write = byte(RAM_WRITE_MASK),
                       target_mask = byte(RAM_SHAPE_TARGET_MASK);
      for (uint32_t i = 0; i < 8; i++) rows[i] = byte(RAM_FILL_PATTERN + i);
      for (int y = m.y; y < m.y + 8; y++)
        for (int x = 8 * g; x < 8 * g + 8; x++) {
          uint8_t &d = want[size_t(y * 64 + x)], old = d;
          uint32_t s = ((rows[y & 7] >> (x & 7)) & 1 ? 0 : 1) & read, o = old & target_mask;
          d = uint8_t(((byte(RAM_COLOUR_TABLES + (((s | o) >> 6) & 3) * GFX_COLTAB_BYTES +
                             (s & 63) * 64 + (o & 63)) ^
                        old) &
                       write) ^
                      old);
        }
    }
    EXPECT_EQ(print("AA", 1), 0);
    for (int y = m.y; y < m.y + 8; y++)
      for (int x = 0; x < 16; x++)
        EXPECT_EQ(p[y * 64 + x], want[size_t(y * 64 + x)]) << m.address << " at " << x << "," << y;
    run("_unmap_ram(_state_target)");
  }
}
