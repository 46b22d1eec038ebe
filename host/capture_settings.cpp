// Capture names and parameter blocks.
#include "host/capture_settings.h"

#include <algorithm>
#include <cstdio>

#include "machine/memory.h"
#include "machine/message.h"
#include "pdisk/fileops.h"
#include "pdisk/mount.h"

namespace {

constexpr int32_t MAX_NAME_NUMBER = 255;
constexpr int32_t MAX_SCALE = 4;
constexpr int32_t MAX_SKIP = 32;
constexpr int32_t MIN_SIDE = 16;

char capture_filename_buf[1024];

int32_t clamp(int32_t v, int32_t lo, int32_t hi) { return std::max(lo, std::min(v, hi)); }

// A name is taken by a file or a folder. The test never mounts: a capture
// named like a cartridge ("x.kvd" + ".png") is a plain file, and one already
// mounted as a cartridge counts as taken.
bool capture_name_taken(const char *path) {
  int was_blocked = block_automounting;
  block_automounting = 1;
  bool taken = pdisk_file_exists(path) || pdisk_directory_exists(path, true);
  block_automounting = was_blocked;
  return taken;
}

}  // namespace

capture_settings capture_read_settings(uint32_t base) {
  capture_settings s{};
  auto word = [&](int i) { return peek2(int32_t(base + 2 * i)); };
  s.w = clamp(word(2), MIN_SIDE, SCREEN_WIDTH);
  s.h = clamp(word(3), MIN_SIDE, SCREEN_HEIGHT);
  s.x0 = clamp(word(0), 0, SCREEN_WIDTH - s.w);
  s.y0 = clamp(word(1), 0, SCREEN_HEIGHT - s.h);
  s.scale = clamp(word(4), 1, MAX_SCALE);
  s.label = clamp(word(5), 0, 1);
  s.skip = clamp(word(6), 0, MAX_SKIP);
  s.silent = clamp(word(7), 0, 1);
  for (int i = 0; i < CAPTURE_NAME_BYTES; i++) {
    int c = peek(int32_t(RAM_CAPTURE_NAME) + i);
    if (c == 0) break;
    s.name[i] = (c == '/' || c == '\\' || c < 32) ? '_' : char(c);
  }
  return s;
}

void capture_notify_unless(int silent, const char *text) {
  if (!silent) notify(text);
}

const char *get_capture_filename(const char *name, const char *ext) {
  std::snprintf(capture_filename_buf, sizeof capture_filename_buf, "/desktop/host/%s%s", name, ext);
  for (int32_t n = 1; capture_name_taken(capture_filename_buf); n++) {
    if (n > MAX_NAME_NUMBER) return nullptr;
    std::snprintf(capture_filename_buf, sizeof capture_filename_buf, "/desktop/host/%s_%d%s", name,
                  n, ext);
  }
  return capture_filename_buf;
}
