// The host layer over SDL's dummy video driver: a process table with a
// window manager (process 3) whose queue the tests read, and a window made
// by the real host_apply_video_config when a test asks for one.
#pragma once
#include <string>
#include <vector>

#include <SDL.h>

#include "base/pbuffer.h"
#include "machine/message.h"
#include "host/os_host.h"
#include "host/window.h"
#include "tests/kernel/kernel_fixture.h"

struct host_fixture : kernel_fixture {
  proc *wm = nullptr;

  void SetUp() override {
    kernel_fixture::SetUp();
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_VIDEO | SDL_INIT_EVENTS), 0) << SDL_GetError();
    spawn("while true do flip() end", "two");
    wm = get_process(spawn("while true do flip() end", "wm"));
    ASSERT_NE(wm, nullptr);
    ASSERT_EQ(wm->id, PID_WINDOW_MANAGER);
  }
  void TearDown() override {
    host_window_reset();
    host_make_renderer = default_maker;
    config.fullscreen = config.pixel_perfect = config.stretch = config.blit_720p = 0;
    kernel_fixture::TearDown();
  }

  // A windowed window of w x h units (pixel_scale chooses the size).
  void make_window(int32_t scale) {
    config.headless = 0;
    config.fullscreen = 0;
    config.pixel_scale = scale;
    host_window.last_win_w = host_window.last_win_h = 0;
    host_apply_video_config();
    config.headless = 1;
  }

  // Every message queued for the window manager since the last call.
  std::vector<std::string> wm_messages() {
    std::vector<std::string> out;
    while (pbuffer *m = read_process_message(wm, nullptr)) out.push_back((const char *)m->data);
    return out;
  }

  static inline renderer_maker default_maker = host_make_renderer;
};
