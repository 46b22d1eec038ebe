// The output frame and copies of another process's video memory, with real
// processes: the frame source and its boot rules, palettes, line banks,
// enlargement, the check against SDL's own 8-bit to ARGB conversion, and
// _blit_process_video end to end from the root process.
#include "gfx/video.h"

#include <SDL.h>

#include "machine/app.h"
#include "tests/gfx/gfx_fixture.h"

namespace {

struct video_test : gfx_fixture {
  proc *wm = nullptr;
  void SetUp() override {
    gfx_fixture::SetUp();
    spawn("");
    wm = get_process(spawn(""));
    ASSERT_NE(wm, nullptr);
    ASSERT_EQ(wm->id, PID_WINDOW_MANAGER);
    reset_draw_state(wm);
    poke2_proc(wm, int32_t(RAM_DISPLAY_WIDTH), SCREEN_WIDTH);
    poke2_proc(wm, int32_t(RAM_DISPLAY_HEIGHT), SCREEN_HEIGHT);
    app.userland_booted = 1;
    boot_frames(133);
  }
  // The boot clock at frames x 16.6 ms.
  static void boot_frames(uint64_t frames) {
    app.boot_start_frame = 1;
    app.frame_count = 1 + frames;
  }
  void put(proc *p, int32_t x, int32_t y, uint8_t v) {
    poke_proc(p, int32_t(RAM_VIDEO) + y * SCREEN_WIDTH + x, v);
  }
  static uint32_t out(const uint32_t *frame, int32_t x, int32_t y) {
    return frame[y * SCREEN_WIDTH + x];
  }
};

TEST_F(video_test, source_follows_the_boot_rules) {
  put(wm, 0, 0, 8);
  int32_t w = 0, h = 0;
  boot_frames(132);  // 2191 ms: the boot screen (none yet: black)
  const uint32_t *f = generate_video_out(&w, &h);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(out(f, 0, 0), 0u);
  EXPECT_EQ(app.boot_finished, 0u);
  boot_frames(133);  // 2207 ms: process 3's picture, the boot marked finished
  f = generate_video_out(&w, &h);
  EXPECT_EQ(w, SCREEN_WIDTH);
  EXPECT_EQ(h, SCREEN_HEIGHT);
  EXPECT_EQ(out(f, 0, 0), 0xFF004Du);
  EXPECT_EQ(app.boot_finished, 1u);
  // Boot not signalled complete: the boot screen, though the boot is finished.
  app.userland_booted = 0;
  f = generate_video_out(&w, &h);
  EXPECT_EQ(out(f, 0, 0), 0u);
  app.userland_booted = 1;
  // Holding its frame: no frame, sizes untouched.
  poke_proc(wm, int32_t(RAM_PROCESS_FLAGS), PFLAG_HOLD_FRAME);
  w = h = -1;
  EXPECT_EQ(generate_video_out(&w, &h), nullptr);
  EXPECT_EQ(w, -1);
}

TEST_F(video_test, colours_banks_and_reboot) {
  put(wm, 3, 5, 3);
  put(wm, 4, 5, 0xC5);  // top two bits ignored
  put(wm, 3, 6, 3);
  poke_proc(wm, int32_t(RAM_DISPLAY_PALETTE) + 3, 9);
  poke_proc(wm, int32_t(RAM_LINE_BANKS) + 1, 0b10 << 2);  // line 5: bank 2
  poke4_to(wm, RAM_RGB_PALETTE + 4 * (128 + 9), 0x00FF8040);
  poke4_to(wm, RAM_RGB_PALETTE + 4 * (128 + 5), 0x00010203);
  const uint32_t *f = generate_video_out(nullptr, nullptr);
  EXPECT_EQ(out(f, 3, 5), 0x00FF8040u);
  EXPECT_EQ(out(f, 4, 5), 0x00010203u);
  EXPECT_EQ(out(f, 3, 6), system_palette[9]);  // line 6: bank 0
  EXPECT_EQ(display_pal[256 + 5], 2u);
  app.reboot_request = 1;
  f = generate_video_out(nullptr, nullptr);
  EXPECT_EQ(out(f, 3, 5), 0x007F4020u);
}

TEST_F(video_test, modes_enlarge_the_top_left_of_the_frame) {
  for (int32_t y = 0; y < SCREEN_HEIGHT; y++)
    for (int32_t x = 0; x < SCREEN_WIDTH; x++) put(wm, x, y, uint8_t((x * 7 + y * 3) & 63));
  const uint32_t *f = generate_video_out(nullptr, nullptr);
  std::vector<uint32_t> plain(f, f + SCREEN_WIDTH * SCREEN_HEIGHT);
  const struct {
    uint8_t mode;
    int32_t k;
  } cases[] = {{3, 2}, {4, 3}, {2, 1}, {5, 1}};
  for (auto c : cases) {
    poke_proc(wm, int32_t(RAM_VIDEO_MODE), c.mode);
    f = generate_video_out(nullptr, nullptr);
    for (int32_t y = 0; y < SCREEN_HEIGHT; y += 7)
      for (int32_t x = 0; x < SCREEN_WIDTH; x += 5)
        ASSERT_EQ(out(f, x, y), plain[size_t((y / c.k) * SCREEN_WIDTH + x / c.k)])
            << "mode " << int(c.mode) << " at " << x << "," << y;
    EXPECT_EQ(out(f, 479, 269), plain[size_t((269 / c.k) * SCREEN_WIDTH + 479 / c.k)]);
  }
}

// Our frame equals SDL converting the same 8-bit surface to ARGB8888 with
// the palette of each line's bank.
TEST_F(video_test, frame_equals_sdl_palette_conversion) {
  for (int i = 0; i < 256; i++)
    poke4_to(wm, RAM_RGB_PALETTE + 4 * uint32_t(i), uint32_t(rng()) & 0xFFFFFF);
  for (int i = 0; i < GFX_COLOURS; i++)
    poke_proc(wm, int32_t(RAM_DISPLAY_PALETTE) + i, int32_t(rng()));
  for (int i = 0; i < 68; i++) poke_proc(wm, int32_t(RAM_LINE_BANKS) + i, int32_t(rng()));
  std::vector<uint8_t> video(SCREEN_WIDTH * SCREEN_HEIGHT);
  for (auto &v : video) v = uint8_t(rng());
  for (size_t i = 0; i < video.size(); i++) poke_proc(wm, int32_t(RAM_VIDEO + i), video[i]);
  const uint32_t *f = generate_video_out(nullptr, nullptr);
  ASSERT_NE(f, nullptr);
  SDL_Surface *src = SDL_CreateRGBSurfaceWithFormatFrom(video.data(), SCREEN_WIDTH, SCREEN_HEIGHT,
                                                        8, SCREEN_WIDTH, SDL_PIXELFORMAT_INDEX8);
  ASSERT_NE(src, nullptr);
  for (uint32_t bank = 0; bank < 4; bank++) {
    SDL_Color colours[256];
    for (int i = 0; i < 256; i++) {
      uint32_t display = uint32_t(peek_proc(wm, int32_t(RAM_DISPLAY_PALETTE) + (i & 63))) & 63;
      uint32_t rgb = uint32_t(peek4_proc(wm, int32_t(RAM_RGB_PALETTE + 4 * (bank * 64 + display))));
      colours[i] = {uint8_t(rgb >> 16), uint8_t(rgb >> 8), uint8_t(rgb), 255};
    }
    SDL_SetPaletteColors(src->format->palette, colours, 0, 256);
    SDL_Surface *argb = SDL_ConvertSurfaceFormat(src, SDL_PIXELFORMAT_ARGB8888, 0);
    ASSERT_NE(argb, nullptr);
    for (int32_t y = 0; y < SCREEN_HEIGHT; y++) {
      uint32_t line_bank =
          (uint32_t(peek_proc(wm, int32_t(RAM_LINE_BANKS) + (y >> 2))) >> ((y * 2) & 6)) & 3;
      if (line_bank != bank) continue;
      const uint32_t *sdl = reinterpret_cast<const uint32_t *>(
          static_cast<const uint8_t *>(argb->pixels) + y * argb->pitch);
      for (int32_t x = 0; x < SCREEN_WIDTH; x++)
        ASSERT_EQ(out(f, x, y), sdl[x] & 0xFFFFFF) << x << "," << y;
    }
    SDL_FreeSurface(argb);
  }
  SDL_FreeSurface(src);
}

// A child process's video memory copied into the root's draw target through
// _blit_process_video, read back pixel by pixel.
TEST_F(video_test, blit_process_video_copies_a_child_into_the_root_target) {
  proc *child = get_process(spawn(""));
  ASSERT_NE(child, nullptr);
  poke2_proc(child, int32_t(RAM_DISPLAY_WIDTH), 40);
  poke2_proc(child, int32_t(RAM_DISPLAY_HEIGHT), 30);
  for (int32_t i = 0; i < 40 * 30; i++) poke_proc(child, int32_t(RAM_VIDEO) + i, (i % 130));
  ASSERT_EQ(root_eval("target = userdata('u8', 64, 32) return 1"), "1");
  lua_getglobal(root->L, "target");
  root->draw_target = to_udata(root->L, -1);
  lua_pop(root->L, 1);
  poke2(int32_t(RAM_CLIP_RECT) + 4, 64);
  poke2(int32_t(RAM_CLIP_RECT) + 6, 32);
  std::string call = "_blit_process_video(" + std::to_string(child->id) + ", 2, 1, 10, 10, -4, 3)";
  root_eval(call);
  for (int32_t y = 0; y < 32; y++)
    for (int32_t x = 0; x < 64; x++) {
      // 10x10 at dx = -4 under a clip from 0: 6 columns from source column 2 + 4.
      bool inside = x < 6 && y >= 3 && y < 13;
      uint8_t want = inside ? uint8_t(((y - 3 + 1) * 40 + x + 4 + 2) % 130) : 0;
      ASSERT_EQ(getpixel(root->draw_target, x, y), want) << x << "," << y;
    }
  // The clip word at 0x5528 is honoured; a mask byte skips pixels whose
  // value AND mask is 0 (0 and 64 here), keeps 65 as 65.
  poke_proc(child, int32_t(RAM_VIDEO_COPY_MASK), 0x3F);
  poke_proc(child, int32_t(RAM_VIDEO), 64);
  poke_proc(child, int32_t(RAM_VIDEO) + 1, 65);
  poke_proc(child, int32_t(RAM_VIDEO) + 2, 0);
  poke2(int32_t(RAM_CLIP_RECT) + 4, 40);
  poke2(int32_t(RAM_CLIP_RECT) + 6, 32);
  root_eval("_blit_process_video(" + std::to_string(child->id) + ", 0, 0, 40, 1, 30, 20)");
  EXPECT_EQ(getpixel(root->draw_target, 30, 20), 0);
  EXPECT_EQ(getpixel(root->draw_target, 31, 20), 65);
  EXPECT_EQ(getpixel(root->draw_target, 32, 20), 0);
  EXPECT_EQ(getpixel(root->draw_target, 33, 20), 3);
  EXPECT_EQ(getpixel(root->draw_target, 40, 20), 0);  // right of the clip
  root->draw_target = nullptr;
}

TEST_F(video_test, blit_from_ram_clips_costs_and_marks_absent_pages) {
  udata *dst = bitmap(64, 32);
  set_clip(0, 0, 64, 32);
  poke2_proc(wm, int32_t(RAM_DISPLAY_WIDTH), 480);
  put(wm, 4, 0, 77);
  EXPECT_EQ(blit_from_ram(wm, int32_t(RAM_VIDEO), dst, 0, 0, -4, 0, 10, 10, 0), 10 * 6 / 4);
  EXPECT_EQ(getpixel(dst, 0, 0), 77);
  // Past the first 16 pages nothing was touched: colour 8, in every mode.
  for (uint8_t mask : {uint8_t(0), uint8_t(0x3F)}) {
    udata *d = bitmap(8, 2);
    full_clip(d);
    EXPECT_EQ(blit_from_ram(wm, 0x200000, d, 0, 0, 0, 0, 8, 2, mask), 4);
    EXPECT_EQ(bytes(d), std::vector<uint8_t>(16, VIDEO_UNREADABLE_COLOUR));
  }
  EXPECT_EQ(wm->mem.mapped_length[0x200000 >> 12], 0);  // still absent
  // Offsets and sizes at the integer limits: only the clipped part, and
  // addresses outside the memory read as absent.
  const int32_t big[] = {INT32_MIN, -70000, -1, 0, 5, 70000, INT32_MAX};
  udata *d = bitmap(8, 4);
  full_clip(d);
  for (int32_t a : big)
    for (int32_t b : big) {
      blit_from_ram(wm, int32_t(RAM_VIDEO), d, a, b, 0, 0, 8, 4, 0);
      blit_from_ram(wm, int32_t(RAM_VIDEO), d, 0, 0, a, b, 8, 4, 0x3F);
      blit_from_ram(wm, int32_t(RAM_VIDEO), d, 0, 0, 0, 0, a, b, 0);
      blit_from_ram(wm, a, d, b, 0, 0, 0, INT32_MAX, INT32_MAX, 0);
    }
  EXPECT_EQ(blit_from_ram(nullptr, int32_t(RAM_VIDEO), d, 0, 0, 0, 0, 8, 4, 0), 0);
  EXPECT_EQ(blit_from_ram(wm, int32_t(RAM_VIDEO), nullptr, 0, 0, 0, 0, 8, 4, 0), 0);
}

}  // namespace
