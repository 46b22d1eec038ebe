// Golden pictures: small scenes of every primitive compared index for index
// with PNGs kept beside this file (tests/gfx/golden). KVD_GOLDEN_UPDATE=1
// rewrites the PNGs; look at them before committing.
#include <cstdlib>
#include <fstream>

#include "gfx/blit.h"
#include "gfx/shapes.h"
#include "gfx/tline.h"
#include "tests/gfx/api_fixture.h"

namespace {

struct golden_test : api_fixture {
  // Writes the picture and runs the Pillow comparison (or update).
  void check(const udata *b, const std::string &name) {
    std::string raw = std::string(std::getenv("KVD_BINARY_DIR")) + "/golden_" + name + ".raw";
    std::ofstream(raw, std::ios::binary)
        .write(reinterpret_cast<const char *>(udata_elements(b)), std::streamsize(udata_bytes(b)));
    std::string cmd = std::string(std::getenv("KVD_PYTHON")) + " " + std::getenv("KVD_SOURCE_DIR") +
                      "/tests/gfx/golden_check.py " + raw + " " + std::to_string(b->width) + " " +
                      std::to_string(b->height) + " " + std::getenv("KVD_SOURCE_DIR") +
                      "/tests/gfx/golden/" + name + ".png";
    if (std::getenv("KVD_GOLDEN_UPDATE")) cmd += " --update";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
  }
};

TEST_F(golden_test, shapes) {
  udata *b = bitmap(160, 120);
  full_clip(b);
  rectfill(b, 0, 0, 159, 119, 1);
  set_colp(GFX_COLOUR_LOAD_PATTERN | (int64_t(0x5A5A) << 16) | 0x0C02);
  rectfill(b, 4, 4, 60, 40, get_pen());
  fillp_16(0);
  for (int32_t i = 0; i < 12; i++)
    draw_line(b, 100, 30, 100 + (i - 6) * 9, i % 2 ? 2 : 58, 7 + i % 5);
  draw_oval(b, 4, 48, 40, 70, 10);
  draw_filloval(b, 46, 48, 77, 79, 11);
  draw_filloval(b, 82, 48, 83, 60, 12);  // thin: a rectangle
  draw_rrect(b, 90, 50, 100, 60, 30, 12, 14);
  draw_line(b, 95, 50, 125, 50, 14);
  draw_rrectfill(b, 90, 80, 104, 94, 40, 10, 9);
  // Inverted fill under a smaller clip, and a clipped circle.
  set_clip(8, 84, 80, 116);
  root->inverted_shape = 1;
  draw_filloval(b, 14, 86, 50, 114, 8);
  root->inverted_shape = 0;
  draw_filloval(b, 60, 70, 100, 110, 3);
  check(b, "shapes");
}

TEST_F(golden_test, sprites_and_textured_lines) {
  udata *spr = bitmap(8, 8);
  for (int y = 0; y < 8; y++)
    for (int x = 0; x < 8; x++)
      pixels(spr)[y * 8 + x] = uint8_t(x == 0 || y == 0 ? 0 : 8 + (x + y) % 8);
  udata *b = bitmap(160, 120);
  full_clip(b);
  rectfill(b, 0, 0, 159, 119, 5);
  draw_spr(spr, b, 0, 0, 4, 4, 8, 8, false, false);
  draw_spr(spr, b, 0, 0, 16, 4, 8, 8, true, false);
  draw_spr(spr, b, 0, 0, 28, 4, 8, 8, false, true);
  draw_spr(spr, b, 2, 2, -3, 20, 8, 8, true, true);
  for (int32_t y = 0; y < 24; y++)
    draw_tline_sspr(spr, b, 44, 4 + y, 76, 4 + y, 0, y / 3.0, 8, y / 3.0);
  // A floor in perspective: each row spans more of the texture the further
  // away it lies.
  udata *tex = bitmap(16, 16);
  for (int i = 0; i < 256; i++) pixels(tex)[i] = uint8_t(((i & 15) / 4 + (i / 64)) % 2 ? 7 : 12);
  for (int32_t y = 0; y < 60; y++) {
    double z = 400.0 / (68 - y);  // the bottom row is the nearest
    draw_tline3d(tex, b, 0, 119 - y, 159, 119 - y, -4 * z, 4 * z, 4 * z, 4 * z, 1, 1, 0);
  }
  // A wall receding to the right: u / w from 0 to 16 with weights 1 to 0.25,
  // once by spans of 8 and once exactly at every pixel.
  for (int32_t y = 0; y < 20; y++) {
    draw_tline3d(tex, b, 90, 4 + y, 155, 14 + y / 2, 0, y, 4, y / 4.0, 1, 0.25, 0);
    draw_tline3d(tex, b, 90, 30 + y, 155, 40 + y / 2, 0, y, 4, y / 4.0, 1, 0.25, TLINE_EXACT);
  }
  check(b, "sprites");
}

// A test screen drawn through the Lua API: shapes, sprites, text in the
// built-in font and a map of flipped and turned tiles.
TEST_F(golden_test, api_test_screen) {
  udata *screen = lua_bitmap("u8", 240, 135, "_screen");
  set_target(screen);
  use_small_font();
  set_sprite(1, 8, 8, [](int x, int y) { return x == 0 || y == 0 ? 7 : (x < y ? 8 : 12); });
  set_sprite(2, 8, 8, [](int x, int y) { return (x + y) % 4 ? 3 : 11; });
  root->current_map = lua_bitmap("i16", 6, 2, "_tiles");
  std::string code = R"(
    cls(1)
    rectfill(4, 4, 40, 30, 8)
    rect(44, 4, 80, 30, 10)
    circfill(100, 17, 12, 0x1a5a50009) fillp()
    circ(130, 17, 12, 11)
    ovalfill(146, 6, 186, 28, 14)
    oval(190, 6, 234, 28, 12)
    rrect(4, 36, 40, 24, 6, 7)
    rrectfill(48, 36, 40, 24, 6, 13)
    line(92, 36, 132, 60, 9) line(92, 60) line(132, 36)
    pset(140, 40, 7) pset(142, 40, 7)
    spr(1, 150, 36) spr(1, 162, 36, true) spr(1, 174, 36, false, true)
    sspr(1, 0, 0, 8, 8, 190, 34, 24, 24)
    local row = {1, 0x4001, 0x8001, 0xC001, 0x2001, 2}
    for x = 0, 5 do mset(x, 0, row[x + 1]) mset(x, 1, 2) end
    poke(0x550e, 8) poke(0x550f, 8)
    _draw_map(_tiles, 0, 0, 4, 66, 6, 2)
    poke(0x550e, 12) poke(0x550f, 12)
    _draw_map(_tiles, 0, 0, 60, 66, 6, 1)
    _print_q7scii("Kavelund 0123456789 !?#%&*()[]{}", 4, 96, 7)
    _print_q7scii("abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ", 4, 104, 6)
    _print_q7scii("\x80\x81\x82\x83\x84\x85\x86\x87\x88\x89\x8a\x8b\x8c\x8d\x8e\x8f\x90\x91\x92\x93\x94\x95\x96\x97\x98\x99", 4, 112, 10)
    _print_q7scii("\x9a\x9b\x9c\x9d\x9e\xcc\xcd\xce\xcf\xd0 \x10\x11\x12\x13\x14\x15\x16\x17\x18\x19", 4, 120, 11)
    _print_q7scii("\0128red \0122\0027back \006wwide\006-w \006ttall", 130, 84)
  )";
  EXPECT_EQ(run(code), "nil");
  check(screen, "api_screen");
}

}  // namespace
