// Single drawing calls with hostile arguments: each returns promptly
// (drawing what can be seen, or failing a batch with the overrun error) and
// none computes past its integer range (the sanitizer build checks that).
#include <chrono>

#include "gfx/blit.h"
#include "gfx/draw_api.h"
#include "gfx/map.h"
#include "gfx/print.h"
#include "tests/gfx/api_fixture.h"
#include "tests/support/cpu_clock.h"

namespace {

struct draw_bounds_test : api_fixture {
  void SetUp() override {
    api_fixture::SetUp();
    target = lua_bitmap("u8", 480, 270, "_screen");
    set_target(target);
    set_sprite(1, 8, 8, [](int x, int y) { return 1 + (x + y) % 15; });
    set_sprite(2, 64, 64, [](int x, int) { return 1 + x % 15; });
    run("_map = userdata('i16', 480, 2) for x = 0, 479 do _map:set(x, 0, 1) _map:set(x, 1, 2) end");
    // Batch rows read with stride 0: one row drawn over and over.
    run("_fill = userdata('f64', 5, 1) _fill:set(0, 0, 0, 0, 479, 269, 7)");
    run("_off = userdata('f64', 5, 1) _off:set(0, 0, 1000, 1000, 1010, 1010, 7)");
    run("_sprite = userdata('f64', 5, 1) _sprite:set(0, 0, 2, 100, 100, 0, 0)");
    run("_circle = userdata('f64', 4, 1) _circle:set(0, 0, 240, 135, 200, 7)");
    // Texts of many steps, each charged 1 cycle: a repeat code before every
    // glyph, newlines, tabs, wrapping at 0, clears and long pokes.
    run("_text0 = string.rep('\\1zA', 1 << 20)");
    run("_text1 = string.rep('A', 1 << 24)");
    run("_text2 = '\\6$\\6r0' .. string.rep('A', 1 << 22)");
    run("_text3 = string.rep('\\1z\\6c0', 1 << 16)");
    run("_text4 = '\\1z\\6@0000ffff' .. string.rep('x', 1 << 22)");
    run("_text5 = string.rep('\\1z\\n', 1 << 20)");
    run("_text6 = string.rep('\\1z\\t', 1 << 20)");
    run("_text7 = string.rep('\\1z\\6.abcdefgh', 1 << 18)");
    run("_text8 = string.rep('\\1z\\6ho31aA', 1 << 18)");
  }
  void TearDown() override {
    cpu_slice_begin(CPU_OUTSIDE_SLICE);
    api_fixture::TearDown();
  }
};

#if defined(NDEBUG) && !defined(__SANITIZE_ADDRESS__)
constexpr double BOUND_MS = 50;
#else
constexpr double BOUND_MS = 5000;  // sanitizer and debug builds: only a stall fails
#endif

// Each call under a fresh one-frame slice returns in time. A single call
// draws what can be seen and is charged for its whole shape (so the slice's
// next instruction may fail with the overrun error); a batch whose work is
// past the bound fails with that error itself.
TEST_F(draw_bounds_test, every_hostile_call_returns_promptly) {
  struct hostile_case {
    const char *call;
    bool fails;
  };
  const hostile_case cases[] = {
      {"sspr(1, 0, 0, 8, 8, 1000, 1000, 1 << 28, 1 << 28)", false},
      {"sspr(1, 0, 0, 8, 8, -(1 << 28), -(1 << 28), 1 << 29, 1 << 29)", false},
      {"_draw_map(_map, 0, 0, 0, 0, 480, 2, 0, 1, 65536)", false},
      {"_draw_map(_map, 0, 0, 0, -65000, 480, 2, 0, 65536, 65536)", false},
      {"circ(240, 135, 1 << 28)", false},
      {"circ(240, 135, math.maxinteger)", false},
      {"circ(240, (1 << 28) + 100, 1 << 28)", false},
      {"circfill(240, (1 << 28) + 100, 1 << 28)", false},
      {"circfill(240, (1 << 28) + 100, 1 << 28, 0x800000007)", false},
      {"circfill(240, 135, 1 << 28, 0x800000007)", false},
      {"oval(0, -(1 << 29), 10, 1 << 29)", false},
      {"ovalfill(0, -(1 << 29), 10, 1 << 29)", false},
      {"oval(-(1 << 29), 0, 1 << 29, 10)", false},
      {"ovalfill(-(1 << 29), 0, 1 << 29, 10, 0x800000007)", false},
      {"rrect(-(1 << 28), -(1 << 28), 1 << 29, 1 << 29, 1 << 28)", false},
      {"rrectfill(-(1 << 28), -(1 << 28), 1 << 29, 1 << 29, 1 << 28)", false},
      {"rrectfill(-(1 << 28), -(1 << 28), 1 << 29, 1 << 29, 1 << 28, 0x800000007)", false},
      {"rrect(0, 0, math.maxinteger, math.maxinteger, math.maxinteger)", false},
      {"tline3d(1, -(1 << 30), 5, 1 << 30, 5, 0, 0, 8, 0)", false},
      {"line(-(1 << 30), -(1 << 29), 1 << 30, 1 << 29)", false},
      {"rectfill(_off, 0, 1 << 18, 5, 0)", false},
      {"rectfill(_fill, 0, 1 << 18, 5, 0)", true},
      {"spr(_sprite, 0, 1 << 18, 5, 0)", true},
      {"circ(_circle, 0, 1 << 18, 4, 0)", true},
      {"circfill(_circle, 0, 1 << 18, 4, 0)", true},
      {"_print_q7scii(_text0)", true},
      {"_print_q7scii(_text1)", true},
      {"_print_q7scii(_text2)", true},
      {"_print_q7scii(_text3)", true},
      {"_print_q7scii(_text4)", true},
      {"_print_q7scii(_text5)", true},
      {"_print_q7scii(_text6)", true},
      {"_print_q7scii(_text7)", true},
      {"_print_q7scii(_text8, 100, 100)", true},
      {"_print_q7scii(string.rep('A', 1000), math.maxinteger, math.mininteger)", false},
  };
  for (const hostile_case &c : cases) {
    // The best of three tries of the call's CPU time: a stall fails every
    // one, a busy host not.
    double ms = 1e9;
    std::string got;
    for (int attempt = 0; attempt < 3 && ms >= BOUND_MS; attempt++) {
      run("clip() camera() cls()");
      cpu_slice_begin(CPU_CYCLES_PER_FRAME);
      double t0 = thread_cpu_ms();
      got = run(c.call);
      ms = std::min(ms, thread_cpu_ms() - t0);
      cpu_slice_begin(CPU_OUTSIDE_SLICE);
    }
    EXPECT_LT(ms, BOUND_MS) << c.call;
    bool overran = got.find(CPU_OVERRUN_MESSAGE) != std::string::npos;
    if (c.fails)
      EXPECT_TRUE(overran) << c.call << " gave " << got;
    else
      EXPECT_TRUE(got == "nil" || overran) << c.call << " gave " << got;
  }
}

// A batch that stops at the bound has drawn, and been charged for, the rows
// before it; a batch within the bound is not refused.
TEST_F(draw_bounds_test, batch_stops_at_the_bound_with_its_rows_charged) {
  cpu_slice_begin(CPU_CYCLES_PER_FRAME);
  EXPECT_NE(run("rectfill(_fill, 0, 1 << 18, 5, 0)").find(CPU_OVERRUN_MESSAGE), std::string::npos);
  EXPECT_GT(int64_t(cpu_budget.cycles), 2 * int64_t(CPU_CYCLES_PER_FRAME));
  EXPECT_LT(int64_t(cpu_budget.cycles), int64_t(CPU_CYCLES_PER_FRAME) + CPU_OVERRUN_LIMIT);
  EXPECT_EQ(px(479, 269), 7);
  cpu_slice_begin(CPU_CYCLES_PER_FRAME);
  EXPECT_EQ(run("rectfill(_fill, 0, 20, 5, 0)"), "nil");
  EXPECT_LT(int64_t(cpu_budget.cycles), int64_t(CPU_CYCLES_PER_FRAME) + CPU_OVERRUN_LIMIT);
}

// An inverted rectangle with an edge at the end of the integer range fills
// only what lies around it.
TEST_F(draw_bounds_test, inverted_rectfill_at_the_clamp_leaves_its_inside) {
  const char *calls[] = {"rectfill(10, 10, 20, 1 << 40, 0x800000007)",
                         "rectfill(10, 10, 20, math.maxinteger, 0x800000007)",
                         "rectfill(-(1 << 40), 10, 20, 1 << 40, 0x800000007)"};
  for (const char *call : calls) {
    run("cls()");
    EXPECT_EQ(run(call), "nil") << call;
    EXPECT_EQ(px(15, 100), 0) << call;
    EXPECT_EQ(px(15, 5), 7) << call;
  }
  EXPECT_EQ(px(25, 100), 7);
}

// Clip rectangles from the ends of the 64-bit range: no overflow, and an
// edge far off the target never wraps back onto it.
TEST_F(draw_bounds_test, clip_at_the_ends_of_the_range) {
  struct clip_case {
    const char *call;
    bool empty;
  };
  const clip_case cases[] = {
      // A right or bottom edge below 0 compares above every extent.
      {"clip(math.mininteger, 0, math.mininteger, 10)", false},
      {"clip(math.maxinteger, 0, math.maxinteger, 10)", true},
      {"clip(0, math.mininteger, 10, -1)", false},
      {"clip(65536, 0, 10, 10)", true},
      {"clip(65536, 0, 10, 10, true)", true},
      {"clip(math.mininteger, math.mininteger, math.maxinteger, math.maxinteger)", false},
      {"clip(0, 0, 10, math.mininteger, true)", true},
  };
  for (const clip_case &c : cases) {
    run("clip()");
    std::string got = root_results(std::string(c.call));
    EXPECT_EQ(got.substr(got.rfind(',') + 1), c.empty ? "true" : "false") << c.call << " " << got;
  }
}

// Calls whose lines or rows draw a pixel or none each are charged at least
// a cycle for every one they visit.
TEST_F(draw_bounds_test, every_row_and_line_visited_is_charged) {
  struct charge_case {
    lua_CFunction fn;
    const char *args;
    int64_t at_least;
  };
  const charge_case cases[] = {
      {lua54_draw_map, "_map, 0, 0, 0, 0, 480, 2, 0, 1, 65536", 480 * 270},
      {lua54_sspr, "1, 0, 0, 8, 8, 0, 0, 1 << 20, 270", 270},
      {lua54_sspr, "1, 0, 0, 8, 8, 0, 0, 480, 1 << 20", 480},
      {lua54_rrectfill, "0, 0, 1, 270, 0, 7", 270},
      {lua54_rectfill, "0, 0, 0, 269, 7", 270},
      // A sprite of one-pixel rows pays for its rows (a third of each).
      {lua54_spr, "userdata('u8', 1, 270), 0, 0", 90},
      // Batch textured lines of two pixels: each line visited is planned.
      {lua54_tline3d,
       "(function() local b = userdata('f64', 12, 1) b:set(0, 0, 1, 0, 0, 1, 0, 0, 0, 8, 8) "
       "return b end)(), 0, 1000, 12, 0",
       1000 * TLINE_LINE_COST},
  };
  for (const charge_case &c : cases) EXPECT_GE(charge(c.fn, c.args), c.at_least) << c.args;
}

// On a target taller or wider than the i16 range, a clip reaching its far
// edge covers it all.
TEST_F(draw_bounds_test, clip_covers_a_target_beyond_the_i16_range) {
  const char *calls[] = {"clip()", "clip(0, 0, 40000, 40000)",
                         "clip(0, 0, 1 << 40, 1 << 40, true)"};
  for (int wide = 0; wide < 2; wide++) {
    run(wide ? "_long = userdata('u8', 40000, 2)" : "_long = userdata('u8', 2, 40000)");
    lua_getglobal(root->L, "_long");
    udata *t = to_udata(root->L, -1);
    lua_pop(root->L, 1);
    set_target(t);
    for (const char *call : calls) {
      run(call);
      EXPECT_EQ(root->target_clip.right, int32_t(t->width)) << call;
      EXPECT_EQ(root->target_clip.bottom, int32_t(t->height)) << call;
      run("pset(39999, 39999, 7) pset(1, 1, 7) pset(39999, 1, 7) pset(1, 39999, 7)");
      EXPECT_EQ(pixels(t)[udata_count(t) - 1], 7) << call;
    }
  }
  set_target(target);
  run("_long = nil");
}

}  // namespace

// A paused print resumes outside any slice: the rest of a long text is
// dropped at the overrun bound instead of running to its end.
TEST_F(draw_bounds_test, resumed_print_stops_at_the_bound) {
  use_small_font();
  run("_print_q7scii('\\0061' .. string.rep('\\1zA', 1 << 20))");
  ASSERT_NE(root->print.text, nullptr);
  cpu_slice_begin(CPU_OUTSIDE_SLICE);
  auto t0 = std::chrono::steady_clock::now();
  int32_t resumed = 0;
  for (int frame = 0; frame < 3 && root->print.text; frame++) resumed = continue_print_text();
  double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_LT(ms, 2 * BOUND_MS);
  EXPECT_EQ(resumed, 2);
  EXPECT_EQ(root->print.text, nullptr);
}

namespace {

// Targets one pixel across and 2^24 - 1 long: every row (or column) of a
// huge shape is visible, so the work is what the call is charged for.
struct narrow_target_test : draw_bounds_test {};

// The calls on a tall target, and the same shapes turned on a wide one:
// each returns within the bound, drawing what fits or failing with the
// overrun error. The largest jobs below the bound (the last rows) draw.
TEST_F(narrow_target_test, shapes_across_every_row_return_promptly) {
  struct narrow_case {
    const char *tall, *wide;
    bool draws;
  };
  const narrow_case cases[] = {
      {"rrectfill(0, 0, 1, 1 << 24, 0, 0)", "rrectfill(0, 0, 1 << 24, 1, 0, 0)", false},
      {"rrectfill(0, 0, 1, 1 << 24, 0, 0x800000007)", "rrectfill(0, 0, 1 << 24, 1, 0, 0x800000007)",
       false},
      {"rrectfill(0, 0, 1, 1 << 24, 3, 7)", "rrectfill(0, 0, 1 << 24, 1, 3, 7)", false},
      {"rrect(0, 0, 1, 1 << 24, 3, 7)", "rrect(0, 0, 1 << 24, 1, 3, 7)", false},
      {"circ(0, 1 << 29, 1 << 30, 7)", "circ(1 << 29, 0, 1 << 30, 7)", false},
      {"circfill(0, 1 << 25, 1 << 25, 7)", "circfill(1 << 25, 0, 1 << 25, 7)", false},
      {"circfill(0, 1 << 25, 1 << 25, 0x800000007)", "circfill(1 << 25, 0, 1 << 25, 0x800000007)",
       false},
      {"ovalfill(-(1 << 20), 0, 1 << 20, 1 << 25, 7)",
       "ovalfill(0, -(1 << 20), 1 << 25, 1 << 20, 7)", false},
      {"oval(-(1 << 20), 0, 1 << 20, 1 << 25, 7)", "oval(0, -(1 << 20), 1 << 25, 1 << 20, 7)",
       false},
      {"ovalfill(0, 0, 1, 1 << 25, 0x800000007)", "ovalfill(0, 0, 1 << 25, 1, 0x800000007)", false},
      {"rectfill(0, 0, 0, 1 << 25, 0x800000007)", "rectfill(0, 0, 1 << 25, 0, 0x800000007)", false},
      {"sspr(1, 0, 0, 8, 8, 0, 0, 1 << 25, 1 << 24)", "sspr(1, 0, 0, 8, 8, 0, 0, 1 << 24, 1 << 25)",
       false},
      {"sspr(1, 0, 0, 8, 8, 0, 0, 1, 1 << 24)", "sspr(1, 0, 0, 8, 8, 0, 0, 1 << 24, 1)", false},
      {"tline3d(1, 0, 0, 0, 1 << 24, 0, 0, 8, 8)", "tline3d(1, 0, 0, 1 << 24, 0, 0, 0, 8, 8)",
       false},
      {"line(0, 0, 0, 1 << 24)", "line(0, 0, 1 << 24, 0)", false},
      {"_draw_map(_map, 0, 0, 0, 0, 480, 2, 0, 1, 65536)",
       "_draw_map(_map, 0, 0, 0, 0, 480, 2, 0, 65536, 1)", false},
      {"rect(0, 0, 0, 1 << 24, 7)", "rect(0, 0, 1 << 24, 0, 7)", false},
      {"circfill(0, 0, -1, 0x800000007)", "circfill(0, 0, -1, 0x800000007)", false},
      {"rrectfill(0, 0, 0, 0, 0, 0x800000007)", "rrectfill(0, 0, 0, 0, 0, 0x800000007)", false},
      {"rrectfill(0, 0, 1, 1 << 20, 0, 7)", "rrectfill(0, 0, 1 << 20, 1, 0, 7)", true},
      {"line(0, 0, 0, 1 << 21, 7)", "line(0, 0, 1 << 21, 0, 7)", true},
      {"tline3d(1, 0, 0, 0, 1 << 21, 0, 0, 8, 8)", "tline3d(1, 0, 0, 1 << 21, 0, 0, 0, 8, 8)",
       true},
      {"rrectfill(0, 0, 1, 1 << 20, 3, 7)", "rrectfill(0, 0, 1 << 20, 1, 3, 7)", true},
      {"circfill(0, 1 << 17, 1 << 17, 7)", "circfill(1 << 17, 0, 1 << 17, 7)", true},
      {"circ(0, 1 << 18, 1 << 18, 7)", "circ(1 << 18, 0, 1 << 18, 7)", true},
      {"ovalfill(-(1 << 10), 0, 1 << 10, 1 << 18, 7)",
       "ovalfill(0, -(1 << 10), 1 << 18, 1 << 10, 7)", true},
      {"sspr(1, 0, 0, 8, 8, 0, 0, 1 << 17, 1 << 16)", "sspr(1, 0, 0, 8, 8, 0, 0, 1 << 16, 1 << 17)",
       true},
      {"sspr(1, 0, 0, 8, 8, 0, 0, 1, 1 << 20)", "sspr(1, 0, 0, 8, 8, 0, 0, 1 << 20, 1)", true},
  };
  for (int wide = 0; wide < 2; wide++) {
    run(wide ? "_narrow = userdata('u8', 16777215, 1)" : "_narrow = userdata('u8', 1, 16777215)");
    lua_getglobal(root->L, "_narrow");
    udata *narrow = to_udata(root->L, -1);
    lua_pop(root->L, 1);
    ASSERT_NE(narrow, nullptr);
    set_target(narrow);
    for (const narrow_case &nc : cases) {
      const char *c = wide ? nc.wide : nc.tall;
      run("cls()");
      double ms = 1e9;
      std::string got;
      for (int attempt = 0; attempt < 3 && ms >= BOUND_MS; attempt++) {
        cpu_slice_begin(CPU_CYCLES_PER_FRAME);
        double t0 = thread_cpu_ms();
        got = run(c);
        ms = std::min(ms, thread_cpu_ms() - t0);
        cpu_slice_begin(CPU_OUTSIDE_SLICE);
      }
      EXPECT_LT(ms, BOUND_MS) << c;
      EXPECT_TRUE(got == "nil" || (!nc.draws && got.find(CPU_OVERRUN_MESSAGE) != std::string::npos))
          << c << " gave " << got;
    }
    set_target(target);
    run("_narrow = nil collectgarbage()");
  }
}

// Calls whose work, found before drawing, passes the bound on a tall
// target fail with the overrun error and leave the target as it was: a
// sprite as tall as the target (the target itself, moved down a row, so a
// drawn call would smear its top pixel to the bottom), a rounded outline
// with edges as long as the target, a batch line as long as the target, a
// copy of the target one row down.
TEST_F(narrow_target_test, calls_past_the_bound_are_refused_undrawn) {
  run("_narrow = userdata('u8', 1, 16777215)");
  lua_getglobal(root->L, "_narrow");
  udata *narrow = to_udata(root->L, -1);
  lua_pop(root->L, 1);
  set_target(narrow);
  run("_long = userdata('f64', 5, 1) _long:set(0, 0, 0, 0, 0, 1e300, 7)");
  const char *calls[] = {
      "spr(_narrow, 0, 1)",
      "fillp(0x5a5a) spr(_narrow, 0, 1)",
      "rrect(0, 0, 1 << 31, 1 << 31, 5, 7)",
      "line(_long, 0, 4, 5, 0)",
      "blit(_narrow, _narrow, 0, 0, 0, 1)",
  };
  for (const char *c : calls) {
    run("fillp() cls() pset(0, 0, 7)");
    cpu_slice_begin(CPU_CYCLES_PER_FRAME);
    std::string got = run(c);
    cpu_slice_begin(CPU_OUTSIDE_SLICE);
    EXPECT_NE(got.find(CPU_OVERRUN_MESSAGE), std::string::npos) << c << " gave " << got;
    EXPECT_EQ(pixels(narrow)[1], 0) << c;
    EXPECT_EQ(pixels(narrow)[1000], 0) << c;
    EXPECT_EQ(pixels(narrow)[16777214], 0) << c;
  }
  run("fillp()");
  set_target(target);
  run("_narrow = nil _long = nil collectgarbage()");
}

}  // namespace

// A paused print whose every step clears a large target: the resumed run
// counts what the clears charge, so it stops at the bound after a few.
TEST_F(draw_bounds_test, resumed_print_counts_what_its_steps_charge) {
  run("_big = userdata('u8', 2048, 2048)");
  lua_getglobal(root->L, "_big");
  udata *big = to_udata(root->L, -1);
  lua_pop(root->L, 1);
  set_target(big);
  run("_print_q7scii('\\0061' .. string.rep('\\6c5', 3000))");
  ASSERT_NE(root->print.text, nullptr);
  cpu_slice_begin(CPU_OUTSIDE_SLICE);
  cpu_budget.cycles = 0;
  double t0 = thread_cpu_ms();
  int32_t resumed = 0;
  for (int frame = 0; frame < 3 && root->print.text; frame++) resumed = continue_print_text();
  EXPECT_LT(thread_cpu_ms() - t0, 2 * BOUND_MS);
  EXPECT_EQ(resumed, 2);
  EXPECT_EQ(root->print.text, nullptr);
  EXPECT_EQ(pixels(big)[0], 5);  // the clears before the bound ran
  set_target(target);
  run("_big = nil");
}

// The largest ordinary calls on a 4096 x 4096 target, each within the
// overrun bound of a fresh slice: none is refused, and each draws.
TEST_F(draw_bounds_test, full_target_shapes_on_a_large_target_are_drawn) {
  run("_big = userdata('u8', 4096, 4096)");
  lua_getglobal(root->L, "_big");
  udata *big = to_udata(root->L, -1);
  lua_pop(root->L, 1);
  set_target(big);
  struct big_case {
    const char *call;
    int32_t x, y;  // a pixel it draws
  };
  const big_case cases[] = {
      {"rectfill(0, 0, 4095, 4095, 7)", 2048, 2048},
      {"rrectfill(0, 0, 4096, 4096, 0, 7)", 2048, 2048},
      {"rrectfill(0, 0, 4096, 4096, 100, 7)", 2048, 0},
      {"circfill(2048, 2048, 2047, 7)", 2048, 2048},
      {"ovalfill(0, 0, 4095, 4095, 7)", 2048, 2048},
      {"rectfill(1, 1, 4094, 4094, 0x800000007)", 0, 2048},
      {"circfill(2048, 2048, 1, 0x800000007)", 2048, 2000},
      {"circ(2048, 2048, 2047, 7)", 1, 2048},
      {"rect(0, 0, 4095, 4095, 7)", 0, 2048},
      {"sspr(1, 0, 0, 8, 8, 0, 0, 2048, 2048)", 1024, 1024},
      {"sspr(1, 0, 0, 8, 8, 0, 0, 4096, 1024)", 2048, 512},
  };
  for (const big_case &c : cases) {
    run("cls()");
    cpu_slice_begin(CPU_CYCLES_PER_FRAME);
    EXPECT_EQ(run(c.call), "nil") << c.call;
    cpu_slice_begin(CPU_OUTSIDE_SLICE);
    EXPECT_NE(pixels(big)[int64_t(c.y) * 4096 + c.x], 0) << c.call;
  }
  set_target(target);
  run("_big = nil");
}
