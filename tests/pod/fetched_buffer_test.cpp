// Fetched bytes to values, inside a process (for its palette, its charges
// and its memory limit).
#include "pdisk/fetched_buffer.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/ram_layout.h"
#include "machine/memory.h"
#include "userdata/udata.h"
#include "tests/kernel/kernel_fixture.h"
#include "tests/pod/png_test_util.h"

namespace {

struct Fetched : kernel_fixture {
  // The values of bytes fetched under name, each as its pod text, joined by
  // " | "; "none" when nothing was pushed.
  std::string fetch(const std::string &bytes, const char *name, int flags = 0) {
    lua_State *L = root->L;
    lua_settop(L, 0);
    pbuffer_owner b(create_buffer_2(16, 'i'));
    bwrite(bytes.data(), 1, bytes.size(), b.get());
    int n = unpod_from_fetched_buffer(L, b.get(), name, flags);
    EXPECT_EQ(lua_gettop(L), n);
    std::string out = n ? "" : "none";
    for (int i = 1; i <= n; i++) {
      pbuffer_owner t(create_buffer_2(16, 'p'));
      stringify_object(L, i, t.get(), 0, 0);
      out += (i > 1 ? " | " : "") + std::string(reinterpret_cast<char *>(t->data), t->length);
    }
    return out;
  }
};

TEST_F(Fetched, ByExtensionAndLeadingBytes) {
  struct {
    const char *name, *bytes, *want;
  } cases[] = {
      {"a.txt", "\xEF\xBB\xBFhi\r\n", "\"hi\\n\""},  // mark and carriage return dropped
      {"a.lua", "--[[pod_format=\"raw\",x=1]]\nprint(1)",
       "\"print(1)\" | {pod_format=\"raw\",x=1}"},
      {"a.pod", "{1,2}", "{1,2}"},
      {"A.POD", "{1,2}", "{1,2}"},
      {"a.pod", "{1,", "none"},
      {"a.dat", "--[[pod]]\n7", "7 | {}"},
      {"a.dat", "{1,2}", "\"{1,2}\""},
      {"a.png", "xPNX1234", "\"xPNX1234\""},                           // not a PNG: its bytes
      {"a.png", "\x89PNG\r\n\x1a\n", "\"\\137PNG\\013\\n\\026\\n\""},  // a broken PNG too
      {"noext", "", "\"\""},
  };
  for (auto &c : cases) EXPECT_EQ(fetch(c.bytes, c.name), c.want) << c.name << " " << c.bytes;

  lua_settop(root->L, 0);
  pbuffer_owner b(create_buffer_2(16, 'i'));
  EXPECT_EQ(unpod_from_fetched_buffer(root->L, nullptr, "a.txt", 0), 0);
  EXPECT_EQ(unpod_from_fetched_buffer(root->L, b.get(), nullptr, 0), 0);
  EXPECT_EQ(lua_gettop(root->L), 0);
}

TEST_F(Fetched, PngBecomesPaletteIndicesOrPixels) {
  const uint32_t palette[] = {0x000000, 0xff0000, 0x00ff00, 0x0000ff, 0x808080};
  for (int i = 0; i < 5; i++) poke4(RAM_RGB_PALETTE + 4 * i, palette[i]);
  std::vector<uint8_t> rgba = {
      0,    0,    0,    255,  // black: 0
      0xfe, 0,    0,    9,    // near red: 1 (alpha ignored)
      0,    0xf0, 0x10, 255,  // near green: 2
      0x70, 0x90, 0x80, 255,  // near grey: 4
      0x40, 0x40, 0x40, 255,  // halfway between black and grey: the lower index, 0
      0x11, 0x22, 0x33, 0x44,
  };
  std::string png = png_of(rgba, 3, 2);
  int32_t before = cpu_budget.cycles;
  EXPECT_EQ(fetch(png, "pic.png"), "userdata(\"u8\",3,2,\"000102040000\")");
  EXPECT_GE(cpu_budget.cycles - before, 3);  // 3 x 2 / 2
  EXPECT_EQ(fetch(png, "x.Q7.PNG"), "userdata(\"u8\",3,2,\"000102040000\")");
  // i32 elements 0xAARRGGBB.
  EXPECT_EQ(fetch(png, "pic.png", FETCHED_PNG_AS_I32),
            "userdata(\"i32\",3,2,\"ff000000"
            "09fe0000"
            "ff00f010"
            "ff709080"
            "ff404040"
            "44112233\")");
  // A PNG under another name is bytes.
  EXPECT_EQ(fetch(png, "pic.dat").substr(0, 6), "\"\\137P");
}

TEST_F(Fetched, PngLargerThanTheProcessMayHoldIsNotDecoded) {
  // 2900 x 2900 RGBA is 33.6 MB decoded: over the whole process limit, yet
  // the PNG is small. Outside a process the host's bound lets it through.
  std::string png = png_of(std::vector<uint8_t>(2900 * 2900 * 4, 0), 2900, 2900);
  ASSERT_LT(png.size(), 200000u);
  EXPECT_EQ(decode(png).error, PNG_ERROR_TOO_LARGE);
  cproc = nullptr;
  decoded d = decode(png);
  cproc = root;
  EXPECT_EQ(d.error, 0u);
  EXPECT_EQ(d.w, 2900u);
}

}  // namespace
