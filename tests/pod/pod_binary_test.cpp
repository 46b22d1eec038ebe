// The binary forms: pxu bytes of the format's own examples, the str, lz4 and
// b64: forms, and refusal of truncated or lying input.
#include "pod/pod_binary.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/config.h"
#include "base/debug_log.h"
#include "base/paths.h"
#include "userdata/udata.h"
#include "pod/pod_read.h"
#include "pod/pod_write.h"
#include "pod/pxu.h"
#include "tests/pod/pod_test_util.h"

namespace {

using PodBinary = PodLua;
using bytes = std::vector<uint8_t>;

bytes to_bytes(const std::string &s) { return bytes(s.begin(), s.end()); }

// pod text of the value of a Lua expression.
bytes pod_of(PodLua &t, const std::string &expr, int flags) { return to_bytes(t.pod(expr, flags)); }

// Reads exactly these bytes from a heap copy (no terminator after them).
int read_exact(lua_State *L, const bytes &b) {
  lua_settop(L, 0);
  std::vector<char> copy(b.begin(), b.end());
  return destringify_object(L, copy.data(), int64_t(copy.size()));
}

bytes pxu_bytes(lua_State *L, const std::string &expr, int bits, int mode) {
  luaL_dostring(L, ("return " + expr).c_str());
  udata *ud = to_udata(L, -1);
  EXPECT_NE(ud, nullptr);
  pbuffer_owner b(create_buffer_2(16, 'p'));
  write_binary_pxu(ud, b.get(), bits, mode);
  lua_pop(L, 1);
  return bytes(b->data, b->data + b->length);
}

bytes with_header(std::initializer_list<uint8_t> rest) {
  bytes b = {'p', 'x', 'u', 0};
  for (uint8_t x : rest) b.push_back(x);
  return b;
}

TEST_F(PodBinary, PxuExamples) {
  EXPECT_EQ(pxu_bytes(L, "userdata('u8',16,16)", 4, PXU_MODE_MTF),
            with_header({0x43, 0x20, 16, 16, 4, 0xF0, 240}));
  EXPECT_EQ(pxu_bytes(L, "userdata('u8',16,16,string.rep('14',256))", 4, PXU_MODE_MTF),
            with_header({0x43, 0x20, 16, 16, 4, 0xFF, 20, 240}));
  EXPECT_EQ(pxu_bytes(L, "userdata('u8',3,'010203')", 4, PXU_MODE_RAW),
            with_header({0x03, 0x10, 3, 1, 2, 3}));
  // Width 256 sets the size flag and writes u32 sizes.
  bytes big = pxu_bytes(L, "userdata('u8',256,1)", 4, PXU_MODE_MTF);
  EXPECT_EQ(bytes(big.begin(), big.begin() + 14),
            with_header({0x43, 0x28, 0, 1, 0, 0, 1, 0, 0, 0}));
  // i16 RLE: 300 elements of -2 then one 5: runs (255, ext 44) and (0).
  EXPECT_EQ(
      pxu_bytes(L, "userdata('i16',301,1,string.rep('fffe',300)..'0005')", 0, PXU_MODE_RLE),
      with_header({0x4C, 0x88, 0x2D, 0x01, 0, 0, 0x01, 0, 0, 0, 0, 255, 0xFE, 0xFF, 44, 0, 5, 0}));
}

TEST_F(PodBinary, PxuExtensionOf255IsFollowedByAZero) {
  // 15 + 255 + 1 = 271 elements: extension bytes 255 then 0.
  EXPECT_EQ(pxu_bytes(L, "userdata('u8',271)", 4, PXU_MODE_MTF),
            with_header({0x03, 0x28, 0x0F, 0x01, 0, 0, 4, 0xF0, 255, 0}));
}

TEST_F(PodBinary, PxuMoveToFrontSlots) {
  // 1, 2, 1, 99, 99, 1: slots 1 and 2 move to the front; 99 is a literal
  // that replaces the least recent slot (position 14 holds slot 14).
  EXPECT_EQ(pxu_bytes(L, "userdata('u8',6,'010201636301')", 4, PXU_MODE_MTF),
            with_header({0x03, 0x20, 6, 4, 0x01, 0x02, 0x01, 0x1F, 99, 0x01}));
}

// Reads a pxu form (followed by a marker byte) and gives the record.
udata *read_pxu(lua_State *L, const bytes &form, const uint8_t **after = nullptr) {
  lua_settop(L, 0);
  const uint8_t *end = get_binary_pxu(L, form.data(), form.data() + form.size());
  if (after) *after = end;
  return end ? to_udata(L, -1) : nullptr;
}

TEST_F(PodBinary, PxuReaderIndexWidths) {
  // N = 6: index 63 is a literal (it replaces slot 62, the least recent); run
  // field 3 (2^(8-6) - 1) takes extension bytes.
  bytes n6 = with_header({0x03, 0x20, 8, 6, 0xFF, 7, 1, 0x01, 0x7E});
  udata *ud = read_pxu(L, n6);
  ASSERT_NE(ud, nullptr);
  EXPECT_EQ(std::memcmp(udata_elements(ud), "\x07\x07\x07\x07\x07\x01\x07\x07", 8), 0)
      << "literal 7 (3 + 1 + 1 elements), slot 1 (1), slot 62 (2)";
  for (uint8_t n : {0, 7, 8, 255})
    EXPECT_EQ(read_pxu(L, with_header({0x03, 0x20, 4, n, 0x00})), nullptr) << int(n);
}

TEST_F(PodBinary, PxuReaderClipsRunsAndReportsItsEnd) {
  bytes f = with_header({0x03, 0x20, 4, 4, 0xF0, 200, '!'});  // a run of 216 into 4 elements
  const uint8_t *after;
  udata *ud = read_pxu(L, f, &after);
  ASSERT_NE(ud, nullptr);
  EXPECT_EQ(ud->width, 4u);
  EXPECT_EQ(*after, '!');
}

TEST_F(PodBinary, PxuLegacyHeader) {
  bytes f = {'p', 'x', 'u', 0, 2, 0, 0, 0, 3, 0, 0, 0, 9, 9, 9, 9, 3, 4, 0x5F, 6};
  udata *ud = read_pxu(L, f);
  ASSERT_NE(ud, nullptr);
  EXPECT_EQ(ud->dims, 2);
  EXPECT_EQ(ud->width, 2u);
  EXPECT_EQ(ud->height, 3u);
  for (int i = 0; i < 6; i++) EXPECT_EQ(udata_elements(ud)[i], 6);
}

TEST_F(PodBinary, PxuRefusesTruncatedAndLyingForms) {
  const bytes bad[] = {
      with_header({}),                             // no header
      with_header({0x43, 0x20, 16}),               // no height
      with_header({0x43, 0x20, 16, 16, 4}),        // no data
      with_header({0x43, 0x20, 16, 16, 4, 0x10}),  // data ends early
      with_header({0x43, 0x10, 4, 4, 1, 2, 3}),    // raw: 16 bytes declared, 3 present
      with_header({0x4C, 0x80, 4, 4, 0, 3, 1}),    // RLE value cut short
      with_header({0x43, 0x28, 0, 16, 0, 0, 0, 16, 0, 0, 4, 0xF0, 255}),       // 1 MiB from 2 bytes
      with_header({0x43, 0x28, 0xff, 0xff, 0xff, 0xff, 1, 0, 0, 0, 4, 0xF0}),  // width above i32
      with_header({0xC3, 0x20, 4, 4, 4, 0xF0}),                                // 4 dimensions
      with_header({0x43, 0x30, 4, 4, 4, 0xF0}),                                // unknown mode
      with_header({0x43, 0x20, 0, 4, 4, 0xF0}),                                // width 0
      {'p', 'x', 'u', 0, 2, 0, 0, 0, 3, 0, 0, 0, 9, 9, 9},  // legacy header cut short
  };
  for (const bytes &f : bad) {
    std::vector<uint8_t> heap(f);
    lua_settop(L, 0);
    EXPECT_EQ(get_binary_pxu(L, heap.data(), heap.data() + heap.size()), nullptr);
    EXPECT_EQ(lua_gettop(L), 0);
  }
}

TEST_F(PodBinary, PxuOtherTypesInRleModeAreZeroFilled) {
  bytes f = with_header({0x4D, 0x80, 2, 2, 0, 9, 9});  // i32 2x2
  udata *ud = read_pxu(L, f);
  ASSERT_NE(ud, nullptr);
  EXPECT_EQ(ud->utype, UTYPE_I32);
  for (int i = 0; i < 16; i++) EXPECT_EQ(udata_elements(ud)[i], 0);
}

TEST_F(PodBinary, PxuRoundTripsRandomArrays) {
  std::mt19937 rng(7);
  for (int iter = 0; iter < 200; iter++) {
    int w = 1 + int(rng() % 300), h = 1 + int(rng() % 4), dims = 1 + int(rng() % 2);
    if (dims == 1) h = 1;
    bool wide = rng() % 3 == 0;
    udata *ud = create_userdata(L, wide ? "i16" : "u8", dims, w, h, nullptr);
    ASSERT_NE(ud, nullptr);
    // Runs of random length from a small or a wide palette.
    int palette = rng() % 2 ? 4 : 256;
    size_t size = wide ? 2 : 1;
    for (uint64_t i = 0; i < udata_count(ud);) {
      uint32_t v = rng() % palette * (wide ? 251 : 1);
      uint64_t run = 1 + rng() % (rng() % 4 == 0 ? 600 : 5);
      for (; run && i < udata_count(ud); run--, i++)
        std::memcpy(udata_elements(ud) + i * size, &v, size);
    }
    for (int mode : {PXU_MODE_RAW, PXU_MODE_MTF, PXU_MODE_RLE}) {
      if (wide && mode != PXU_MODE_RLE) continue;
      for (int bits : {1, 3, 4, 6}) {
        if (mode != PXU_MODE_MTF && bits != 4) continue;
        pbuffer_owner b(create_buffer_2(16, 'p'));
        write_binary_pxu(ud, b.get(), bits, mode);
        const uint8_t *end = get_binary_pxu(L, b->data, b->data + b->length);
        ASSERT_EQ(end, b->data + b->length) << "mode " << mode << " bits " << bits;
        udata *back = to_udata(L, -1);
        ASSERT_EQ(std::memcmp(back, ud, sizeof(udata) + udata_bytes(ud)), 0)
            << "mode " << mode << " bits " << bits;
        lua_pop(L, 1);
      }
    }
    lua_pop(L, 1);
  }
}

TEST_F(PodBinary, StrForm) {
  bytes b = pod_of(*this, "'a\\0b'", POD_FLAG_BINARY_STR);
  EXPECT_EQ(b, (bytes{'s', 't', 'r', 0, 3, 0, 0, 0, 'a', 0, 'b'}));
  ASSERT_EQ(read_exact(L, b), 1);
  size_t n;
  const char *s = lua_tolstring(L, 1, &n);
  EXPECT_EQ(std::string(s, n), std::string("a\0b", 3));
  // A length beyond the bytes present, or above the limit, fails.
  bytes cut = b;
  cut.pop_back();
  EXPECT_EQ(read_exact(L, cut), 0);
  bytes huge = {'s', 't', 'r', 0, 0, 0, 0, 2};
  huge.resize(huge.size() + 64);
  EXPECT_EQ(read_exact(L, huge), 0);
  EXPECT_EQ(read_exact(L, {'s', 't', 'r', 0, 0, 0}), 0);
}

TEST_F(PodBinary, Lz4FormAndItsRefusals) {
  bytes b = pod_of(*this, "{a=string.rep('xy', 500)}", POD_FLAG_LZ4);
  ASSERT_EQ(bytes(b.begin(), b.begin() + 4), (bytes{'l', 'z', '4', 0}));
  uint32_t c, r;
  std::memcpy(&c, &b[4], 4);
  std::memcpy(&r, &b[8], 4);
  EXPECT_EQ(b.size(), 12 + c);
  EXPECT_EQ(r, 1006u);
  ASSERT_EQ(read_exact(L, b), 1);
  lua_getfield(L, 1, "a");
  EXPECT_EQ(lua_rawlen(L, -1), 1000u);

  bytes cut(b.begin(), b.end() - 1);  // block cut short
  EXPECT_EQ(read_exact(L, cut), 0);

  bytes lying = b;  // declares more than the block gives: logged and refused
  uint32_t more = r + 1;
  std::memcpy(&lying[8], &more, 4);
  EXPECT_EQ(read_exact(L, lying), 0);

  bytes bomb = b;  // more than 255 bytes out of each byte in: refused at once
  uint32_t huge = 0x7fffffff;
  std::memcpy(&bomb[8], &huge, 4);
  EXPECT_EQ(read_exact(L, bomb), 0);
}

TEST_F(PodBinary, Lz4SizeMismatchIsLogged) {
  std::filesystem::path home =
      std::filesystem::temp_directory_path() / ("pod_log_" + std::to_string(getpid()));
  std::filesystem::create_directories(home);
  std::snprintf(config.home, sizeof config.home, "%s/", home.c_str());
  debug_log_open_allowed();
  bytes b = pod_of(*this, "'abcdefgh'", POD_FLAG_LZ4);
  uint32_t r = 11;  // the text is 10 bytes
  std::memcpy(&b[8], &r, 4);
  EXPECT_EQ(read_exact(L, b), 0);
  char path[2100];
  paths_prefix_appdata("log.txt", path);
  std::ifstream f(path);
  std::string log((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  EXPECT_NE(log.find("] reading corrupt lz4 value // sizes do not match: 10 11\n"),
            std::string::npos)
      << log;
  std::filesystem::remove_all(home);
}

TEST_F(PodBinary, B64FormAndFlagCombinations) {
  bytes plain = pod_of(*this, "{1,'two',{3}}", 0);
  bytes b64 = pod_of(*this, "{1,'two',{3}}", POD_FLAG_BASE64);
  std::string s(b64.begin(), b64.end());
  EXPECT_EQ(s.substr(0, 11), "unpod(\"b64:");
  EXPECT_EQ(s.substr(s.size() - 2), "\")");
  for (int flags : {int(POD_FLAG_BASE64), POD_FLAG_BASE64 | POD_FLAG_LZ4}) {
    ASSERT_EQ(read_exact(L, pod_of(*this, "{1,'two',{3}}", flags)), 1);
    lua_setglobal(L, "v");
    EXPECT_EQ(run("return v[2] .. v[3][1]"), "two3") << flags;
  }
  // As a value inside a table, and with its closing quote and parenthesis missing.
  std::string inner = "{7," + s + ",8}";
  ASSERT_EQ(read(inner), 1);
  lua_setglobal(L, "v");
  EXPECT_EQ(run("return v[1] + v[2][1] + v[3]"), "16");
  ASSERT_EQ(read(s.substr(0, s.size() - 2)), 1);
}

TEST_F(PodBinary, WrappedFormsNestOnlySoDeep) {
  // unpod("b64:...") around unpod("b64:...") ... around 5: each level is a
  // whole pod text and takes two wrapping levels (unpod( and b64:).
  std::string nested = "5";
  for (int level = 1; level <= 10; level++) {
    pbuffer_owner b(create_buffer_2(16, 'p'));
    write_b64_form(reinterpret_cast<const uint8_t *>(nested.data()), int32_t(nested.size()),
                   b.get());
    nested.assign(reinterpret_cast<char *>(b->data), size_t(b->length));
    int got = read(nested);
    EXPECT_EQ(got, level <= POD_MAX_WRAP / 2 ? 1 : 0) << level;
    if (got) {
      EXPECT_EQ(lua_tointeger(L, 1), 5);
    }
  }
  std::string lz = "5";
  for (int level = 1; level <= 12; level++) {
    pbuffer_owner b(create_buffer_2(16, 'p'));
    write_lz4_form(reinterpret_cast<const uint8_t *>(lz.data()), int32_t(lz.size()), b.get());
    lz.assign(reinterpret_cast<char *>(b->data), size_t(b->length));
    EXPECT_EQ(read(lz), level <= POD_MAX_WRAP ? 1 : 0) << level;
  }
}

TEST_F(PodBinary, PxuInsidePodTexts) {
  std::string t =
      pod("{userdata('u8',16,16), userdata('i16',2,'ffff0001'), userdata('u8',3,'0a0b0c')}",
          POD_FLAG_PXU);
  ASSERT_EQ(read(t), 1);
  lua_setglobal(L, "v");
  EXPECT_EQ(run("return pod(v)"),
            pod("{userdata('u8',16,16), userdata('i16',2,'ffff0001'), userdata('u8',3,'0a0b0c')}"));
  std::string raw = pod("userdata('u8',3,'0a0b0c')", POD_FLAG_PXU | POD_FLAG_PXU_RAW);
  EXPECT_EQ(to_bytes(raw), with_header({0x03, 0x10, 3, 10, 11, 12}));
  // Other types keep the text form.
  EXPECT_EQ(pod("userdata('i32',1,'00000001')", POD_FLAG_PXU), "userdata(\"i32\",1,\"00000001\")");
}

TEST_F(PodBinary, ShortUserdataTextsCannotMakeLargeArrays) {
  EXPECT_EQ(read("userdata(\"u8\",4096,4096,\"\")"), 0);
  EXPECT_EQ(read("{userdata(\"f64\",1000,\"1,2\")}"), 0);
  ASSERT_EQ(read("userdata(\"u8\",8,\"ff00\")"), 1);  // small arrays may be short
  EXPECT_EQ(udata_count(to_udata(L, 1)), 8u);
  ASSERT_EQ(read("userdata(\"[gfx]0202a\")"), 1);
  EXPECT_EQ(udata_elements(to_udata(L, 1))[0], 10);
}

}  // namespace
