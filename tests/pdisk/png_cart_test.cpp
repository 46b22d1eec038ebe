// PNG cartridges: the picture, the bits it carries, the write-back through a
// cartridge mount and reading it back.
#include "pdisk/png_cart.h"

#include <cstdlib>
#include <random>

#include <gtest/gtest.h>

#include "machine/app.h"
#include "machine/message.h"
#include "machine/process.h"
#include "pod/png_buffer.h"
#include "pod/qoi_buffer.h"
#include "pdisk/cart_mount.h"
#include "pdisk/fileops.h"
#include "pdisk/mount.h"
#include "pdisk/pfile.h"
#include "pdisk/rom.h"
#include "kernel/process_life.h"
#include "pdisk_fixture.h"

namespace {

std::string random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto &c : s) c = char(rng());
  return s;
}

struct rgba {
  uint32_t w = 0, h = 0;
  std::vector<uint8_t> px;
  const uint8_t *at(uint32_t x, uint32_t y) const { return &px[(size_t(y) * w + x) * 4]; }
};

rgba decode(const std::string &png) {
  pbuffer_owner b(create_buffer_2(int64_t(png.size()), 'p'));
  bwrite(png.data(), 1, png.size(), b.get());
  rgba img;
  uint8_t *px = nullptr;
  if (LodePNG_decode32_pbuffer(&px, &img.w, &img.h, b.get()) == 0)
    img.px.assign(px, px + size_t(img.w) * img.h * 4);
  std::free(px);
  return img;
}

// A 480x270 picture whose pixel (x, y) is (x, y, 77, 200) in the low bytes.
std::vector<uint8_t> label_picture() {
  std::vector<uint8_t> px(480 * 270 * 4);
  for (int y = 0; y < 270; y++)
    for (int x = 0; x < 480; x++) {
      uint8_t *p = &px[size_t(y * 480 + x) * 4];
      p[0] = uint8_t(x), p[1] = uint8_t(y), p[2] = 77, p[3] = 200;
    }
  return px;
}

std::string png_of(const std::vector<uint8_t> &px, uint32_t w, uint32_t h) {
  pbuffer_owner b(create_buffer_2(0, 'p'));
  EXPECT_EQ(LodePNG_encode32_pbuffer(px.data(), w, h, b.get()), 0u);
  return buffer_text(b.get());
}

class PngCart : public PdiskTest {
 protected:
  proc *wm = nullptr;
  void SetUp() override {
    PdiskTest::SetUp();
    for (int i = 0; i < 3; i++) wm = create_process_from_code("--", "p", "/p.lua", "");
    ASSERT_NE(wm, nullptr);
    ASSERT_EQ(mount_ram_folder("/system"), 0);
  }
  // The PNG of the RAM folder `folder`, or "<refused>".
  std::string write_png(const char *folder) {
    pbuffer_owner f(create_buffer_from_str(folder));
    pbuffer_owner out(create_buffer_2(0, 'p'));
    if (write_kvd_png_from_ram_files(out.get(), f.get()) != 0) return "<refused>";
    return buffer_text(out.get());
  }
  std::vector<std::string> notifications() {
    std::vector<std::string> out;
    while (pbuffer *m = read_process_message(wm, nullptr)) out.push_back(to_cstr(m));
    return out;
  }
};

TEST_F(PngCart, CartridgeWrittenBackMountsAgainWithEveryFile) {
  ASSERT_EQ(pmkdir("/c.kvd.png"), 0);
  const std::pair<const char *, std::string> files[] = {
      {"/c.kvd.png/main.lua", "print('hi')"},
      {"/c.kvd.png/gfx/0.gfx", random_bytes(70000, 1)},
      {"/c.kvd.png/empty.txt", ""},
      {"/c.kvd.png/.info.pod", "{,title=\"T\",author=\"me\"}"},
  };
  ASSERT_EQ(pmkdir("/c.kvd.png/gfx"), 0);
  for (auto &[path, bytes] : files) ASSERT_TRUE(put(path, bytes));
  ASSERT_TRUE(put("/c.kvd.png/label.png", png_of(label_picture(), 480, 270)));
  flush_dirty_mounts_immediately();
  std::string png = read_host("c.kvd.png");
  ASSERT_EQ(png.substr(1, 3), "PNG");
  EXPECT_EQ(get_mount_by_mount_point("/c.kvd.png", 0)->dirty, 0u);

  ASSERT_EQ(delete_mount_point("/c.kvd.png"), 1);
  for (auto &[path, bytes] : files) EXPECT_EQ(get(path), bytes) << path;
  EXPECT_TRUE(pdisk_directory_exists("/c.kvd.png/gfx", false));
  // the label travels in the picture, not in the ROM, and comes back from it
  // as label.qoi: its top bits exact, the low ones repeating them
  EXPECT_EQ(get("/c.kvd.png/label.png"), "<none>");
  {
    std::string qoi = get("/c.kvd.png/label.qoi");
    pbuffer_owner b(create_buffer_2(int64_t(qoi.size()), 'q'));
    bwrite(qoi.data(), 1, qoi.size(), b.get());
    uint8_t *px = qoi_decode_pbuffer_sized(b.get(), 480, 270);
    ASSERT_NE(px, nullptr);
    const uint8_t *p = px + (7 * 480 + 100) * 4;
    EXPECT_EQ(p[0], (100 & 0xF8) | 100 >> 5);
    EXPECT_EQ(p[1], (7 & 0xF8) | 7 >> 5);
    EXPECT_EQ(p[3], (200 & 0xFC) | 200 >> 6);
    std::free(px);
  }
  // written back again the picture shows the same label
  ASSERT_TRUE(put("/c.kvd.png/main.lua", "print('again')"));
  flush_dirty_mounts_immediately();
  rgba again = decode(read_host("c.kvd.png"));
  ASSERT_EQ(again.w, 512u);
  rgba img = decode(png);
  for (int y = 0; y < 270; y += 13)
    for (int x = 0; x < 480; x += 7)
      for (int k = 0; k < 4; k++) {
        int n = k == 3 ? 2 : 3;
        ASSERT_EQ(again.at(16 + x, 38 + y)[k] >> n, img.at(16 + x, 38 + y)[k] >> n);
      }
  // a cartridge written without a label gets none on reading
  ASSERT_EQ(pmkdir("/n.kvd.png"), 0);
  ASSERT_TRUE(put("/n.kvd.png/main.lua", "x"));
  flush_dirty_mounts_immediately();
  ASSERT_EQ(delete_mount_point("/n.kvd.png"), 1);
  EXPECT_EQ(get("/n.kvd.png/main.lua"), "x");
  EXPECT_EQ(get("/n.kvd.png/label.qoi"), "<none>");

  ASSERT_EQ(img.w, 512u);
  ASSERT_EQ(img.h, 384u);
  for (auto [x, y] : {std::pair{0u, 0u}, {479u, 269u}, {100u, 7u}}) {
    const uint8_t *p = img.at(16 + x, 38 + y);
    EXPECT_EQ(p[0] >> 3, (x & 255) >> 3);
    EXPECT_EQ(p[1] >> 3, (y & 255) >> 3);
    EXPECT_EQ(p[3] >> 2, 200 >> 2);
  }
}

TEST_F(PngCart, RomBitsRunOnAcrossCarrierBytes) {
  ASSERT_EQ(pmkdir("/ram/f"), 0);
  ASSERT_TRUE(put("/ram/f/a", "x"));
  rgba img = decode(write_png("/ram/f"));
  ASSERT_EQ(img.w, 512u);
  // "kvd": 'k' = 0x6B gives R 011, G 101, B its bits 6 and 7 (1, 0) then
  // bit 0 of 'v' (0x76: 0); A bits 1 and 2 of 'v' (1, 1)
  const uint8_t *p = img.at(0, 0);
  EXPECT_EQ(p[0] & 7, 3);
  EXPECT_EQ(p[1] & 7, 5);
  EXPECT_EQ(p[2] & 7, 1);
  EXPECT_EQ(p[3] & 3, 3);
  // past the ROM every carrier byte carries zero bits
  const uint8_t *last = img.at(511, 383);
  EXPECT_EQ(last[0] & 7, 0);
  EXPECT_EQ(last[3] & 3, 0);
}

TEST_F(PngCart, TemplateAndLabelChoices) {
  // a 512x384 template shows through except for the low bits
  std::vector<uint8_t> tpl(512 * 384 * 4);
  for (size_t i = 0; i < tpl.size(); i++) tpl[i] = uint8_t(i * 37 % 251);
  ASSERT_EQ(pmkdir("/system/misc"), 0);
  ASSERT_TRUE(put("/system/misc/kvd_cart.png", png_of(tpl, 512, 384)));
  ASSERT_EQ(pmkdir("/ram/f"), 0);
  ASSERT_TRUE(put("/ram/f/a", "x"));
  // a label.png of the wrong size means no label, even with a label.qoi
  ASSERT_TRUE(put("/ram/f/label.png", png_of(std::vector<uint8_t>(16 * 4, 9), 4, 4)));
  pbuffer_owner qoi(create_buffer_2(0, 'q'));
  ASSERT_EQ(qoi_encode_pbuffer(label_picture().data(), 480, 270, 1, qoi.get()), 0);
  ASSERT_TRUE(put("/ram/f/label.qoi", buffer_text(qoi.get())));
  rgba img = decode(write_png("/ram/f"));
  ASSERT_EQ(img.px.size(), tpl.size());
  for (size_t i : {size_t(0), size_t(38 * 2048 + 16 * 4), tpl.size() - 1}) {
    int keep = (i & 3) == 3 ? 2 : 3;
    EXPECT_EQ(img.px[i] >> keep, tpl[i] >> keep) << i;
  }
  // without label.png the label.qoi is placed
  delete_path("/ram/f/label.png");
  ASSERT_FALSE(pdisk_file_exists("/ram/f/label.png"));
  img = decode(write_png("/ram/f"));
  EXPECT_EQ(img.at(16 + 200, 38 + 100)[0] >> 3, 200 >> 3);
  EXPECT_EQ(img.at(16 + 200, 38 + 100)[1] >> 3, 100 >> 3);
  // a template of another size gives the plain carrier
  ASSERT_TRUE(put("/system/misc/kvd_cart.png", png_of(std::vector<uint8_t>(64, 1), 4, 4)));
  img = decode(write_png("/ram/f"));
  EXPECT_EQ(img.at(0, 0)[0] >> 3, 0x24 >> 3);
}

TEST_F(PngCart, RomOfTheLimitIsRefusedAndTheOldFileKept) {
  // ROM size of a folder holding one incompressible file of n bytes
  ASSERT_EQ(pmkdir("/ram/f"), 0);
  pbuffer_owner folder(create_buffer_from_str("/ram/f"));
  auto rom_size = [&](size_t n) {
    EXPECT_TRUE(put("/ram/f/big", random_bytes(n, 7)));
    pbuffer_owner rom(create_buffer_2(0, 'd'));
    EXPECT_EQ(write_kvd_rom_from_ram_files(rom.get(), folder.get(), ROM_SKIP_LABEL), 0);
    return int64_t(rom->length);
  };
  auto size_for = [&](int64_t target) {
    size_t n = size_t(target) - 1024;
    for (int i = 0; i < 20; i++) {
      int64_t got = rom_size(n);
      if (got == target) return true;
      n = size_t(int64_t(n) + target - got);
    }
    return false;
  };
  ASSERT_TRUE(size_for(PNG_CART_MAX_ROM - 1));
  EXPECT_NE(write_png("/ram/f"), "<refused>");
  EXPECT_TRUE(notifications().empty());
  // LZ4 may step over the exact size; it does for this seed, checked here
  ASSERT_TRUE(size_for(PNG_CART_MAX_ROM));
  {
    EXPECT_EQ(write_png("/ram/f"), "<refused>");
    auto told = notifications();
    ASSERT_EQ(told.size(), 1u);
    EXPECT_NE(told[0].find("failed to store cartridge rom as png (too large)"), std::string::npos);
  }

  // through a mount: the file on the host stays as it was, the mount dirty
  ASSERT_EQ(pmkdir("/k.kvd.png"), 0);
  ASSERT_TRUE(put("/k.kvd.png/a.lua", "small"));
  flush_dirty_mounts_immediately();
  std::string before = read_host("k.kvd.png");
  ASSERT_EQ(before.substr(1, 3), "PNG");
  notifications();
  ASSERT_TRUE(put("/k.kvd.png/big", random_bytes(300000, 3)));
  flush_dirty_mounts_immediately();
  EXPECT_EQ(read_host("k.kvd.png"), before);
  EXPECT_EQ(get_mount_by_mount_point("/k.kvd.png", 0)->dirty, 1u);
  // told once (the writer's text and the write-back's), not at every retry
  auto told = notifications();
  ASSERT_EQ(told.size(), 2u);
  EXPECT_NE(told[0].find("failed to store cartridge rom as png (too large)"), std::string::npos);
  for (int retry = 0; retry < 3; retry++) flush_dirty_mounts_immediately();
  EXPECT_TRUE(notifications().empty());
  EXPECT_EQ(read_host("k.kvd.png"), before);
  // once it fits again it is written, and a later refusal is told anew
  delete_path("/k.kvd.png/big");
  // until then it takes no new write
  EXPECT_FALSE(put("/k.kvd.png/a.lua", "changed"));
  flush_dirty_mounts_immediately();
  EXPECT_EQ(get_mount_by_mount_point("/k.kvd.png", 0)->dirty, 0u);
  ASSERT_TRUE(put("/k.kvd.png/a.lua", "changed"));
  flush_dirty_mounts_immediately();
  EXPECT_EQ(get_mount_by_mount_point("/k.kvd.png", 0)->dirty, 0u);
  EXPECT_NE(read_host("k.kvd.png"), before);
  ASSERT_TRUE(put("/k.kvd.png/big", random_bytes(300000, 4)));
  flush_dirty_mounts_immediately();
  EXPECT_EQ(notifications().size(), 2u);
}

TEST_F(PngCart, DamagedOrForeignPicturesGiveNoRom) {
  std::vector<uint8_t> plain(512 * 384 * 4, 0);
  const std::string cases[] = {"", "\x89PNG\r\n\x1a\n" + std::string(600, 'p'),
                               png_of(plain, 512, 384), png_of(std::vector<uint8_t>(16, 0), 2, 2)};
  for (const std::string &png : cases) {
    pbuffer_owner b(create_buffer_2(int64_t(png.size()), 'p'));
    bwrite(png.data(), 1, png.size(), b.get());
    EXPECT_EQ(read_kvd_rom_from_png(b.get()), nullptr) << png.size();
  }
}

TEST_F(PngCart, LabelTextLines) {
  struct row {
    const char *info, *title, *byline;
  };
  const std::string long_author = std::string(800, 'a'), long_version = std::string(200, 'v');
  const std::string with_long_author = "{,version=\"1.0\",author=\"" + long_author + "\"}";
  const std::string with_long_version = "{,version=\"" + long_version + "\",author=\"me\"}";
  const row rows[] = {
      {"{,title=\"Game\",version=\"1.2\",author=\"me\"}", "Game", "1.2 by me"},
      {"{,title=\"Game\",author=\"me\"}", "Game", "by me"},
      {"{,title=\"Game\"}", "Game", ""},
      {"{,version=\"v2\"}", "", "v2"},
      {"{,title=\"a \\\"quoted\\\" one\"}", "a \\\"quoted\\\" one", ""},
      {"{title=\"first field has no comma\"}", "", ""},
      {"{,title=\"\",author=\"\"}", "", ""},
      {with_long_author.c_str(), "", "1.0"},
      {with_long_version.c_str(), "", ""},
  };
  for (const row &r : rows) {
    std::string title, byline;
    label_text_lines(r.info, int32_t(strlen(r.info)), &title, &byline);
    EXPECT_EQ(title, r.title) << r.info;
    EXPECT_EQ(byline, r.byline) << r.info;
  }
}

}  // namespace
