// Screenshots, labels, GIF recordings and audio captures, end to end through
// the file system into a host folder.
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#include <gif_lib.h>
#include <gtest/gtest.h>

#include "pod/png_buffer.h"
#include "pod/qoi_buffer.h"
#include "pdisk/cart_mount.h"
#include "pdisk/pfile.h"
#include "tests/host/capture_world.h"

namespace {

std::string slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return in ? s.str() : "<none>";
}

struct Capture : ::testing::Test {
  std::string host;
  proc *wm = nullptr;
  void SetUp() override {
    char tmpl[] = "/tmp/capture_test_XXXXXX";
    host = mkdtemp(tmpl);
    wm = capture_world_open(host);
    ASSERT_NE(wm, nullptr);
  }
  void TearDown() override {
    reset_subsystems();
    std::filesystem::remove_all(host);
  }
  std::string desk(const std::string &name) const { return host + "/desk/" + name; }

  // Takes a screenshot of frame with p; the notifications it sent.
  std::vector<std::string> screenshot(const capture_params &p, const std::vector<uint32_t> &frame) {
    capture_write_params(RAM_SCREENSHOT_PARAMS, p);
    request_screenshot();
    app.screenshot_request = 1;
    for (int i = 0; i <= p.skip; i++) update_screenshot(frame.data());
    return capture_notifications(wm);
  }
  struct rgba_image {
    uint32_t w = 0, h = 0;
    std::vector<uint8_t> px;
    uint32_t at(uint32_t x, uint32_t y) const {
      const uint8_t *p = &px[(size_t(y) * w + x) * 4];
      return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
    }
  };
  static rgba_image png_file(const std::string &path) {
    pbuffer_owner b(create_buffer_from_file(path.c_str()));
    rgba_image img;
    uint8_t *px = nullptr;
    if (!b || LodePNG_decode32_pbuffer(&px, &img.w, &img.h, b.get()) != 0) return img;
    img.px.assign(px, px + size_t(img.w) * img.h * 4);
    std::free(px);
    return img;
  }
};

TEST_F(Capture, ScreenshotParametersAreClampedAndTheRegionScaled) {
  auto frame = capture_test_frame(1);
  capture_params p;
  p.w = 5, p.h = 1000, p.x0 = 470, p.y0 = 7;
  EXPECT_EQ(screenshot(p, frame),
            std::vector<std::string>{"captured 16x270 (x1) screenshot: /desktop/host/shot.png"});
  rgba_image img = png_file(desk("shot.png"));
  ASSERT_EQ(img.w, 16u);
  ASSERT_EQ(img.h, 270u);
  EXPECT_EQ(img.at(0, 0), frame[464]);
  EXPECT_EQ(img.at(15, 269), frame[269 * 480 + 479]);
  EXPECT_EQ(img.px[3], 255);

  // video mode 3 doubles the factor: 100x50 at scale 2 is 400x200
  poke(int32_t(RAM_VIDEO_MODE), VIDEO_MODE_DOUBLED);
  p = capture_params{};
  p.w = 100, p.h = 50, p.x0 = 10, p.y0 = 20, p.scale = 2, p.name = "m3";
  EXPECT_EQ(screenshot(p, frame),
            std::vector<std::string>{"captured 100x50 (x4) screenshot: /desktop/host/m3.png"});
  img = png_file(desk("m3.png"));
  ASSERT_EQ(img.w, 400u);
  ASSERT_EQ(img.h, 200u);
  for (auto [x, y] : {std::pair{0u, 0u}, {3u, 3u}, {4u, 0u}, {399u, 199u}})
    EXPECT_EQ(img.at(x, y), frame[(20 + y / 4) * 480 + 10 + x / 4]) << x << "," << y;
}

TEST_F(Capture, ScreenshotNamesTakeTheFirstFreeNumberAndStayInTheFolder) {
  auto frame = capture_test_frame(2);
  capture_params p;
  p.name = "a";
  std::ofstream(desk("a.png")) << "x";
  std::ofstream(desk("a_1.png")) << "x";
  screenshot(p, frame);
  EXPECT_EQ(png_file(desk("a_2.png")).w, 480u);
  // a name cannot climb out of the folder
  p.name = "../../esc";
  EXPECT_EQ(
      screenshot(p, frame),
      std::vector<std::string>{"captured 480x270 (x1) screenshot: /desktop/host/.._.._esc.png"});
  EXPECT_EQ(png_file(desk(".._.._esc.png")).w, 480u);
  // a name ending like a cartridge is a plain file, and a second one is
  // numbered, not mounted and lost
  p.name = "x.kvd";
  screenshot(p, frame);
  EXPECT_EQ(
      screenshot(p, frame),
      std::vector<std::string>{"captured 480x270 (x1) screenshot: /desktop/host/x.kvd_1.png"});
  EXPECT_EQ(png_file(desk("x.kvd.png")).w, 480u);
  EXPECT_EQ(png_file(desk("x.kvd_1.png")).w, 480u);
  // all 256 names taken: no file, told even when silent
  for (int n = 3; n <= 255; n++) std::ofstream(desk("a_" + std::to_string(n) + ".png")) << "x";
  p.name = "a", p.silent = 1;
  EXPECT_EQ(screenshot(p, frame), std::vector<std::string>{"could not store screenshot"});
  // silent success says nothing; the skip count delays the picture
  p.name = "quiet", p.skip = 3;
  capture_write_params(RAM_SCREENSHOT_PARAMS, p);
  request_screenshot();
  app.screenshot_request = 1;
  for (int i = 0; i < 3; i++) update_screenshot(frame.data());
  EXPECT_FALSE(std::filesystem::exists(desk("quiet.png")));
  update_screenshot(frame.data());
  EXPECT_TRUE(std::filesystem::exists(desk("quiet.png")));
  EXPECT_EQ(app.screenshot_request, 0u);
  EXPECT_TRUE(capture_notifications(wm).empty());
}

TEST_F(Capture, LabelIsTheWholeScreenAsQoiWhateverTheMode) {
  auto frame = capture_test_frame(3);
  ASSERT_EQ(pmkdir("/ram/cart"), 0);
  for (int mode : {0, 3, 4}) {
    int m = mode == 3 ? 2 : mode == 4 ? 3 : 1;
    poke(int32_t(RAM_VIDEO_MODE), mode);
    capture_params p;
    p.label = 1, p.silent = 1, p.x0 = 50, p.w = 20;
    EXPECT_EQ(screenshot(p, frame),
              std::vector<std::string>{"captured label (/ram/cart/label.qoi)"});
    pfile_entry *f = pfopen("/ram/cart/label.qoi", "r");
    ASSERT_NE(f, nullptr);
    uint8_t *px = qoi_decode_pbuffer_sized(f->data, 480, 270);
    EXPECT_EQ(f->data->data[13], 1) << "linear colour space";
    pfclose(f);
    ASSERT_NE(px, nullptr);
    for (auto [x, y] : {std::pair{0, 0}, {5, 7}, {479, 269}}) {
      const uint8_t *q = px + (y * 480 + x) * 4;
      EXPECT_EQ(uint32_t(q[0] << 16 | q[1] << 8 | q[2]), frame[size_t((y / m) * 480 + x / m)])
          << "mode " << mode << " at " << x << "," << y;
    }
    std::free(px);
  }
  // the mode changes while the frames to skip go by: the label follows the
  // mode it is taken in (mode 4's 160x90, tripled)
  poke(int32_t(RAM_VIDEO_MODE), 0);
  capture_params p;
  p.label = 1, p.skip = 1;
  capture_write_params(RAM_SCREENSHOT_PARAMS, p);
  request_screenshot();
  app.screenshot_request = 1;
  update_screenshot(frame.data());
  poke(int32_t(RAM_VIDEO_MODE), 4);
  update_screenshot(frame.data());
  EXPECT_EQ(capture_notifications(wm),
            std::vector<std::string>{"captured label (/ram/cart/label.qoi)"});
  pfile_entry *f = pfopen("/ram/cart/label.qoi", "r");
  ASSERT_NE(f, nullptr);
  uint8_t *px = qoi_decode_pbuffer_sized(f->data, 480, 270);
  pfclose(f);
  ASSERT_NE(px, nullptr);
  const uint8_t *q = px + (269 * 480 + 479) * 4;
  EXPECT_EQ(uint32_t(q[0] << 16 | q[1] << 8 | q[2]), frame[89 * 480 + 159]);
  std::free(px);
}

// A recording of `frames` composed frames, each drawn by draw(i); the GIF's
// host path.
struct Gif : Capture {
  std::string record(const capture_params &p, int frames,
                     const std::function<void(int)> &draw = nullptr) {
    capture_write_params(RAM_GIF_PARAMS, p);
    EXPECT_EQ(gif_start(), 0);
    app.gif_recording = 1;
    app.gif_frame_count = 0;
    for (int i = 0; i < frames; i++) {
      if (draw) draw(i);
      update_gif_recording(capture_test_palette(i < 6 ? 0 : 1).data());
    }
    gif_end();
    app.gif_recording = 0;
    return desk(p.name + ".gif");
  }

  // Starts a recording named name and gives it one frame, leaving it open.
  void start_with_one_frame(const std::string &name) {
    capture_params p;
    p.name = name;
    capture_write_params(RAM_GIF_PARAMS, p);
    ASSERT_EQ(gif_start(), 0);
    app.gif_recording = 1;
    capture_draw_video(wm, 0);
    gif_frame(capture_test_palette(0).data());
  }
};

GifFileType *open_gif(const std::string &path) {
  int error = 0;
  GifFileType *g = DGifOpenFileName(path.c_str(), &error);
  if (g && DGifSlurp(g) != GIF_OK) {
    DGifCloseFile(g, &error);
    return nullptr;
  }
  return g;
}

TEST_F(Gif, FramesMarkUnchangedPixelsAndAreWrittenAsTheyCome) {
  capture_params p;
  p.name = "rec", p.x0 = 8, p.y0 = 16, p.w = 64, p.h = 40, p.scale = 2;
  // composed frames 1, 3, 5, 7, 9, 11 are taken: 0 and 1 the same picture,
  // 2 shows colour 63 on a bank-3 line, 3 onwards a new palette
  auto draw = [&](int i) {
    int frame = i / 2;
    capture_draw_video(wm, frame == 1 ? 0 : frame, frame == 2);
  };
  std::string path = record(p, 12, draw);
  EXPECT_EQ(capture_notifications(wm),
            std::vector<std::string>{"captured 6 frame gif 64x40 (x2): /desktop/host/rec.gif"});
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0644 & ~mask);

  GifFileType *g = open_gif(path);
  ASSERT_NE(g, nullptr);
  ASSERT_EQ(g->ImageCount, 6);
  EXPECT_EQ(g->SWidth, 128);
  EXPECT_EQ(g->SHeight, 80);
  auto control = [&](int i) {
    GraphicsControlBlock gcb{};
    DGifSavedExtensionToGCB(g, i, &gcb);
    return gcb;
  };
  for (int i = 0; i < 6; i++) {
    EXPECT_EQ(control(i).DelayTime, 3);
    if (i != 2) {
      EXPECT_EQ(control(i).TransparentColor, 255);
    }
  }
  // the second frame repeats the first: every pixel transparent
  const SavedImage &second = g->SavedImages[1];
  EXPECT_EQ(std::count(second.RasterBits, second.RasterBits + 128 * 80, 255), 128 * 80);
  EXPECT_EQ(g->SavedImages[0].ImageDesc.ColorMap, nullptr);
  // the frame using colour 63 on a bank-3 line is whole and opaque
  EXPECT_EQ(control(2).TransparentColor, NO_TRANSPARENT_COLOR);
  const SavedImage &opaque = g->SavedImages[2];
  EXPECT_EQ(std::count(opaque.RasterBits, opaque.RasterBits + 128 * 80, 255), 1 * 2 * 2);
  // from the fourth frame on the palette differs: a local colour map
  EXPECT_EQ(g->SavedImages[2].ImageDesc.ColorMap, nullptr);
  EXPECT_NE(g->SavedImages[3].ImageDesc.ColorMap, nullptr);
  // first frame's indices: bank(y) * 64 + byte, pixel (i, j) from (x0 + i/2, y0 + j/2)
  auto pal = capture_test_palette(0);
  for (auto [i, j] : {std::pair{0, 0}, {17, 33}, {127, 79}}) {
    int x = 8 + i / 2, y = 16 + j / 2;
    int drawn = ((x + y) / 16) % 8 == 0 ? (x / 8) % 62 + 1 : 0;
    EXPECT_EQ(g->SavedImages[0].RasterBits[j * 128 + i], int(pal[size_t(256 + y)] * 64 + drawn));
  }
  int error = 0;
  DGifCloseFile(g, &error);
}

TEST_F(Gif, StreamedFileEqualsTheSameImagesWrittenAtOnce) {
  capture_params p;
  p.name = "same", p.w = 100, p.h = 60, p.skip = 3;
  std::string path = record(p, 13, [&](int i) { capture_draw_video(wm, i / 3, i == 9); });
  GifFileType *g = open_gif(path);
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(g->ImageCount, 5);  // skip 3, then every second of 10
  // the colour resolution field holds 16 as giflib packs it
  g->SColorResolution = 16;
  std::string again = host + "/again.gif";
  int error = 0;
  GifFileType *out = EGifOpenFileName(again.c_str(), false, &error);
  ASSERT_NE(out, nullptr);
  out->SWidth = g->SWidth, out->SHeight = g->SHeight;
  out->SColorResolution = g->SColorResolution, out->SBackGroundColor = g->SBackGroundColor;
  ColorMapObject *screen_map = GifMakeMapObject(256, g->SColorMap->Colors);
  out->SColorMap = screen_map;  // copied by the screen writer, ours to free
  for (int i = 0; i < g->ImageCount; i++) {
    const SavedImage &from = g->SavedImages[i];
    SavedImage *to = GifMakeSavedImage(out, nullptr);
    to->ImageDesc = from.ImageDesc;
    if (from.ImageDesc.ColorMap)
      to->ImageDesc.ColorMap = GifMakeMapObject(256, from.ImageDesc.ColorMap->Colors);
    size_t n = size_t(from.ImageDesc.Width) * size_t(from.ImageDesc.Height);
    to->RasterBits = static_cast<GifByteType *>(malloc(n));
    std::memcpy(to->RasterBits, from.RasterBits, n);
    for (int e = 0; e < from.ExtensionBlockCount; e++) {
      const ExtensionBlock &b = from.ExtensionBlocks[e];
      GifAddExtensionBlock(&to->ExtensionBlockCount, &to->ExtensionBlocks, b.Function,
                           unsigned(b.ByteCount), b.Bytes);
    }
  }
  // giflib leaves the saved images to their maker
  SavedImage *images = out->SavedImages;
  int count = out->ImageCount;
  ASSERT_EQ(EGifSpew(out), GIF_OK);
  for (int i = 0; i < count; i++) {
    GifFreeMapObject(images[i].ImageDesc.ColorMap);
    std::free(images[i].RasterBits);
    GifFreeExtensions(&images[i].ExtensionBlockCount, &images[i].ExtensionBlocks);
  }
  std::free(images);
  GifFreeMapObject(screen_map);
  DGifCloseFile(g, &error);
  EXPECT_EQ(slurp(path), slurp(again));
}

TEST_F(Gif, EveryFrameReachesTheFileWhole) {
  // between frames the file holds the frames so far in full, so that a
  // recording cut short by a kill lacks only the closing byte
  capture_params p;
  p.name = "whole", p.w = 200, p.h = 100, p.scale = 3;
  capture_write_params(RAM_GIF_PARAMS, p);
  ASSERT_EQ(gif_start(), 0);
  std::string so_far;
  for (int i = 0; i < 4; i++) {
    capture_draw_video(wm, i, i == 2);
    gif_frame(capture_test_palette(i < 2 ? 0 : 1).data());
    so_far = slurp(desk("whole.gif"));
    std::string cut = host + "/cut.gif";
    std::ofstream(cut, std::ios::binary) << so_far << ';';
    GifFileType *g = open_gif(cut);
    ASSERT_NE(g, nullptr) << "after frame " << i;
    EXPECT_EQ(g->ImageCount, i + 1);
    int error = 0;
    DGifCloseFile(g, &error);
  }
  gif_end();
  EXPECT_EQ(slurp(desk("whole.gif")), so_far + ';');
}

TEST_F(Gif, VideoMemoryIsGatheredPageByPage) {
  // a process whose video pages were never touched but a few, each its own
  // block: the GIF shows exactly what the process reads
  capture_params p;
  p.name = "pages", p.w = 480, p.h = 270;
  std::string path = record(p, 1, [&](int) {
    poke_proc(wm, int32_t(RAM_VIDEO) + 4095, 5);    // end of the first video page
    poke_proc(wm, int32_t(RAM_VIDEO) + 4096, 6);    // start of the next
    poke_proc(wm, int32_t(RAM_VIDEO) + 129599, 7);  // last pixel
  });
  GifFileType *g = open_gif(path);
  ASSERT_NE(g, nullptr);
  ASSERT_EQ(g->ImageCount, 1);
  auto pal = capture_test_palette(0);
  const GifByteType *r = g->SavedImages[0].RasterBits;
  auto bank = [&](int at) { return int(pal[size_t(256 + at / 480)]) * 64; };
  EXPECT_EQ(r[4095], bank(4095) + 5);
  EXPECT_EQ(r[4096], bank(4096) + 6);
  EXPECT_EQ(r[129599], bank(129599) + 7);
  EXPECT_EQ(r[200000 % 129600], bank(200000 % 129600));
  int error = 0;
  DGifCloseFile(g, &error);
}

TEST_F(Gif, CancelledFailedOrUnplacedRecordingsLeaveNoFile) {
  ASSERT_NO_FATAL_FAILURE(start_with_one_frame("gone"));
  EXPECT_TRUE(std::filesystem::exists(desk("gone.gif")));
  gif_cancel();
  EXPECT_FALSE(std::filesystem::exists(desk("gone.gif")));
  EXPECT_EQ(capture_notifications(wm),
            std::vector<std::string>{"captured 1 frame gif 480x270 (x1): not saved"});
  // a recording that got no frame names no file
  ASSERT_EQ(gif_start(), 0);
  gif_end();
  EXPECT_FALSE(std::filesystem::exists(desk("gone.gif")));
  EXPECT_EQ(capture_notifications(wm),
            std::vector<std::string>{"captured 0 frame gif 480x270 (x1): not saved"});

  // a host that refuses the bytes: the partial file goes and the error is told
  capture_params p;
  p.name = "full";
  capture_write_params(RAM_GIF_PARAMS, p);
  ASSERT_EQ(gif_start(), 0);
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 1000;
  setrlimit(RLIMIT_FSIZE, &small);
  for (int i = 0; i < 3; i++) {
    capture_draw_video(wm, i);
    gif_frame(capture_test_palette(0).data());
  }
  gif_end();
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_FALSE(std::filesystem::exists(desk("full.gif")));
  EXPECT_EQ(capture_notifications(wm),
            std::vector<std::string>{"**error: could not write gif\\010"});

  // no host folder behind the path: nothing starts
  ASSERT_EQ(delete_mount_point("/desktop/host"), 1);
  testing::internal::CaptureStdout();
  EXPECT_EQ(gif_start(), 1);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("EGifOpenFileName error"),
            std::string::npos);
}

TEST_F(Gif, AFolderThatGoesMidRecordingIsAnErrorAndLosesNoOtherFile) {
  // the folder is removed, or removed and made again with a file of the
  // same name in it: neither recording may be reported as saved, and the
  // other file stays as it is
  for (bool replaced : {false, true}) {
    SCOPED_TRACE(replaced ? "replaced" : "removed");
    std::filesystem::create_directories(host + "/desk");
    ASSERT_NO_FATAL_FAILURE(start_with_one_frame("mid"));
    std::filesystem::remove_all(host + "/desk");
    if (replaced) {
      std::filesystem::create_directory(host + "/desk");
      std::ofstream(desk("mid.gif")) << "mine";
    }
    capture_draw_video(wm, 1);
    gif_frame(capture_test_palette(0).data());
    gif_end();
    app.gif_recording = 0;
    EXPECT_EQ(capture_notifications(wm),
              std::vector<std::string>{"**error: could not write gif\\010"});
    EXPECT_EQ(slurp(desk("mid.gif")), replaced ? "mine" : "<none>");
    // a cancelled recording removes only its own file as well
    if (replaced) {
      std::filesystem::remove(desk("mid.gif"));
      ASSERT_EQ(gif_start(), 0);
      std::filesystem::remove(desk("mid.gif"));
      std::ofstream(desk("mid.gif")) << "mine";
      gif_cancel();
      EXPECT_EQ(slurp(desk("mid.gif")), "mine");
      capture_notifications(wm);
    }
  }
}

TEST_F(Capture, AudioCaptureWritesWhatTheDeviceWasGiven) {
  audio_capture_start();
  EXPECT_TRUE(audio_capture_running());
  std::vector<uint8_t> chunk(2048);
  std::string want;
  for (int i = 0; i < 861; i++) {  // 861 x 2048 = 1763328 bytes, then the rest of 10 s
    for (size_t k = 0; k < chunk.size(); k++) chunk[k] = uint8_t(i * 7 + k);
    audio_capture_feed(chunk.data(), int32_t(chunk.size()));
    want.append(chunk.begin(), chunk.end());
  }
  audio_capture_feed(chunk.data(), 1764000 - 1763328);
  want.append(chunk.begin(), chunk.begin() + (1764000 - 1763328));
  EXPECT_EQ(audio_capture_end(), 0);
  EXPECT_FALSE(audio_capture_running());
  EXPECT_EQ(capture_notifications(wm),
            std::vector<std::string>{"captured 10.000 seconds: /desktop/host/audio.raw"});
  EXPECT_EQ(slurp(desk("audio.raw")), want);
  audio_capture_feed(chunk.data(), 16);  // after the end: nothing, no buffer touched
  EXPECT_EQ(app.capture_buffer, nullptr);
  // a second capture takes the next name; without the folder nothing is written
  audio_capture_start();
  EXPECT_EQ(audio_capture_end(), 0);
  EXPECT_EQ(slurp(desk("audio_1.raw")), "");
  ASSERT_EQ(delete_mount_point("/desktop/host"), 1);
  audio_capture_start();
  EXPECT_EQ(audio_capture_end(), 1);
}

TEST_F(Capture, ResetFinishesRunningCaptures) {
  audio_capture_start();
  uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  audio_capture_feed(bytes, 8);
  capture_params p;
  p.name = "kept";
  capture_write_params(RAM_GIF_PARAMS, p);
  ASSERT_EQ(gif_start(), 0);
  capture_draw_video(wm, 0);
  gif_frame(capture_test_palette(0).data());
  reset_subsystems();
  EXPECT_EQ(slurp(desk("audio.raw")), std::string(bytes, bytes + 8));
  EXPECT_NE(slurp(desk("kept.gif")).rfind("GIF89a", 0), std::string::npos);
  EXPECT_FALSE(audio_capture_running());
}

}  // namespace
