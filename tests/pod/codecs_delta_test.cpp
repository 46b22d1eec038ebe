// The delta codec: the fixed layouts, and refusal of deltas whose headers or
// operations lie about their sizes.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <lz4.h>

#include "base/config.h"
#include "base/crc32.h"
#include "base/debug_log.h"
#include "base/pbuffer.h"
#include "pod/delta.h"

using bytes = std::vector<uint8_t>;

namespace {

bytes random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  bytes b(n);
  for (auto &x : b) x = uint8_t(rng());
  return b;
}

bytes take(pbuffer *b) {
  if (!b) return {};
  bytes out(b->data, b->data + b->length);
  destroy_buffer(b);
  return out;
}

bytes make_delta(const bytes &src, const bytes &dst) {
  return take(generate_diff(src.data(), int32_t(src.size()), dst.data(), int32_t(dst.size())));
}

// The raw delta inside a stored one.
bytes unstore(const bytes &stored) {
  EXPECT_EQ(std::memcmp(stored.data(), "dst", 4), 0);
  uint32_t n;
  std::memcpy(&n, stored.data() + 4, 4);
  bytes raw(n);
  int got =
      LZ4_decompress_safe(reinterpret_cast<const char *>(stored.data() + 8),
                          reinterpret_cast<char *>(raw.data()), int(stored.size() - 8), int(n));
  EXPECT_EQ(got, int(n));
  return raw;
}

void put32(bytes &b, uint32_t v) {
  for (int i = 0; i < 4; i++) b.push_back(uint8_t(v >> (8 * i)));
}

bytes raw_header(uint32_t dst_length, const bytes &src) {
  bytes b;
  put32(b, dst_length);
  put32(b, crc32b(src.data(), int64_t(src.size())));
  put32(b, 0);
  return b;
}

// Applies and tells whether a result came back.
bool apply(const bytes &src, const bytes &delta, bytes *out) {
  pbuffer *b = apply_diff(src.data(), int32_t(src.size()), delta.data(), int32_t(delta.size()));
  if (!b) return false;
  *out = take(b);
  return true;
}

}  // namespace

TEST(Delta, IdenticalStringsAreOneCopy) {
  bytes src = random_bytes(100, 1);
  bytes raw = unstore(make_delta(src, src));
  bytes expect = raw_header(100, src);
  std::memcpy(expect.data() + 8, raw.data() + 8, 4);
  expect.insert(expect.end(), {0, 100, 0, 0, 0, 0});
  EXPECT_EQ(raw, expect);
  uint32_t dst_crc;
  std::memcpy(&dst_crc, raw.data() + 8, 4);
  EXPECT_EQ(dst_crc, crc32b(src.data(), 100));
}

TEST(Delta, EmptyDestinationIsTheHeaderOnly) {
  bytes src = random_bytes(50, 2), out{1};
  bytes raw = unstore(make_delta(src, {}));
  EXPECT_EQ(raw, raw_header(0, src));
  ASSERT_TRUE(apply(src, make_delta(src, {}), &out));
  EXPECT_TRUE(out.empty());
}

TEST(Delta, LongLengthsUseTheEscape) {
  // 255 literal bytes from an empty source: the byte 255 and a u32.
  bytes dst = random_bytes(255, 3);
  bytes raw = unstore(make_delta({}, dst));
  ASSERT_EQ(raw.size(), 12u + 5 + 255);
  EXPECT_EQ(raw[12], 255);
  EXPECT_EQ(raw[13] | raw[14] << 8 | raw[15] << 16 | raw[16] << 24, 255);
  // A copy of exactly 255 bytes, and one of 254 with its single byte.
  raw = unstore(make_delta(dst, dst));
  EXPECT_EQ(bytes(raw.begin() + 12, raw.end()), (bytes{0, 255, 255, 0, 0, 0, 0, 0, 0, 0}));
  bytes short_dst(dst.begin(), dst.begin() + 254);
  raw = unstore(make_delta(dst, short_dst));
  EXPECT_EQ(bytes(raw.begin() + 12, raw.end()), (bytes{0, 254, 0, 0, 0, 0}));
}

TEST(Delta, SourceMustMatch) {
  bytes src = random_bytes(400, 4), dst = src, out;
  dst[200] ^= 1;
  bytes delta = make_delta(src, dst);
  ASSERT_TRUE(apply(src, delta, &out));
  EXPECT_EQ(out, dst);
  bytes other = src;
  other[0] ^= 1;
  EXPECT_FALSE(apply(other, delta, &out));
  EXPECT_FALSE(apply({}, delta, &out));
  // Only a delta made from an empty source applies to an empty source.
  bytes from_empty = make_delta({}, dst);
  ASSERT_TRUE(apply({}, from_empty, &out));
  EXPECT_EQ(out, dst);
  EXPECT_FALSE(apply(src, from_empty, &out));
}

TEST(Delta, SourceMismatchIsLogged) {
  char tmpl[] = "/tmp/kvd_delta_XXXXXX";
  std::string home = mkdtemp(tmpl);
  std::snprintf(config.home, sizeof config.home, "%s", home.c_str());
  debug_log_open_allowed();
  bytes src = random_bytes(40, 8), dst = random_bytes(40, 9), out;
  bytes stored = make_delta(src, dst);
  EXPECT_FALSE(apply(dst, stored, &out));
  EXPECT_FALSE(apply(dst, unstore(stored), &out));
  std::ifstream f(home + "/log.txt");
  std::stringstream log;
  log << f.rdbuf();
  EXPECT_NE(log.str().find("] ** apply_delta: failed src crc (dst marker: 1)\n"), std::string::npos)
      << log.str();
  EXPECT_NE(log.str().find("] ** apply_delta: failed src crc (dst marker: 0)\n"), std::string::npos)
      << log.str();
  std::remove((home + "/log.txt").c_str());
  rmdir(home.c_str());
}

TEST(Delta, LargestDestinationBothWays) {
  // A destination of the largest size is made and applied; one byte more is
  // refused when making the delta, so no delta is stored that cannot apply.
  bytes dst(size_t(delta_max_size) + 1);
  for (size_t i = 0; i < dst.size(); i++) dst[i] = uint8_t(i * 7 + (i >> 9));
  EXPECT_EQ(generate_diff(nullptr, 0, dst.data(), int32_t(dst.size())), nullptr);
  dst.pop_back();
  bytes delta = make_delta({}, dst), out;
  ASSERT_FALSE(delta.empty());
  ASSERT_TRUE(apply({}, delta, &out));
  EXPECT_TRUE(out == dst);
}

TEST(Delta, RefusesLyingStoredHeaders) {
  bytes src = random_bytes(3000, 5), dst = src, out;
  dst.insert(dst.begin() + 1000, 77);
  bytes stored = make_delta(src, dst);
  // Truncated block, too short for its header, a raw length the block cannot
  // produce, and a huge declared length: all refused before allocating.
  EXPECT_FALSE(apply(src, bytes(stored.begin(), stored.end() - 3), &out));
  EXPECT_FALSE(apply(src, bytes(stored.begin(), stored.begin() + 6), &out));
  for (uint32_t lie : {100000u, 0xFFFFFFFFu, 11u}) {
    bytes b = stored;
    std::memcpy(b.data() + 4, &lie, 4);
    EXPECT_FALSE(apply(src, b, &out)) << lie;
  }
}

TEST(Delta, RefusesLyingRawDeltas) {
  bytes src = random_bytes(64, 6), out;
  // Shorter than the header.
  EXPECT_FALSE(apply(src, bytes(11, 0), &out));
  // A declared destination beyond 32 MiB, or beyond what the operations can
  // produce, is refused before the output is allocated.
  bytes huge = raw_header(0x7FFFFFFF, src);
  huge.insert(huge.end(), {0, 255, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0});
  EXPECT_FALSE(apply(src, huge, &out));
  bytes unreachable = raw_header(1000, src);
  unreachable.insert(unreachable.end(), {3, 'a', 'b', 'c'});
  EXPECT_FALSE(apply(src, unreachable, &out));
  // Operations that would pass the declared length.
  bytes over = raw_header(2, src);
  over.insert(over.end(), {3, 'a', 'b', 'c'});
  EXPECT_FALSE(apply(src, over, &out));
  bytes over_copy = raw_header(10, src);
  over_copy.insert(over_copy.end(), {1, 'a', 20, 0, 0, 0, 0});
  EXPECT_FALSE(apply(src, over_copy, &out));
}

TEST(Delta, WalkStopsAtTheEndOfTheDelta) {
  bytes src = random_bytes(64, 7), out;
  // A literal running past the end ends the walk with what came before.
  bytes cut = raw_header(8, src);
  cut.insert(cut.end(), {2, 'h', 'i', 0, 0, 0, 0, 0, 9, 'x'});
  ASSERT_TRUE(apply(src, cut, &out));
  EXPECT_EQ(out, (bytes{'h', 'i'}));
  // A copy whose offset + length passes the source, even only when added in
  // 64 bits, is skipped.
  bytes wrap = raw_header(8, src);
  wrap.insert(wrap.end(), {1, 'a', 0x20, 0xF0, 0xFF, 0xFF, 0xFF, 1, 'b'});
  ASSERT_TRUE(apply(src, wrap, &out));
  EXPECT_EQ(out, (bytes{'a', 'b'}));
  // A copy length escape cut short ends the walk.
  bytes short_len = raw_header(1, src);
  short_len.insert(short_len.end(), {1, 'a', 255, 1, 0});
  ASSERT_TRUE(apply(src, short_len, &out));
  EXPECT_EQ(out, (bytes{'a'}));
}
