// A workstation for capture tests and the capture tool: "/" on a host folder,
// "/ram", "/desktop/host" on the host folder's "desk", processes 1 to 3 (the
// third is the window manager and the current process), and helpers that
// write capture parameters and draw known frames.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "base/config.h"
#include "base/pbuffer.h"
#include "base/ram_layout.h"
#include "machine/app.h"
#include "machine/memory.h"
#include "machine/message.h"
#include "machine/process.h"
#include "pdisk/fileops.h"
#include "pdisk/mount.h"
#include "host/capture.h"
#include "host/capture_audio.h"
#include "host/capture_gif.h"
#include "host/capture_screenshot.h"
#include "kernel/process_life.h"
#include "kernel/startup.h"

struct capture_params {
  int32_t x0 = 0, y0 = 0, w = 480, h = 270, scale = 1, label = 0, skip = 0, silent = 0;
  std::string name = "shot";
};

// Sets up the world on host folder `host` (which must exist); the window
// manager, or null when a process could not be made.
inline proc *capture_world_open(const std::string &host, bool mount_desktop = true) {
  config.headless = 1;
  reset_subsystems();
  std::filesystem::create_directories(host + "/desk");
  if (mount_host_path("/", host.c_str()) != 0 || mount_ram_folder("/ram") != 0) return nullptr;
  if (mount_desktop && mount_host_path("/desktop/host", (host + "/desk").c_str()) != 0)
    return nullptr;
  proc *wm = nullptr;
  for (int i = 0; i < 3; i++) wm = create_process_from_code("--", "p", "/p.lua", "");
  if (!wm || wm->id != PID_WINDOW_MANAGER) return nullptr;
  set_current_process(wm);
  return wm;
}

// Writes the block at base (RAM_SCREENSHOT_PARAMS or RAM_GIF_PARAMS) and the
// name into the current process.
inline void capture_write_params(uint32_t base, const capture_params &p) {
  const int32_t words[8] = {p.x0, p.y0, p.w, p.h, p.scale, p.label, p.skip, p.silent};
  for (int i = 0; i < 8; i++) poke2(int32_t(base) + 2 * i, words[i]);
  for (int i = 0; i < CAPTURE_NAME_BYTES; i++)
    poke(int32_t(RAM_CAPTURE_NAME) + i, i < int(p.name.size()) ? p.name[size_t(i)] : 0);
}

// A frame of distinct words: red from x, green from y, blue from the seed.
inline std::vector<uint32_t> capture_test_frame(int seed) {
  std::vector<uint32_t> f(SCREEN_WIDTH * SCREEN_HEIGHT);
  for (int y = 0; y < SCREEN_HEIGHT; y++)
    for (int x = 0; x < SCREEN_WIDTH; x++)
      f[size_t(y * SCREEN_WIDTH + x)] = uint32_t((x & 255) << 16 | (y & 255) << 8 | (seed & 255));
  return f;
}

// A display palette: colour i of bank b distinct per seed, line banks cycling
// through 0..3 every 8 lines (bank 3 from line 24 on).
inline std::vector<uint32_t> capture_test_palette(int seed) {
  std::vector<uint32_t> pal(256 + SCREEN_HEIGHT);
  for (uint32_t i = 0; i < 256; i++) pal[i] = (i * 0x010203u + uint32_t(seed) * 0x40) & 0xFFFFFF;
  for (int y = 0; y < SCREEN_HEIGHT; y++) pal[size_t(256 + y)] = uint32_t(y / 8) & 3;
  return pal;
}

// Draws a pattern into the window manager's video memory with pokes (so its
// pages are separate blocks): a diagonal band that moves with the seed; colour
// 63 is never used unless `with_63`.
inline void capture_draw_video(proc *wm, int seed, bool with_63 = false) {
  for (int y = 0; y < SCREEN_HEIGHT; y += 1)
    for (int x = 0; x < SCREEN_WIDTH; x += 1) {
      int c = ((x + y) / 16 + seed) % 8 == 0 ? (x / 8) % 62 + 1 : 0;
      poke_proc(wm, int32_t(RAM_VIDEO) + y * SCREEN_WIDTH + x, c);
    }
  if (with_63) poke_proc(wm, int32_t(RAM_VIDEO) + 30 * SCREEN_WIDTH + 40, 63);
}

// The texts of the window manager's notifications, oldest first (emptied).
inline std::vector<std::string> capture_notifications(proc *wm) {
  std::vector<std::string> out;
  while (pbuffer *m = read_process_message(wm, nullptr)) {
    std::string s(reinterpret_cast<const char *>(m->data), size_t(m->length));
    size_t at = s.find("content=\"");
    if (at != std::string::npos) s = s.substr(at + 9, s.rfind("\"}") - at - 9);
    out.push_back(s);
  }
  return out;
}
