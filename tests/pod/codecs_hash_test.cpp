// CRC-32, MD5 and MurmurHash3 against published values and, for MurmurHash3,
// against Debian's independent libmurmurhash.
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <murmurhash.h>

#include "base/crc32.h"
#include "pod/md5.h"
#include "pod/murmur3.h"

TEST(Crc32, CheckValueAndEmptyInput) {
  EXPECT_EQ(crc32b("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(crc32b("123456789", 0), 0u);
  EXPECT_EQ(crc32b("123456789", -5), 0u);
  // A published check value of a longer text.
  std::string s = "The quick brown fox jumps over the lazy dog";
  EXPECT_EQ(crc32b(s.data(), int64_t(s.size())), 0x414FA339u);
}

TEST(Md5, Rfc1321Suite) {
  struct {
    const char *text;
    const char *digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto &c : cases) {
    char out[33];
    std::memset(out, 'x', sizeof out);
    md5(c.text, int64_t(std::strlen(c.text)), out);
    EXPECT_STREQ(out, c.digest) << c.text;
  }
}

// The published verification: hash keys 0, 01, 012, ... (lengths 0..255) with
// seed 256 - length, then hash the concatenated results with seed 0; the
// first four bytes, little-endian, are the verification value.
template <typename Hash>
uint32_t murmur_verification(int hash_bytes, Hash hash) {
  uint8_t key[256];
  std::vector<uint8_t> hashes(size_t(hash_bytes) * 256);
  for (int i = 0; i < 256; i++) {
    key[i] = uint8_t(i);
    hash(key, i, uint32_t(256 - i), hashes.data() + i * hash_bytes);
  }
  uint8_t final_hash[16];
  hash(hashes.data(), hash_bytes * 256, 0, final_hash);
  return uint32_t(final_hash[0]) | uint32_t(final_hash[1]) << 8 | uint32_t(final_hash[2]) << 16 |
         uint32_t(final_hash[3]) << 24;
}

void put_le64(uint8_t *out, uint64_t v) {
  for (int i = 0; i < 8; i++) out[i] = uint8_t(v >> (8 * i));
}

TEST(Murmur3, PublishedVerificationValues) {
  EXPECT_EQ(murmur_verification(4,
                                [](const void *k, int n, uint32_t seed, uint8_t *out) {
                                  uint32_t h[1];
                                  murmurhash3_x86_32(k, n, seed, h);
                                  for (int i = 0; i < 4; i++) out[i] = uint8_t(h[0] >> (8 * i));
                                }),
            0xB0F57EE3u);
  EXPECT_EQ(murmur_verification(16,
                                [](const void *k, int n, uint32_t seed, uint8_t *out) {
                                  uint64_t h[2];
                                  murmurhash3_x64_128(k, n, seed, h);
                                  put_le64(out, h[0]);
                                  put_le64(out + 8, h[1]);
                                }),
            0x6384BA69u);
}

TEST(Murmur3, AgreesWithIndependentLibrary) {
  std::mt19937 rng(7);
  std::vector<uint8_t> key(600);
  for (auto &b : key) b = uint8_t(rng());
  for (int len = 0; len <= 600; len += (len < 40 ? 1 : 37)) {
    for (uint32_t seed : {0u, 1u, 0x9747b28cu}) {
      // Unaligned keys too: blocks are read byte by byte.
      const uint8_t *k = key.data() + (len & 3);
      int n = std::min(len, 596);
      uint32_t ours32[1], ref32[1];
      murmurhash3_x86_32(k, n, seed, ours32);
      lmmh_x86_32(k, unsigned(n), seed, ref32);
      EXPECT_EQ(ours32[0], ref32[0]) << "x86_32 length " << n;
      uint64_t ours128[2], ref128[2];
      murmurhash3_x64_128(k, n, seed, ours128);
      lmmh_x64_128(k, unsigned(n), seed, ref128);
      EXPECT_EQ(ours128[0], ref128[0]) << "x64_128 length " << n;
      EXPECT_EQ(ours128[1], ref128[1]) << "x64_128 length " << n;
    }
  }
}
