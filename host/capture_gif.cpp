// GIF recordings: frames gathered from the window manager's video memory,
// written to a host file as they are taken, one whole frame at a time: a
// recording cut short (the program killed) leaves every finished frame
// readable, only the closing byte missing.
#include "host/capture_gif.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <gif_lib.h>

#include "base/pbuffer.h"
#include "base/ram_layout.h"
#include "machine/app.h"
#include "machine/message.h"
#include "machine/process.h"
#include "pdisk/mount.h"
#include "host/capture_settings.h"

namespace {

constexpr int32_t VIDEO_BYTES = SCREEN_WIDTH * SCREEN_HEIGHT;  // 129600
constexpr int32_t PAL_WORDS = 256 + SCREEN_HEIGHT;             // colours, then line banks
constexpr int32_t GIF_DELAY = 3;                               // hundredths of a second a frame
constexpr int32_t GIF_TRANSPARENT = 255;
constexpr int32_t GIF_COLOUR_RESOLUTION = 16;

// The recording that runs (or ran last).
struct gif_recording {
  GifFileType *file;              // null while not recording
  int fd;                         // the host file, open while recording
  std::vector<uint8_t> pending;   // encoded bytes not yet written: the frame under way
  int failed;                     // a giflib call or a write failed: the file is removed at the end
  char path[1024];                // workstation path
  char host_path[1024];           // host path
  dev_t device;                   // the file written, so that its name is known to
  ino_t inode;                    // still stand for it at the end
  capture_settings set;           // its region, scale, frames to skip and silence
  int32_t out_width, out_height;  // the picture: the region times its scale
  int32_t frames;
  std::vector<uint8_t> last_frame;  // the previous frame's video memory; empty before the first
  uint32_t firstpal[PAL_WORDS], lastpal[PAL_WORDS];
};

gif_recording rec;

// giflib's output: kept until the frame is whole.
int gif_output(GifFileType *, const GifByteType *bytes, int n) {
  if (n > 0) rec.pending.insert(rec.pending.end(), bytes, bytes + n);
  return n;
}

// Writes the pending bytes to the file; a refused write (a full disk, the
// file-size limit) marks the recording failed.
void gif_flush() {
  size_t done = 0;
  while (done < rec.pending.size() && !rec.failed) {
    ssize_t n = write(rec.fd, rec.pending.data() + done, rec.pending.size() - done);
    if (n > 0)
      done += size_t(n);
    else if (n < 0 && errno == EINTR)
      continue;
    else
      rec.failed = 1;
  }
  rec.pending.clear();
}

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
    colours[i] = {capture_channel(pal[i], 16), capture_channel(pal[i], 8),
                  capture_channel(pal[i], 0)};
  return GifMakeMapObject(256, colours);
}

void gif_check(int result) {
  if (result == GIF_ERROR) rec.failed = 1;
}

// The first frame's screen and its loop block.
void gif_put_screen(const uint32_t *pal) {
  ColorMapObject *map = make_colour_map(pal);
  EGifSetGifVersion(rec.file, true);
  gif_check(
      EGifPutScreenDesc(rec.file, rec.out_width, rec.out_height, GIF_COLOUR_RESOLUTION, 0, map));
  GifFreeMapObject(map);
  static const uint8_t loop_for_ever[3] = {1, 0, 0};
  gif_check(EGifPutExtensionLeader(rec.file, APPLICATION_EXT_FUNC_CODE));
  gif_check(EGifPutExtensionBlock(rec.file, 11, "NETSCAPE2.0"));
  gif_check(EGifPutExtensionBlock(rec.file, 3, loop_for_ever));
  gif_check(EGifPutExtensionTrailer(rec.file));
}

// 0 when the region shows output index 255 (colour 63 on a bank-3 line).
int region_is_transparent_safe(const uint8_t *video, const uint32_t *pal) {
  for (int32_t y = rec.set.y0; y < rec.set.y0 + rec.set.h; y++) {
    if (pal[256 + y] != 3) continue;
    const uint8_t *row = video + y * SCREEN_WIDTH;
    for (int32_t x = rec.set.x0; x < rec.set.x0 + rec.set.w; x++)
      if ((row[x] & 63) == 63) return 0;
  }
  return 1;
}

// True while the host path names the file being written: its folder may have
// been removed (or replaced) while the recording ran.
bool gif_name_holds_file() {
  struct stat st;
  return stat(rec.host_path, &st) == 0 && st.st_dev == rec.device && st.st_ino == rec.inode;
}

// Closes the file; 0 when everything reached it and its name still leads to it.
int gif_close() {
  int error = 0;
  int closed = EGifCloseFile(rec.file, &error);
  rec.file = nullptr;
  gif_flush();
  if (close(rec.fd) != 0) rec.failed = 1;
  rec.fd = -1;
  return closed == GIF_OK && !rec.failed && gif_name_holds_file() ? 0 : -1;
}

// Removes what was written, never a file that took its name meanwhile.
void gif_remove_file() {
  if (gif_name_holds_file()) unlink(rec.host_path);
}

void gif_cleanup() {
  rec.file = nullptr;
  rec.failed = 0;
  rec.pending.clear();
  rec.pending.shrink_to_fit();
  rec.last_frame.clear();
  rec.last_frame.shrink_to_fit();
}

// Names the file only when one was kept.
void gif_report_frames(bool kept) {
  char text[1400];
  if (kept)
    std::snprintf(text, sizeof text, "captured %d frame gif %dx%d (x%d): %s", rec.frames, rec.set.w,
                  rec.set.h, rec.set.scale, rec.path);
  else
    std::snprintf(text, sizeof text, "captured %d frame gif %dx%d (x%d): not saved", rec.frames,
                  rec.set.w, rec.set.h, rec.set.scale);
  capture_notify_unless(rec.set.silent, text);
}

}  // namespace

int gif_start() {
  if (rec.file) gif_end();
  capture_settings s = capture_read_settings(RAM_GIF_PARAMS);
  s.label = 0;
  rec.set = s;
  rec.out_width = s.w * s.scale;
  rec.out_height = s.h * s.scale;
  const char *path = get_capture_filename(s.name, ".gif");
  std::snprintf(rec.path, sizeof rec.path, "%s", path ? path : "");
  rec.host_path[0] = 0;
  int error = E_GIF_ERR_OPEN_FAILED;
  uint32_t kind = 0;
  pbuffer *origin = path ? resolve_to_origin(path, &kind, 0) : nullptr;
  if (origin && kind == MOUNT_HOST) {
    std::snprintf(rec.host_path, sizeof rec.host_path, "%s", to_cstr(origin));
    int fd = open(rec.host_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0) {
      rec.device = st.st_dev;
      rec.inode = st.st_ino;
      rec.fd = fd;
      rec.pending.clear();
      rec.file = EGifOpen(nullptr, gif_output, &error);
      if (!rec.file) {
        close(fd);
        unlink(rec.host_path);
      }
    } else if (fd >= 0) {
      close(fd);
      unlink(rec.host_path);
    }
  }
  destroy_buffer(origin);
  if (!rec.file) {
    std::printf("** EGifOpenFileName error %d: p_path:%s\n", error, rec.path);
    std::fflush(stdout);
    return 1;
  }
  rec.failed = 0;
  rec.frames = 0;
  rec.last_frame.clear();
  return 0;
}

void update_gif_recording(const uint32_t *pal) {
  if (!app.gif_recording || !rec.file || !pal) return;
  if (rec.set.skip > 0) {
    rec.set.skip--;
    return;
  }
  if (++app.gif_frame_count & 1) gif_frame(pal);
}

void gif_frame(const uint32_t *pal) {
  proc *wm = get_process(PID_WINDOW_MANAGER);
  if (!rec.file || !wm || rec.failed) return;
  std::vector<uint8_t> video(VIDEO_BYTES);
  gather_video(wm, video.data());
  if (rec.frames == 0) {
    std::memcpy(rec.firstpal, pal, sizeof rec.firstpal);
    std::memset(rec.lastpal, 0, sizeof rec.lastpal);
    gif_put_screen(pal);
  }
  int t = region_is_transparent_safe(video.data(), pal);
  uint8_t control[4] = {uint8_t(t), GIF_DELAY, 0, GIF_TRANSPARENT};
  gif_check(EGifPutExtension(rec.file, GRAPHICS_EXT_FUNC_CODE, 4, control));
  ColorMapObject *local = nullptr;
  if (std::memcmp(pal, rec.firstpal, 256 * sizeof *pal) != 0) local = make_colour_map(pal);
  if (!local && rec.file->Image.ColorMap) {
    // giflib drops, without freeing, its copy of an earlier frame's map
    GifFreeMapObject(rec.file->Image.ColorMap);
    rec.file->Image.ColorMap = nullptr;
  }
  gif_check(EGifPutImageDesc(rec.file, 0, 0, rec.out_width, rec.out_height, false, local));
  GifFreeMapObject(local);
  bool diff = !rec.last_frame.empty() && t;
  std::vector<GifPixelType> row(static_cast<size_t>(rec.out_width));
  for (int32_t j = 0; j < rec.out_height && !rec.failed; j++) {
    int32_t y = rec.set.y0 + j / rec.set.scale;
    uint32_t bank = pal[256 + y] & 3, previous_bank = rec.lastpal[256 + y] & 3;
    for (int32_t i = 0; i < rec.out_width; i++) {
      int32_t at = y * SCREEN_WIDTH + rec.set.x0 + i / rec.set.scale;
      uint32_t index = bank * 64 + (video[at] & 63);
      if (diff && pal[index] == rec.lastpal[previous_bank * 64 + (rec.last_frame[at] & 63)])
        index = GIF_TRANSPARENT;
      row[i] = GifPixelType(index);
    }
    gif_check(EGifPutLine(rec.file, row.data(), rec.out_width));
  }
  gif_flush();
  rec.last_frame = std::move(video);
  std::memcpy(rec.lastpal, pal, sizeof rec.lastpal);
  rec.frames++;
}

void gif_end() { gif_end_ex(1); }

void gif_end_ex(int write) {
  if (!rec.file) return;
  if (!write) {
    gif_cancel();
    return;
  }
  int frames = rec.frames;
  bool failed = gif_close() != 0;
  if (failed || frames == 0) gif_remove_file();  // a GIF without a screen is no GIF
  if (failed)
    notify("**error: could not write gif\n");
  else
    gif_report_frames(frames > 0);
  gif_cleanup();
}

void gif_cancel() {
  if (!rec.file) return;
  gif_report_frames(false);
  gif_close();
  gif_remove_file();
  gif_cleanup();
}

void gif_reset() {
  if (rec.file) gif_end();
  rec.set = capture_settings{};
  rec.frames = 0;
}
