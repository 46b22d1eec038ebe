// Screenshots, labels, GIF recording and audio capture.
#include "host/capture.h"

#include <fcntl.h>
#include <gif_lib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/debug_log.h"
#include "host/os_host.h"
#include "sorn/audio_lock.h"
#include "machine/app.h"
#include "base/klog.h"
#include "machine/memory.h"
#include "machine/message.h"
#include "base/pbuffer.h"
#include "machine/process.h"
#include "base/ram_layout.h"
#include "pdisk/fileops.h"
#include "pdisk/mount.h"
#include "pdisk/pfile.h"
#include "pod/png_buffer.h"
#include "pod/qoi_buffer.h"

namespace {

constexpr const char *LABEL_PATH = "/ram/cart/label.qoi";
constexpr int32_t MAX_NAME_NUMBER = 255;
constexpr int32_t MAX_SCALE = 4;
constexpr int32_t MAX_SKIP = 32;
constexpr int32_t MIN_SIDE = 16;
constexpr int32_t VIDEO_BYTES = SCREEN_WIDTH * SCREEN_HEIGHT;  // 129600
constexpr int32_t PAL_WORDS = 256 + SCREEN_HEIGHT;             // colours, then line banks
constexpr int32_t AUDIO_BYTES_PER_SECOND = 44100 * 4;
constexpr int32_t AUDIO_START_ROOM = 10 * AUDIO_BYTES_PER_SECOND;
constexpr int32_t GIF_DELAY = 3;  // hundredths of a second a frame
constexpr int32_t GIF_TRANSPARENT = 255;
constexpr int32_t GIF_COLOUR_RESOLUTION = 16;

// The parameter block of a capture, clamped.
struct capture_settings {
  int32_t x0, y0, w, h, scale, label, skip, silent;
  char name[CAPTURE_NAME_BYTES + 1];
};

capture_settings sshot;
capture_settings gifset;
int32_t out_width, out_height;  // the GIF's picture: the region times its scale

GifFileType *gif;              // null while not recording
int gif_failed;                // a giflib call failed: the file is removed at the end
char gif_filename[1024];       // workstation path
char gif_filename_host[1024];  // host path
int32_t gif_frames;
std::vector<uint8_t> last_frame;  // the previous frame's video memory; empty before the first
uint32_t firstpal[PAL_WORDS], lastpal[PAL_WORDS];
char capture_filename_buf[1024];

int32_t clamp(int32_t v, int32_t lo, int32_t hi) { return std::max(lo, std::min(v, hi)); }

// Reads the block at base (and the name) from the current process.
capture_settings read_settings(uint32_t base) {
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

void send_unless(int silent, const char *text) {
  if (!silent) notify(text);
}

uint8_t channel(uint32_t word, int shift) { return uint8_t(word >> shift); }

// The window manager's video memory as it reads it: each page's mapped bytes,
// then its own page behind a partial mapping; absent bytes read 0.
void gather_video(proc *p, uint8_t *out) {
  for (int32_t at = 0; at < VIDEO_BYTES;) {
    uint32_t a = RAM_VIDEO + uint32_t(at);
    int32_t page = int32_t(a / RAM_PAGE_SIZE), offset = int32_t(a % RAM_PAGE_SIZE);
    int32_t n = std::min<int32_t>(int32_t(RAM_PAGE_SIZE) - offset, VIDEO_BYTES - at);
    const proc_memory &m = p->mem;
    int32_t mapped = std::clamp(m.mapped_length[page] - offset, 0, n);
    if (mapped > 0) std::memcpy(out + at, m.page_pointer[page] + offset, size_t(mapped));
    if (m.own_page[page])
      std::memcpy(out + at + mapped, m.own_page[page] + offset + mapped, size_t(n - mapped));
    else
      std::memset(out + at + mapped, 0, size_t(n - mapped));
    at += n;
  }
}

ColorMapObject *make_colour_map(const uint32_t *pal) {
  GifColorType colours[256];
  for (int i = 0; i < 256; i++)
    colours[i] = {channel(pal[i], 16), channel(pal[i], 8), channel(pal[i], 0)};
  return GifMakeMapObject(256, colours);
}

void gif_check(int result) {
  if (result == GIF_ERROR) gif_failed = 1;
}

// The first frame's screen and its loop block.
void gif_put_screen(const uint32_t *pal) {
  ColorMapObject *map = make_colour_map(pal);
  EGifSetGifVersion(gif, true);
  gif_check(EGifPutScreenDesc(gif, out_width, out_height, GIF_COLOUR_RESOLUTION, 0, map));
  GifFreeMapObject(map);
  static const uint8_t loop_for_ever[3] = {1, 0, 0};
  gif_check(EGifPutExtensionLeader(gif, APPLICATION_EXT_FUNC_CODE));
  gif_check(EGifPutExtensionBlock(gif, 11, "NETSCAPE2.0"));
  gif_check(EGifPutExtensionBlock(gif, 3, loop_for_ever));
  gif_check(EGifPutExtensionTrailer(gif));
}

// 0 when the region shows output index 255 (colour 63 on a bank-3 line).
int region_is_transparent_safe(const uint8_t *video, const uint32_t *pal) {
  for (int32_t y = gifset.y0; y < gifset.y0 + gifset.h; y++) {
    if (pal[256 + y] != 3) continue;
    const uint8_t *row = video + y * SCREEN_WIDTH;
    for (int32_t x = gifset.x0; x < gifset.x0 + gifset.w; x++)
      if ((row[x] & 63) == 63) return 0;
  }
  return 1;
}

// Closes the file; 0 when everything reached it.
int gif_close() {
  int error = 0;
  int closed = EGifCloseFile(gif, &error);
  gif = nullptr;
  return closed == GIF_OK && !gif_failed ? 0 : -1;
}

void gif_cleanup() {
  gif = nullptr;
  gif_failed = 0;
  last_frame.clear();
  last_frame.shrink_to_fit();
}

// Names the file only when one was kept.
void gif_report_frames(bool kept) {
  char text[1400];
  if (kept)
    std::snprintf(text, sizeof text, "captured %d frame gif %dx%d (x%d): %s", gif_frames, gifset.w,
                  gifset.h, gifset.scale, gif_filename);
  else
    std::snprintf(text, sizeof text, "captured %d frame gif %dx%d (x%d): not saved", gif_frames,
                  gifset.w, gifset.h, gifset.scale);
  send_unless(gifset.silent, text);
}

std::atomic_ref<uint32_t> capture_flag() { return std::atomic_ref<uint32_t>(app.audio_capture_on); }

}  // namespace

// ---- names ---------------------------------------------------------------------

// A name is taken by a file or a folder. The test never mounts: a capture
// named like a cartridge ("x.kvd" + ".png") is a plain file, and one already
// mounted as a cartridge counts as taken.
static bool capture_name_taken(const char *path) {
  int was_blocked = block_automounting;
  block_automounting = 1;
  bool taken = pdisk_file_exists(path) || pdisk_directory_exists(path, 1);
  block_automounting = was_blocked;
  return taken;
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

// ---- screenshots ------------------------------------------------------------------

int32_t video_mode_scale() {
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
  sshot = read_settings(RAM_SCREENSHOT_PARAMS);
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
      out[0] = channel(word, 16), out[1] = channel(word, 8), out[2] = channel(word, 0);
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
  send_unless(sshot.silent, text);
}

// ---- GIF recording -------------------------------------------------------------------

int gif_start() {
  if (gif) gif_end();
  capture_settings s = read_settings(RAM_GIF_PARAMS);
  s.label = 0;
  gifset = s;
  out_width = s.w * s.scale;
  out_height = s.h * s.scale;
  const char *path = get_capture_filename(s.name, ".gif");
  std::snprintf(gif_filename, sizeof gif_filename, "%s", path ? path : "");
  gif_filename_host[0] = 0;
  int error = E_GIF_ERR_OPEN_FAILED;
  uint32_t kind = 0;
  pbuffer *origin = path ? resolve_to_origin(path, &kind, 0) : nullptr;
  if (origin && kind == MOUNT_HOST) {
    std::snprintf(gif_filename_host, sizeof gif_filename_host, "%s", to_cstr(origin));
    int fd = open(gif_filename_host, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
      gif = EGifOpenFileHandle(fd, &error);
      if (!gif) {
        close(fd);
        unlink(gif_filename_host);
      }
    }
  }
  destroy_buffer(origin);
  if (!gif) {
    std::printf("** EGifOpenFileName error %d: p_path:%s\n", error, gif_filename);
    std::fflush(stdout);
    return 1;
  }
  gif_failed = 0;
  gif_frames = 0;
  last_frame.clear();
  return 0;
}

void update_gif_recording(const uint32_t *pal) {
  if (!app.gif_recording || !gif || !pal) return;
  if (gifset.skip > 0) {
    gifset.skip--;
    return;
  }
  if (++app.gif_frame_count & 1) gif_frame(pal);
}

void gif_frame(const uint32_t *pal) {
  proc *wm = get_process(PID_WINDOW_MANAGER);
  if (!gif || !wm || gif_failed) return;
  std::vector<uint8_t> video(VIDEO_BYTES);
  gather_video(wm, video.data());
  if (gif_frames == 0) {
    std::memcpy(firstpal, pal, sizeof firstpal);
    std::memset(lastpal, 0, sizeof lastpal);
    gif_put_screen(pal);
  }
  int t = region_is_transparent_safe(video.data(), pal);
  uint8_t control[4] = {uint8_t(t), GIF_DELAY, 0, GIF_TRANSPARENT};
  gif_check(EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, control));
  ColorMapObject *local = nullptr;
  if (std::memcmp(pal, firstpal, 256 * sizeof *pal) != 0) local = make_colour_map(pal);
  if (!local && gif->Image.ColorMap) {
    // giflib drops, without freeing, its copy of an earlier frame's map
    GifFreeMapObject(gif->Image.ColorMap);
    gif->Image.ColorMap = nullptr;
  }
  gif_check(EGifPutImageDesc(gif, 0, 0, out_width, out_height, false, local));
  GifFreeMapObject(local);
  bool diff = !last_frame.empty() && t;
  std::vector<GifPixelType> row(static_cast<size_t>(out_width));
  for (int32_t j = 0; j < out_height && !gif_failed; j++) {
    int32_t y = gifset.y0 + j / gifset.scale;
    uint32_t bank = pal[256 + y] & 3, previous_bank = lastpal[256 + y] & 3;
    for (int32_t i = 0; i < out_width; i++) {
      int32_t at = y * SCREEN_WIDTH + gifset.x0 + i / gifset.scale;
      uint32_t index = bank * 64 + (video[at] & 63);
      if (diff && pal[index] == lastpal[previous_bank * 64 + (last_frame[at] & 63)])
        index = GIF_TRANSPARENT;
      row[i] = GifPixelType(index);
    }
    gif_check(EGifPutLine(gif, row.data(), out_width));
  }
  last_frame = std::move(video);
  std::memcpy(lastpal, pal, sizeof lastpal);
  gif_frames++;
}

void gif_end() { gif_end_ex(1); }

void gif_end_ex(int write) {
  if (!gif) return;
  if (!write) {
    gif_cancel();
    return;
  }
  int frames = gif_frames;
  bool failed = gif_close() != 0;
  if (failed || frames == 0) unlink(gif_filename_host);  // a GIF without a screen is no GIF
  if (failed)
    notify("**error: could not write gif\n");
  else
    gif_report_frames(frames > 0);
  gif_cleanup();
}

void gif_cancel() {
  if (!gif) return;
  gif_report_frames(false);
  gif_close();
  unlink(gif_filename_host);
  gif_cleanup();
}

// ---- audio capture ----------------------------------------------------------------

void audio_capture_start() {
  if (audio_capture_running()) return;
  destroy_buffer(app.capture_buffer);
  app.capture_buffer = create_buffer_2(AUDIO_START_ROOM, 'a');
  capture_flag().store(1, std::memory_order_release);
}

int audio_capture_running() { return capture_flag().load(std::memory_order_acquire) != 0; }

void audio_capture_feed(const void *stream, int32_t length) {
  if (capture_flag().load(std::memory_order_acquire))
    bwrite(stream, 1, uint64_t(std::max(length, 0)), app.capture_buffer);
}

int audio_capture_end() {
  sorn_lock_audio();
  capture_flag().store(0, std::memory_order_release);
  pbuffer *b = app.capture_buffer;
  app.capture_buffer = nullptr;
  sorn_unlock_audio();
  const char *path = get_capture_filename("audio", ".raw");
  pfile_entry *f = path ? pfopen(path, "w") : nullptr;
  int ok = f != nullptr;
  if (f) {
    if (b) bwrite(b->data, 1, uint64_t(b->length), f->data);
    ok = pfclose(f) == 0;
  }
  if (ok) {
    char text[1400];
    std::snprintf(text, sizeof text, "captured %3.3f seconds: %s",
                  (b ? b->length : 0) / double(AUDIO_BYTES_PER_SECOND), path);
    notify(text);
  } else if (f) {
    klog("** could not write audio capture %s\n", path);
  }
  destroy_buffer(b);
  return ok ? 0 : 1;
}

// ---- state ---------------------------------------------------------------------------

void capture_reset() {
  if (gif) gif_end();
  if (audio_capture_running()) audio_capture_end();
  destroy_buffer(app.capture_buffer);
  app.capture_buffer = nullptr;
  sshot = capture_settings{};
  gifset = capture_settings{};
  gif_frames = 0;
}
