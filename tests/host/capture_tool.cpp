// Writes captures for capture_check.py to read with independent decoders:
//   capture_tool OUT
// OUT/desk/shot.png (frame region 10,20 100x50 at scale 2) and OUT/frame.raw
// (the frame, 480x270 u32 little-endian); OUT/label.qoi (mode 3 label of the
// same frame); OUT/desk/rec.gif, OUT/cut.gif (the recording before its end)
// and OUT/gif_frames.raw (each taken frame as RGB bytes, what a viewer must
// show); OUT/cart.kvd.png and OUT/cart/ (the files it must carry).
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#include "pod/png_buffer.h"
#include "pdisk/pfile.h"
#include "pdisk/png_cart.h"
#include "tests/host/capture_world.h"

namespace {

void save(const std::string &path, const void *data, size_t n) {
  std::ofstream(path, std::ios::binary).write(static_cast<const char *>(data), std::streamsize(n));
}

bool put(const std::string &path, const std::string &bytes) {
  pfile_entry *f = pfopen(path.c_str(), "w");
  if (!f) return false;
  bwrite(bytes.data(), 1, bytes.size(), f->data);
  return pfclose(f) == 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) return 2;
  std::string out = argv[1];
  proc *wm = capture_world_open(out);
  if (!wm) return 1;

  auto frame = capture_test_frame(5);
  save(out + "/frame.raw", frame.data(), frame.size() * 4);
  capture_params shot;
  shot.x0 = 10, shot.y0 = 20, shot.w = 100, shot.h = 50, shot.scale = 2;
  capture_write_params(RAM_SCREENSHOT_PARAMS, shot);
  request_screenshot();
  capture_screenshot(frame.data());

  pmkdir("/ram/cart");
  poke(int32_t(RAM_VIDEO_MODE), VIDEO_MODE_DOUBLED);
  capture_params label;
  label.label = 1;
  capture_write_params(RAM_SCREENSHOT_PARAMS, label);
  request_screenshot();
  capture_screenshot(frame.data());
  poke(int32_t(RAM_VIDEO_MODE), 0);
  pfile_entry *f = pfopen("/ram/cart/label.qoi", "r");
  if (!f) return 1;
  save(out + "/label.qoi", f->data->data, size_t(f->data->length));
  pfclose(f);

  capture_params rec;
  rec.name = "rec", rec.x0 = 8, rec.y0 = 16, rec.w = 64, rec.h = 40, rec.scale = 2;
  capture_write_params(RAM_GIF_PARAMS, rec);
  if (gif_start() != 0) return 1;
  app.gif_recording = 1;
  std::ofstream expected(out + "/gif_frames.raw", std::ios::binary);
  for (int i = 0; i < 12; i++) {
    int seed = i / 2;
    capture_draw_video(wm, seed == 1 ? 0 : seed, seed == 2);
    auto pal = capture_test_palette(i < 6 ? 0 : 1);
    if ((app.gif_frame_count + 1) & 1) {
      for (int j = 0; j < rec.h * rec.scale; j++)
        for (int k = 0; k < rec.w * rec.scale; k++) {
          int x = rec.x0 + k / rec.scale, y = rec.y0 + j / rec.scale;
          uint32_t c = pal[pal[size_t(256 + y)] * 64 +
                           (peek_proc(wm, int32_t(RAM_VIDEO) + y * 480 + x) & 63)];
          const char rgb[3] = {char(c >> 16), char(c >> 8), char(c)};
          expected.write(rgb, 3);
        }
    }
    update_gif_recording(pal.data());
  }
  // the file as a kill before the end would leave it
  std::filesystem::copy_file(out + "/desk/rec.gif", out + "/cut.gif");
  gif_end();
  app.gif_recording = 0;

  pmkdir("/ram/pc");
  pmkdir("/ram/pc/sub");
  std::filesystem::create_directories(out + "/cart/sub");
  std::mt19937 rng(11);
  std::string big(150000, '\0');
  for (auto &c : big) c = char(rng() % 7);  // compressible, not trivially
  const std::pair<std::string, std::string> files[] = {
      {"main.lua", "print('hello')\n"},
      {"sub/data.bin", big},
      {"empty", ""},
      {".info.pod", "{,title=\"Check\",version=\"1\",author=\"us\"}"}};
  for (auto &[rel, bytes] : files) {
    if (!put("/ram/pc/" + rel, bytes)) return 1;
    save(out + "/cart/" + rel, bytes.data(), bytes.size());
  }
  std::vector<uint8_t> px(480 * 270 * 4, 0x80);
  pbuffer_owner png(create_buffer_2(0, 'p'));
  LodePNG_encode32_pbuffer(px.data(), 480, 270, png.get());
  put("/ram/pc/label.png", std::string(reinterpret_cast<char *>(png->data), size_t(png->length)));
  pbuffer_owner folder(create_buffer_from_str("/ram/pc"));
  pbuffer_owner cart(create_buffer_2(0, 'p'));
  if (write_kvd_png_from_ram_files(cart.get(), folder.get()) != 0) return 1;
  save(out + "/cart.kvd.png", cart->data, size_t(cart->length));
  reset_subsystems();
  return 0;
}
