// The drawing functions as a process calls them: state, pixels, palettes,
// shapes, lines, sprites and the batch form over f64 userdata.
#include "gfx/draw_api.h"

#include "gfx/map.h"
#include "tests/gfx/api_fixture.h"

namespace {

using draw_api_test = api_fixture;
constexpr uint8_t ink(int c) {
  return uint8_t(c);
}  // colour c over the default tables, write mask 0x3F

TEST_F(draw_api_test, every_graphics_global_is_a_function_in_a_process) {
  const char *names[] = {"cls",           "fillp",    "pset",   "pget",   "fset",      "fget",
                         "mset",          "mget",     "camera", "clip",   "rectfill",  "rect",
                         "ovalfill",      "circfill", "oval",   "circ",   "rrect",     "rrectfill",
                         "line",          "tline3d",  "sspr",   "spr",    "_draw_map", "blit",
                         "_print_q7scii", "_printh",  "printh", "cursor", "color",     "pal",
                         "palt"};
  for (const char *n : names)
    EXPECT_EQ(run(std::string("return type(") + n + ")"), "function") << n;
}

TEST_F(draw_api_test, without_a_draw_target_drawing_does_nothing_but_state_calls_work) {
  root->draw_target = nullptr;
  EXPECT_EQ(run("cls(7) pset(1, 1, 8) return select('#', pget(1, 1))"), "0");
  EXPECT_EQ(run("color(9) camera(3, 4) fset(2, 5) return fget(2)"), "5");
  EXPECT_EQ(peek2(int32_t(RAM_PEN)), 9);
  EXPECT_EQ(count(0), 64 * 48);
}

TEST_F(draw_api_test, cls_fills_raw_resets_the_cursor_and_charges_a_64th) {
  poke4(RAM_TEXT_CURSOR_X, 9);
  udata *big = lua_bitmap("u8", 480, 270, "_big");
  set_target(big);
  EXPECT_EQ(charge(lua54_cls, "7"), 2025);
  EXPECT_EQ(bytes(big), std::vector<uint8_t>(129600, 7));
  EXPECT_EQ(peek4(int32_t(RAM_TEXT_CURSOR_X)), 0);
}

TEST_F(draw_api_test, fillp_takes_a_4x4_pattern_or_eight_reversed_rows) {
  run("fillp(0x8000)");
  for (int i = 0; i < 8; i++) EXPECT_EQ(peek(int32_t(RAM_FILL_PATTERN) + i), i % 4 ? 0 : 0x11);
  run("fillp(0x80, 0, 0, 0, 0, 0, 0, 3)");
  EXPECT_EQ(peek(int32_t(RAM_FILL_PATTERN)), 0x01);
  EXPECT_EQ(peek(int32_t(RAM_FILL_PATTERN) + 7), 0xC0);
}

TEST_F(draw_api_test, pset_and_pget_go_through_the_camera_and_keep_the_pen) {
  run("camera(5, 0) pset(10, 10, 8)");
  EXPECT_EQ(px(5, 10), ink(8));
  EXPECT_EQ(get_pen(), 8);
  EXPECT_EQ(run("return pget(10, 10)"), std::to_string(ink(8)));
  EXPECT_EQ(run("return pget(-100, 0)"), "0");
  EXPECT_EQ(run("return select('#', pget(1))"), "0");
  EXPECT_EQ(run("return camera(0, 0)"), "5");  // the previous camera
}

TEST_F(draw_api_test, sprite_flags_by_byte_and_by_bit) {
  struct {
    const char *code;
    int byte;
  } cases[] = {
      {"fset(3, 2, true)", 4},  {"fset(3, 2, true) fset(3, 9, true)", 4},
      {"fset(3, 0x1FF)", 0xFF}, {"fset(3, 0xFF) fset(3, 0, false)", 0xFE},
      {"fset(8195, 7)", 7},  // numbers wrap at 8192
  };
  for (auto &c : cases) {
    poke(int32_t(RAM_SPRITE_FLAGS) + 3, 0);
    run(c.code);
    EXPECT_EQ(peek(int32_t(RAM_SPRITE_FLAGS) + 3), c.byte) << c.code;
  }
  EXPECT_EQ(run("return fget(8195)"), "7");
  EXPECT_EQ(run("return fget(3, 1)"), "true");
  EXPECT_EQ(run("return fget(3, 3)"), "false");
}

TEST_F(draw_api_test, map_cells_read_and_written_inside_the_current_map_only) {
  EXPECT_EQ(run("mset(0, 0, 5) return select('#', mget(0, 0))"), "0");  // no map
  root->current_map = lua_bitmap("i16", 4, 3, "_map");
  EXPECT_EQ(run("mset(3, 2, 0x8001) return mget(3, 2)"), "-32767");
  EXPECT_EQ(run("mset(4, 0, 1) mset(-1, 0, 1) return select('#', mget(4, 0))"), "0");
  EXPECT_EQ(run("return mget(0, 0)"), "0");
}

TEST_F(draw_api_test, clip_stores_its_rectangle_and_returns_the_previous_one) {
  EXPECT_EQ(run("local a, b, c, d, e = clip(-10, -10, 20, 20) return a..' '..b..' '..c..' '..d"),
            "0 0 64 48");
  EXPECT_EQ(peek2(int32_t(RAM_CLIP_RECT)), 0);
  EXPECT_EQ(peek2(int32_t(RAM_CLIP_RECT) + 4), 10);
  run("clip(0, 0, 50, 50)");
  EXPECT_EQ(run("return select(5, clip(100, 0, 10, 10, true))"), "true");
  EXPECT_EQ(peek2(int32_t(RAM_CLIP_RECT)), 50);
  EXPECT_EQ(peek2(int32_t(RAM_CLIP_RECT) + 4), 50);
  EXPECT_EQ(run("return select(5, clip())"), "false");
  EXPECT_EQ(peek2(int32_t(RAM_CLIP_RECT) + 6), 48);
}

TEST_F(draw_api_test, color_cursor_and_camera) {
  run("color()");
  EXPECT_EQ(get_pen(), 6);
  run("cursor(7, 8, 0x100000009)");
  EXPECT_EQ(peek4(int32_t(RAM_TEXT_CURSOR_X)), 7);
  EXPECT_EQ(peek4(int32_t(RAM_TEXT_CURSOR_Y)), 8);
  EXPECT_EQ(get_pen(), 9);
  EXPECT_EQ(run("camera(1, 2) local x, y = camera() return x + y"), "3");
  EXPECT_EQ(peek4(int32_t(RAM_CAMERA_X)), 0);  // no arguments: back to (0, 0)
  EXPECT_EQ(peek4(int32_t(RAM_CAMERA_Y)), 0);
}

TEST_F(draw_api_test, pal_sets_table_rows_display_and_rgb_entries) {
  run("pal(3, 9)");
  for (int d = 0; d < 64; d++) ASSERT_EQ(peek(int32_t(RAM_COLOUR_TABLES) + 3 * 64 + d), 0xC9);
  run("pal(3, 9, 1) pal(3, 0xFF0000, 2)");
  EXPECT_EQ(peek(int32_t(RAM_DISPLAY_PALETTE) + 3), 9);
  EXPECT_EQ(peek4(int32_t(RAM_RGB_PALETTE) + 12), 0xFF0000);
  run("pal({[1] = 4, [2] = 5, x = 1}, nil, 1)");
  EXPECT_EQ(peek(int32_t(RAM_DISPLAY_PALETTE) + 2), 5);
  run("pal()");  // tables and display palette back, the RGB palette kept
  EXPECT_EQ(peek(int32_t(RAM_COLOUR_TABLES) + 3 * 64), 0xC3);
  EXPECT_EQ(peek(int32_t(RAM_DISPLAY_PALETTE) + 3), 3);
  EXPECT_EQ(peek4(int32_t(RAM_RGB_PALETTE) + 12), 0xFF0000);
  run("pal(2)");
  EXPECT_EQ(uint32_t(peek4(int32_t(RAM_RGB_PALETTE) + 12)), system_palette[3]);
}

TEST_F(draw_api_test, palt_rows_are_marked_changed_so_pal_restores_them) {
  // Each call changes one table; after pal() every table holds its default.
  const char *calls[] = {"palt(70, false)", "palt(70, true)", "palt(0x1000000000000001)",
                         "palt()",          "pal(6, 2)",      "pal(6, 2, 64)"};
  for (const char *call : calls) {
    for (int t = 0; t < 4; t++) root->mem.page_flags[GFX_COLTAB_PAGE + t] = 0;
    run(call);
    run("pal()");
    for (int i = 0; i < 4 * GFX_COLTAB_BYTES; i++)
      ASSERT_EQ(peek(int32_t(RAM_COLOUR_TABLES) + i), default_coltabs[i]) << call << " at " << i;
  }
}

TEST_F(draw_api_test, palt_makes_colours_transparent_or_opaque) {
  run("palt(0x1000000000000001)");
  auto row = [](int t, int c, int d) {
    return peek(int32_t(RAM_COLOUR_TABLES) + t * 4096 + c * 64 + d);
  };
  EXPECT_EQ(row(0, 0, 9), 9);
  EXPECT_EQ(row(0, 60, 9), 9);
  EXPECT_EQ(row(0, 1, 9), 0xC1);
  run("palt(70, true)");  // table 1, row 6: the destination stays
  EXPECT_EQ(row(1, 6, 9), 0x49);
  run("palt(70, false)");
  EXPECT_EQ(row(1, 6, 9), 0xC6);
}

TEST_F(draw_api_test, batch_pset_draws_rows_and_charges_two_each) {
  run("_b = userdata('f64', 3, 5) for i = 0, 4 do _b:set(0, i, i, i, 8) end");
  EXPECT_EQ(charge(lua54_pset, "_b"), 10);
  EXPECT_EQ(count(ink(8)), 5);
  EXPECT_EQ(px(4, 4), ink(8));
  run("cls()");
  // An offset past the last row start, a negative offset or stride: nothing.
  for (const char *args : {"_b, 13", "_b, -3", "_b, 0, 5, 3, -3", "_b, 0, 0"}) {
    EXPECT_EQ(charge(lua54_pset, args), 1) << args;
    EXPECT_EQ(count(0), 64 * 48) << args;
  }
  // Two fields a row: the colour is the pen at the start of the call.
  run("color(5) pset(_b, 0, 5, 2)");
  EXPECT_EQ(count(ink(5)), 5);
}

TEST_F(draw_api_test, rectfill_and_its_inverted_form) {
  run("rectfill(10, 10, 20, 20, 7)");
  EXPECT_EQ(count(ink(7)), 121);
  run("cls() rectfill(10, 10, 20, 20, 0x800000007)");
  EXPECT_EQ(count(ink(7)), 64 * 48 - 121);
  EXPECT_EQ(px(15, 15), 0);
  run("cls() rectfill(10, 10, 20, 20, 7)");  // the flag is cleared again
  EXPECT_EQ(count(ink(7)), 121);
}

// An inverted shape reaching past the top or bottom of the clip leaves its
// inside there: the band above (or below) it is empty, not the whole edge row.
TEST_F(draw_api_test, inverted_shapes_past_the_clip_edge_leave_their_inside) {
  struct inverted_case {
    const char *call;
    int32_t x, y;  // a pixel inside the shape on the clip's edge row
  };
  const inverted_case cases[] = {
      {"circfill(32, 24, 30, 0x800000007)", 32, 0},
      {"circfill(32, 24, 30, 0x800000007)", 32, 47},
      {"ovalfill(10, -30, 50, 70, 0x800000007)", 30, 0},
      {"ovalfill(10, -30, 50, 70, 0x800000007)", 30, 47},
      {"rrectfill(10, -30, 40, 100, 5, 0x800000007)", 30, 0},
      {"rrectfill(10, -30, 40, 100, 5, 0x800000007)", 30, 47},
      {"ovalfill(20, -30, 21, 70, 0x800000007)", 20, 0},
      {"ovalfill(20, -30, 21, 70, 0x800000007)", 21, 47},
      {"clip(0, 10, 64, 20) circfill(32, 20, 15, 0x800000007)", 32, 10},
      {"clip(0, 10, 64, 20) circfill(32, 20, 15, 0x800000007)", 32, 29},
  };
  for (const inverted_case &c : cases) {
    run(std::string("clip() cls() ") + c.call);
    EXPECT_EQ(px(c.x, c.y), 0) << c.call << " at " << c.x << "," << c.y;
    EXPECT_EQ(px(0, c.y), ink(7)) << c.call << " (the corner outside the shape)";
  }
  run("clip()");
}

TEST_F(draw_api_test, circles_with_negative_radius) {
  EXPECT_EQ(charge(lua54_circfill, "50, 50, -1"), 0);
  EXPECT_EQ(count(0), 64 * 48);
  run("circfill(50, 50, -1, 0x800000003)");
  EXPECT_EQ(count(ink(3)), 64 * 48);
  run("cls() circ(20, 20, -2, 4) circ(20, 20, 0, 4)");
  EXPECT_EQ(count(ink(4)), 1);
  run("cls() circfill(20, 20, 3, 5)");
  EXPECT_EQ(px(20, 20), ink(5));
  EXPECT_EQ(px(23, 20), ink(5));
  EXPECT_EQ(px(24, 20), 0);
}

TEST_F(draw_api_test, rect_and_rrect_outlines) {
  struct {
    const char *code;
    int64_t pixels;
  } cases[] = {
      {"rect(0, 0, 9, 0, 2)", 10},        {"rect(0, 0, 9, 1, 2)", 20},
      {"rect(0, 0, 9, 9, 2)", 36},        {"rrect(0, 0, 3, 3, 2, 2)", 8},
      {"rrect(0, 0, 0, 5, 1, 2)", 0},     {"rrectfill(1, 1, 5, 4, 0, 2)", 20},
      {"rrectfill(1, 1, 0, 4, 0, 2)", 0},
  };
  for (auto &c : cases) {
    run("cls()");
    run(c.code);
    EXPECT_EQ(count(ink(2)), c.pixels) << c.code;
  }
  // A rounded rectangle: its corners are cut, its edges straight.
  run("cls() rrect(0, 0, 10, 10, 3, 2)");
  EXPECT_EQ(px(0, 0), 0);
  EXPECT_EQ(px(5, 0), ink(2));
  EXPECT_EQ(px(0, 5), ink(2));
  EXPECT_EQ(px(9, 5), ink(2));
  run("cls() rrectfill(0, 0, 10, 10, 3, 2)");
  EXPECT_EQ(px(0, 0), 0);
  EXPECT_EQ(px(5, 5), ink(2));
  EXPECT_EQ(count(ink(2)), 100 - 4 * 5);  // five pixels cut at each corner
}

TEST_F(draw_api_test, line_keeps_an_end_point_between_calls) {
  run("line() line(5, 5, 3)");
  EXPECT_EQ(count(ink(3)), 0);
  run("line(10, 5)");
  EXPECT_EQ(count(ink(3)), 6);
  EXPECT_EQ(px(10, 5), ink(3));
  run("cls() line() line(0, 0, 10, 0, 3)");
  EXPECT_EQ(count(ink(3)), 11);
  EXPECT_EQ(peek4(int32_t(RAM_LINE_END_X)), 10);
  run("cls() line(20, 0)");  // the reset flag was still set: only recorded
  EXPECT_EQ(count(ink(3)), 0);
  EXPECT_EQ(peek4(int32_t(RAM_LINE_END_X)), 20);
  // A batch polyline from the stored end point.
  run("_p = userdata('f64', 2, 2) _p:set(0, 0, 20, 5, 25, 5) line(_p)");
  EXPECT_EQ(count(ink(3)), 6 + 6 - 1);
}

TEST_F(draw_api_test, sprites_by_number_mirrored_and_batched) {
  set_sprite(3, 4, 4, [](int x, int y) { return 1 + x + 4 * y; });
  run("spr(16384, 0, 0) spr(-1, 0, 0) spr(4, 0, 0)");
  EXPECT_EQ(count(0), 64 * 48);
  run("spr(3, 2, 2)");
  EXPECT_EQ(px(2, 2), ink(1));
  EXPECT_EQ(px(5, 5), ink(16));
  run("cls() camera(100, 100) _s = userdata('f64', 5, 1) _s:set(0, 0, 3, 10, 20, -1, 0) spr(_s)");
  EXPECT_EQ(px(10, 20), ink(4));  // mirrored in x, the camera not applied
  EXPECT_EQ(px(13, 20), ink(1));
}

TEST_F(draw_api_test, sspr_scales_and_mirrors_with_negative_sizes) {
  set_sprite(1, 8, 8, [](int x, int y) { return 1 + x + 8 * y; });
  run("sspr(1, 0, 0, 8, 8, 16, 0, -16, 16)");  // left edge at 0, mirrored, doubled
  EXPECT_EQ(px(0, 0), ink(8));
  EXPECT_EQ(px(1, 0), ink(8));
  EXPECT_EQ(px(15, 15), ink(57));
  EXPECT_EQ(px(16, 0), 0);
  run("cls() sspr(1, 4, 4, 8, 8, 0, 0)");  // only the 4x4 inside the sprite
  EXPECT_EQ(px(0, 0), ink(37));
  EXPECT_EQ(px(3, 0), ink(40));
  EXPECT_EQ(px(4, 0), 0);
}

TEST_F(draw_api_test, tline3d_reads_a_sprite_row) {
  set_sprite(2, 8, 8, [](int x, int y) { return 1 + x + 8 * y; });
  run("tline3d(2, 0, 0, 7, 0, 0, 0)");
  for (int x = 0; x < 8; x++) EXPECT_EQ(px(x, 0), ink(1 + x)) << x;
  EXPECT_EQ(px(8, 0), 0);
}

}  // namespace

namespace {

using draw_api_limits_test = api_fixture;

// Coordinates, sizes and radii at the ends of the integer range, under
// cameras at both ends: nothing wraps round onto the target, and nothing
// overflows on the way (the sanitizer build checks that).
TEST_F(draw_api_limits_test, extreme_arguments_never_wrap_onto_the_target) {
  const char *cameras[] = {"camera()", "camera(-2147483648, 2147483647)",
                           "camera(2147483647, -2147483648)"};
  const char *calls[] = {
      "pset(4294967301, 5, 7)",
      "pset(2147483647, 5, 7)",
      "rectfill(4294967296, 0, 4294967306, 10, 7)",
      "rect(4294967296, 0, 4294967306, 10, 7)",
      "ovalfill(4294967296, 0, 4294967306, 10, 7)",
      "oval(4294967296, 0, 4294967306, 10, 7)",
      "circfill(4294967301, 5, 3, 7)",
      "circ(4294967301, 5, 3, 7)",
      "circ(-2147483648, 5, 3, 7)",
      "circfill(-2147483648, 5, 3, 7)",
      "rrect(4294967296, 0, 10, 10, 2, 7)",
      "rrectfill(4294967296, 0, 10, 10, 2, 7)",
      "rrect(2147483647, 2147483647, 2147483647, 2147483647, 2147483647, 7)",
      "rrectfill(2147483647, 2147483647, 2147483647, 2147483647, 2147483647, 7)",
      "line(4294967296, 0, 4294967306, 10, 7)",
      "line() line(4294967296, 0, 7) line(4294967306, 10)",
      "spr(1, 4294967296, 0)",
      "sspr(1, 0, 0, 8, 8, 4294967296, 0)",
      "sspr(1, math.mininteger, 0, 8, 8, 0, 0, math.mininteger, 8)",
      "sspr(1, 0, 0, 8, 8, 0, 0, math.maxinteger, math.maxinteger)",
      "tline3d(1, 4294967296, 0, 4294967306, 0, 0, 0)",
      "_draw_map(_map, math.mininteger, math.mininteger)",
      "_draw_map(_map, 0, 0, math.mininteger, math.maxinteger)",
      "_draw_map(_map, 0, 0, 4294967296, 0)",
  };
  set_sprite(1, 8, 8, [](int, int) { return 7; });
  lua_bitmap("i16", 4, 4, "_map");
  run("for y = 0, 3 do for x = 0, 3 do _map:set(x, y, 1) end end");
  for (const char *cam : cameras) {
    for (const char *call : calls) {
      run("cls() camera()");
      run(cam);
      EXPECT_EQ(run(call), "nil") << cam << " " << call;
      EXPECT_EQ(count(0), 64 * 48) << cam << " " << call;
    }
  }
}

}  // namespace
