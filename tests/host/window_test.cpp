// The window's placement rules, the enlargement of frames, the icon, the
// renderer fallback and the frame pacing.
#include <chrono>

#include "base/os_time.h"
#include "machine/app.h"
#include "host/frame_pacing.h"
#include "host/os_host.h"
#include "tests/host/host_fixture.h"

namespace {

using window_test = host_fixture;

TEST(window_rules, DestinationRectangleFollowsTheDisplaySettings) {
  struct {
    int pp, stretch, w720, W, H;
    SDL_Rect want;
  } cases[] = {
      {0, 0, 0, 1000, 1000, {0, 219, 1000, 562}},  // 16:9 kept, bars above and below
      {0, 0, 0, 2000, 1000, {111, 0, 1777, 1000}},
      {0, 0, 0, 960, 540, {0, 0, 960, 540}},
      {1, 0, 0, 1000, 600, {20, 30, 960, 540}},  // whole factor 2
      {1, 0, 0, 400, 300, {-40, 15, 480, 270}},  // never below factor 1
      {1, 1, 0, 1000, 600, {20, 30, 960, 540}},  // each axis on its own
      {1, 1, 0, 1000, 300, {20, 15, 960, 270}},
      {1, 1, 0, 400, 300, {200, 15, 0, 270}},  // too narrow: nothing shown
      {0, 1, 0, 333, 777, {0, 0, 333, 777}},
      {0, 0, 1, 1920, 1080, {320, 180, 1280, 720}},
      {0, 0, 0, 0, 0, {0, 0, 0, 0}},  // no window
  };
  for (auto c : cases) {
    config.pixel_perfect = c.pp, config.stretch = c.stretch, config.blit_720p = c.w720;
    SDL_Rect r = dest_rect_for(c.W, c.H);
    EXPECT_EQ(std::vector<int>({r.x, r.y, r.w, r.h}),
              std::vector<int>({c.want.x, c.want.y, c.want.w, c.want.h}))
        << c.pp << c.stretch << c.w720 << " " << c.W << "x" << c.H;
  }
  config.pixel_perfect = config.stretch = config.blit_720p = 0;
}

TEST(window_rules, ScaleFactorsAndPixelScale) {
  config.pixel_perfect = config.blit_720p = 0;
  EXPECT_EQ(preblit_scale_for(1440, 810), 4);
  EXPECT_EQ(preblit_scale_for(1439, 810), 3);
  EXPECT_EQ(preblit_scale_for(960, 540), 3);
  EXPECT_EQ(preblit_scale_for(959, 540), 2);
  config.pixel_perfect = 1;
  EXPECT_EQ(preblit_scale_for(1920, 1080), 1);
  config.pixel_perfect = 0;
  for (auto [in, out] : {std::pair{0, 2}, {1, 1}, {40, 16}, {-3, 1}, {5, 5}})
    EXPECT_EQ(clamp_pixel_scale(in), out) << in;
}

TEST(window_rules, Resample720pBlendsThreePixelsIntoEight) {
  std::vector<uint32_t> src(480 * 270), out(1280 * 720);
  for (int y = 0; y < 270; y++)
    for (int x = 0; x < 480; x++) src[y * 480 + x] = uint32_t(x * 7 + y * 13) * 0x01030507u;
  resample_720p(src.data(), out.data());
  auto half = [](uint32_t p, uint32_t q) {
    return ((p >> 1) & 0x7f7f7f7f) + ((q >> 1) & 0x7f7f7f7f);
  };
  auto quarter = [](uint32_t p, uint32_t q) {
    return ((p >> 2) & 0x3f3f3f3f) + ((p >> 1) & 0x7f7f7f7f) + ((q >> 2) & 0x3f3f3f3f);
  };
  // Column pattern of one row (row 0 of each group of 8 is a plain source row).
  for (int g : {0, 1, 159}) {
    const uint32_t *s = &src[3 * g];
    const uint32_t *o = &out[8 * g];
    std::vector<uint32_t> want = {s[0], s[0], quarter(s[0], s[1]), s[1], s[1], half(s[1], s[2]),
                                  s[2], s[2]};
    EXPECT_EQ(std::vector<uint32_t>(o, o + 8), want) << g;
  }
  // Rows: 2 is 3/4 of source row 0 and 1/4 of row 1, 5 is half of rows 1 and 2;
  // the last output row is source row 269.
  std::vector<uint32_t> row0(1280), row1(1280), row2(1280);
  std::copy_n(&out[0], 1280, row0.begin());
  std::copy_n(&out[3 * 1280], 1280, row1.begin());
  std::copy_n(&out[6 * 1280], 1280, row2.begin());
  for (int x : {0, 2, 5, 1279}) {
    EXPECT_EQ(out[2 * 1280 + x], quarter(row0[x], row1[x])) << x;
    EXPECT_EQ(out[5 * 1280 + x], half(row1[x], row2[x])) << x;
  }
  EXPECT_EQ(out[719 * 1280], src[269 * 480]);
}

TEST(window_rules, IconEnlargesIndicesWithTransparentZero) {
  uint8_t pixels[256] = {};
  pixels[1] = 65;  // column 1 of row 0: palette entry 1
  pixels[16 * 15 + 15] = 3;
  uint32_t palette[64] = {};
  palette[1] = 0x123456, palette[3] = 0xABCDEF;
  std::vector<uint32_t> icon(128 * 128);
  build_window_icon(pixels, palette, icon.data());
  EXPECT_EQ(icon[0], 0u);
  EXPECT_EQ(icon[8], 0xFF123456u);
  EXPECT_EQ(icon[7 * 128 + 15], 0xFF123456u);
  EXPECT_EQ(icon[8 * 128 + 8], 0u);
  EXPECT_EQ(icon[127 * 128 + 127], 0xFFABCDEFu);
}

TEST_F(window_test, WindowIsBuiltFromTheSettingsAndKeepsItsSizeWhenRebuilt) {
  make_window(1);
  ASSERT_NE(host_window.sdl_window, nullptr);
  ASSERT_NE(host_window.sdl_renderer, nullptr);
  ASSERT_NE(host_window.sdl_texture, nullptr);
  EXPECT_EQ(std::vector<int>({host_window.sdl_window_w, host_window.sdl_window_h}),
            std::vector<int>({480, 270}));
  EXPECT_EQ(host_window.preblit_scale, 2);
  // The user's size survives a rebuild.
  SDL_SetWindowSize(host_window.sdl_window, 1000, 600);
  config.headless = 0;
  config.pixel_scale = 3;
  host_apply_video_config();
  config.headless = 1;
  SDL_Rect r = get_dest_rect();
  EXPECT_EQ(std::vector<int>({host_window.sdl_window_w, host_window.sdl_window_h}),
            std::vector<int>({1000, 600}));
  EXPECT_EQ(r.w, 1000);
  // A long title is refused; a short one is kept and shown.
  host_set_window_title(std::string(1024, 't').c_str());
  EXPECT_STREQ(SDL_GetWindowTitle(host_window.sdl_window), "Kavelund");
  host_set_window_title("Kavelund test");
  EXPECT_STREQ(SDL_GetWindowTitle(host_window.sdl_window), "Kavelund test");
  host_set_window_title("Kavelund");
  // A frame is shown without complaint.
  std::vector<uint32_t> frame(480 * 270, 0x00FF8000);
  blit_to_sdl_window(frame.data(), 480);
  // Without the headless setting nothing is built.
  destroy_host_window();
  host_apply_video_config();
  EXPECT_EQ(host_window.sdl_window, nullptr);
}

TEST_F(window_test, RendererFailureFallsBackToSoftwareThenToNoWindow) {
  static std::vector<uint32_t> asked;
  static int failures;
  host_make_renderer = [](SDL_Window *w, uint32_t flags) -> SDL_Renderer * {
    asked.push_back(flags);
    if (failures-- > 0) return nullptr;
    return SDL_CreateRenderer(w, -1, flags);
  };
  asked.clear(), failures = 1;
  make_window(1);
  EXPECT_EQ(asked, std::vector<uint32_t>({SDL_RENDERER_PRESENTVSYNC, SDL_RENDERER_SOFTWARE}));
  ASSERT_NE(host_window.sdl_renderer, nullptr);
  SDL_RendererInfo info;
  SDL_GetRendererInfo(host_window.sdl_renderer, &info);
  EXPECT_TRUE(info.flags & SDL_RENDERER_SOFTWARE);

  asked.clear(), failures = 2;
  testing::internal::CaptureStdout();
  make_window(1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "could not create renderer\n");
  EXPECT_EQ(host_window.sdl_window, nullptr);
  EXPECT_EQ(host_window.sdl_renderer, nullptr);
  // The workstation goes on: frames, events and the mouse lock find no window.
  std::vector<uint32_t> frame(480 * 270);
  blit_to_sdl_window(frame.data(), 480);
  start_frame();
  host_lock_mouse_cursor(4, 64, 64);
  host_warp_mouse_pointer(100, 50);
  EXPECT_EQ(app.mouse_locked, 4);
  start_frame();
  host_lock_mouse_cursor(0, 64, 64);
  EXPECT_EQ(app.mouse_locked, 0);
}

TEST_F(window_test, PacingWaitsOutTheFrameAndSlowsDownWhenIdle) {
  using clock = std::chrono::steady_clock;
  auto ms_of = [](auto f) {
    auto t0 = clock::now();
    f();
    return std::chrono::duration<double, std::milli>(clock::now() - t0).count();
  };
  config.battery_saver = 0;
  pace_frame();
  double normal = ms_of(pace_frame);
  EXPECT_GE(normal, 15.0);
  EXPECT_EQ(app.battery_saver_active, 0u);

  config.battery_saver = 1;
  app.boot_finished = 1;
  while (os_get_time() < 700) host_sleep(10);  // a clock old enough to have been idle
  app.last_activity = os_get_time() - 600;
  pace_frame();
  double idle = ms_of(pace_frame);
  EXPECT_EQ(app.battery_saver_active, 1u);
  EXPECT_GE(idle, 31.0);
  // Any host event counts as activity: the next frame is back to 16 ms.
  SDL_Event e = {};
  e.type = SDL_USEREVENT;
  SDL_PushEvent(&e);
  start_frame();
  pace_frame();
  EXPECT_EQ(app.battery_saver_active, 0u);
  // A late frame does not wait at all (a wait would take the whole 16 ms;
  // the margin is for a busy machine).
  host_pacing.last_t = os_get_time() - 50;
  EXPECT_LT(ms_of(pace_frame), 10.0);
  config.battery_saver = 0;
}

// The frame that asks to stop is not slept out: the program ends at once. A
// stop held by a process keeps its frames paced, and so does one asked with a
// reboot, which goes first and clears it.
TEST_F(window_test, TheFrameThatAsksToStopEndsWithoutItsSleep) {
  struct {
    uint32_t exit, reboot, exclusive;
    bool paced;
  } cases[] = {
      {1, 0, 0, false},  // the last frame
      {1, 0, 3, true},   // held by process 3
      {1, 1, 0, true},   // the reboot wins
      {1, 1, 3, true},  {0, 1, 0, true}, {0, 0, 0, true},
  };
  config.headless = 1;
  for (auto c : cases) {
    pace_frame();
    uint32_t paced_at = host_pacing.last_t;
    app.exit_request = c.exit, app.reboot_request = c.reboot, app.exclusive_process = c.exclusive;
    end_frame();
    if (c.paced)
      EXPECT_GE(host_pacing.last_t - paced_at, 15u) << c.exit << c.reboot << c.exclusive;
    else
      EXPECT_EQ(host_pacing.last_t, paced_at) << c.exit << c.reboot << c.exclusive;
  }
  app.exit_request = app.reboot_request = app.exclusive_process = 0;
}

// The end of a period is found across the wrap of the 32-bit clock: a frame
// that ends just before the wrap still waits, one late across it does not.
TEST(pacing, TheEndOfAPeriodIsFoundAcrossTheClockWrap) {
  struct {
    uint32_t now, target;
    bool reached;
  } cases[] = {
      {100, 100, true},           {99, 100, false},
      {UINT32_MAX - 7, 8, false},  // the period ends after the wrap
      {5, UINT32_MAX - 15, true},  // a late frame whose period ended before it
      {UINT32_MAX, 0, false},     {0, UINT32_MAX, true},
  };
  for (auto c : cases)
    EXPECT_EQ(pacing_time_reached(c.now, c.target), c.reached) << c.now << " " << c.target;
}

// The pacing sleep wakes at its time, and returns at once for a time that
// has come, has passed (the count has wrapped past it) or lies too far ahead.
TEST(pacing_sleep, WakesAtItsTimeAndNeverWaitsOutAPastOne) {
  uint32_t target = os_get_time() + 25;
  os_sleep_until(target);
  EXPECT_GE(os_get_time(), target);
  struct {
    int64_t from_now;
  } at_once[] = {{0}, {-1}, {-5000}, {int64_t(os_sleep_longest_ms) + 1}};
  for (auto c : at_once) {
    uint32_t start = os_get_time();
    os_sleep_until(uint32_t(start + c.from_now));
    EXPECT_LT(os_get_time() - start, 1000u) << c.from_now;  // loose for a busy machine
  }
}

}  // namespace
