// Screenshots and cartridge labels.
#include "host/capture_screenshot.h"

#include <cstdio>
#include <vector>

#include "base/debug_log.h"
#include "base/ram_layout.h"
#include "machine/app.h"
#include "machine/memory.h"
#include "machine/message.h"
#include "machine/process.h"
#include "pod/png_buffer.h"
#include "pod/qoi_buffer.h"
#include "pdisk/pfile.h"
#include "host/capture_settings.h"

namespace {

constexpr const char *LABEL_PATH = "/ram/cart/label.qoi";

capture_settings sshot;  // the settings of the pending (or last) screenshot

}  // namespace

// 2 in the window manager's video mode 3, 3 in mode 4, else 1.
static int32_t video_mode_scale() {
  int32_t mode = peek_proc(get_process(PID_WINDOW_MANAGER), int32_t(RAM_VIDEO_MODE));
  if (mode == VIDEO_MODE_DOUBLED) return 2;
  if (mode == VIDEO_MODE_TRIPLED) return 3;
  return 1;
}

// A label is the whole screen as the current video mode shows it: 480 / m
// by 270 / m pixels, m times larger.
static void fit_label_to_mode(capture_settings &s) {
  int32_t m = video_mode_scale();
  s.x0 = s.y0 = 0;
  s.w = SCREEN_WIDTH / m;
  s.h = SCREEN_HEIGHT / m;
  s.scale = 1;
}

void request_screenshot() {
  sshot = capture_read_settings(RAM_SCREENSHOT_PARAMS);
  if (sshot.label) fit_label_to_mode(sshot);
}

void update_screenshot(const uint32_t *frame) {
  if (!app.screenshot_request || !frame) return;
  if (sshot.skip > 0) {
    sshot.skip--;
    return;
  }
  app.screenshot_request = 0;
  capture_screenshot(frame);
}

void capture_screenshot(const uint32_t *frame) {
  // the mode may have changed while the frames to skip went by
  if (sshot.label) fit_label_to_mode(sshot);
  int32_t s = video_mode_scale() * sshot.scale, width = sshot.w * s, height = sshot.h * s;
  std::vector<uint8_t> rgba(size_t(width) * size_t(height) * 4);
  for (int32_t j = 0; j < height; j++) {
    const uint32_t *row = frame + (sshot.y0 + j / s) * SCREEN_WIDTH + sshot.x0;
    uint8_t *out = rgba.data() + size_t(j) * size_t(width) * 4;
    for (int32_t i = 0; i < width; i++, out += 4) {
      uint32_t word = row[i / s];
      out[0] = capture_channel(word, 16), out[1] = capture_channel(word, 8),
      out[2] = capture_channel(word, 0);
      out[3] = 255;
    }
  }
  if (sshot.label) {
    INVARIANT(width == SCREEN_WIDTH && height == SCREEN_HEIGHT);
    pfile_entry *f = pfopen(LABEL_PATH, "w");
    int ok =
        f && qoi_encode_pbuffer(rgba.data(), uint32_t(width), uint32_t(height), 1, f->data) == 0;
    if (f) ok = pfclose(f) == 0 && ok;
    notify(ok ? "captured label (/ram/cart/label.qoi)" : "could not store label");
    return;
  }
  const char *path = get_capture_filename(sshot.name, ".png");
  pfile_entry *f = path ? pfopen(path, "w") : nullptr;
  int ok =
      f && LodePNG_encode32_pbuffer(rgba.data(), uint32_t(width), uint32_t(height), f->data) == 0;
  if (f) ok = pfclose(f) == 0 && ok;
  if (!ok) {
    notify("could not store screenshot");
    return;
  }
  char text[1400];
  std::snprintf(text, sizeof text, "captured %dx%d (x%d) screenshot: %s", sshot.w, sshot.h, s,
                path);
  capture_notify_unless(sshot.silent, text);
}

void screenshot_reset() { sshot = capture_settings{}; }
