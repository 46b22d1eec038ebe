// The pxa decompressor, fed by a small encoder of the format written here for
// the tests (the system itself has none) and by hand-made bit streams for the
// edge cases.
#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pod/pxa.h"

using bytes = std::vector<uint8_t>;

namespace {

// Bits least significant first within each byte; fields least significant
// bit first.
struct bit_writer {
  bytes out;
  int64_t nbits = 0;
  void bit(int b) {
    if (nbits % 8 == 0) out.push_back(0);
    if (b) out.back() |= uint8_t(1 << (nbits % 8));
    nbits++;
  }
  void bits(uint32_t v, int n) {
    for (int i = 0; i < n; i++) bit((v >> i) & 1);
  }
  void bit_string(const char *s) {
    for (; *s; s++) bit(*s == '1');
  }
};

struct pxa_encoder {
  bit_writer w;
  uint8_t mtf[256];
  pxa_encoder() {
    for (int i = 0; i < 256; i++) mtf[i] = uint8_t(i);
  }
  void literal(uint8_t value) {
    int index = int(std::find(mtf, mtf + 256, value) - mtf);
    std::memmove(mtf + 1, mtf, size_t(index));
    mtf[0] = value;
    int n = 0;
    while (index >= 16 * ((2 << n) - 1)) n++;
    w.bit(1);
    for (int i = 0; i < n; i++) w.bit(1);
    w.bit(0);
    w.bits(uint32_t(index - 16 * ((1 << n) - 1)), 4 + n);
  }
  void copy(int offset, int length) {
    w.bit(0);
    int field = offset - 1;
    if (field < 32) {
      w.bit_string("11");
      w.bits(uint32_t(field), 5);
    } else if (field < 1024) {
      w.bit_string("10");
      w.bits(uint32_t(field), 10);
    } else {
      w.bit(0);
      w.bits(uint32_t(field), 15);
    }
    int rest = length - 3;
    while (rest >= 7) {
      w.bits(7, 3);
      rest -= 7;
    }
    w.bits(uint32_t(rest), 3);
  }
  void raw_run(const std::string &s) {
    w.bit_string("010");
    w.bits(0, 10);
    for (char c : s) w.bits(uint8_t(c), 8);
    w.bits(0, 8);
  }
  // Greedy matching against the last 3000 bytes (all three offset widths);
  // literals elsewhere.
  void compress(const std::string &text) {
    size_t pos = 0;
    while (pos < text.size()) {
      size_t best = 0, best_off = 0;
      for (size_t off = 1; off <= std::min<size_t>(pos, 3000); off++) {
        size_t n = 0;
        while (pos + n < text.size() && text[pos + n] == text[pos + n - off]) n++;
        if (n > best) best = n, best_off = off;
      }
      if (best >= 3) {
        copy(int(best_off), int(best));
        pos += best;
      } else {
        literal(uint8_t(text[pos++]));
      }
    }
  }
  bytes block(size_t raw_length) const {
    bytes b = {0, 'p', 'x', 'a', uint8_t(raw_length >> 8), uint8_t(raw_length), 0, 0};
    b.insert(b.end(), w.out.begin(), w.out.end());
    b[6] = uint8_t(b.size() >> 8);
    b[7] = uint8_t(b.size());
    return b;
  }
};

// Decodes into an area of exactly `capacity` bytes (so any write past it is
// caught by the sanitizers) and returns the text decoded.
std::string decode(const bytes &block, int64_t capacity = 0x10000) {
  std::vector<uint8_t> src(block);  // exactly sized: a read past it is caught
  std::vector<uint8_t> dst(size_t(std::max<int64_t>(capacity, 1)), 0xEE);
  int64_t n = pxa_decompress(src.data(), int64_t(src.size()), dst.data(), capacity);
  if (n < capacity) {
    EXPECT_EQ(dst[size_t(n)], 0) << "terminator";
  }
  return std::string(dst.begin(), dst.begin() + n);
}

std::string sample_text(size_t n, uint32_t seed) {
  static const char *words[] = {"function ", "end\n",           "local ", "x",      "=",
                                "+1",        "print(\"hi\")\n", "\t",     "--[[ ]]"};
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) {
    if (rng() % 5 == 0)
      s += char(1 + rng() % 255);
    else
      s += words[rng() % 9];
  }
  s.resize(n);
  return s;
}

}  // namespace

TEST(Pxa, DecodesWhatTheTestEncoderWrites) {
  for (size_t n : {1, 2, 3, 40, 1000, 20000, 65535}) {
    std::string text = sample_text(n, uint32_t(n));
    pxa_encoder e;
    e.compress(text);
    EXPECT_EQ(decode(e.block(text.size())), text) << n;
  }
}

TEST(Pxa, LiteralsMoveToFront) {
  // 1, 0, then 0101 (10, least significant bit first): byte 10, moved to the
  // front; 1, 0, 0000 gives it again; 1, 1, 0 and five bits v give index
  // v + 16; 1, 1, 1, 0 and six bits v give index v + 48.
  pxa_encoder e;
  e.w.bit_string(
      "10"
      "0101"
      "10"
      "0000"
      "110"
      "11000"
      "1110"
      "000000");
  // Index 19 after byte 10 moved to the front is byte 19 (10 took a slot
  // below it); index 48 is byte 48.
  EXPECT_EQ(decode(e.block(4)), std::string("\x0a\x0a\x13\x30"));
}

TEST(Pxa, BackReferencesAndRawRuns) {
  pxa_encoder e;
  e.literal('a');
  e.copy(1, 5);
  e.raw_run("xyz");
  e.literal('b');
  e.copy(3, 3);
  EXPECT_EQ(decode(e.block(13)), "aaaaaaxyzbyzb");
  // Length groups: 3 + 7 x 10 + 2 = 75 bytes from one reference.
  pxa_encoder f;
  f.literal('q');
  f.literal('r');
  f.copy(2, 75);
  EXPECT_EQ(decode(f.block(77)), std::string("qr") + std::string(75, ' ').replace(0, 75, [] {
    std::string s;
    for (int i = 0; i < 75; i++) s += i % 2 ? 'r' : 'q';
    return s;
  }()));
}

TEST(Pxa, FifteenBitOffsets) {
  std::string text = sample_text(2000, 3);
  pxa_encoder e;
  for (char c : text) e.literal(uint8_t(c));
  e.copy(2000, 10);
  EXPECT_EQ(decode(e.block(2010)), text + text.substr(0, 10));
}

TEST(Pxa, StopsAtTheDeclaredLengthAndTheCapacity) {
  pxa_encoder e;
  e.literal('a');
  e.copy(1, 30);
  e.literal('b');
  // Declared 10: the copy is cut there and nothing follows.
  EXPECT_EQ(decode(e.block(10)), std::string(10, 'a'));
  // Capacity 5 (no room for a terminator after the fifth byte).
  EXPECT_EQ(decode(e.block(32), 5), std::string(5, 'a'));
  EXPECT_EQ(decode(e.block(32), 1), "a");
  // A raw run is cut at the declared length too.
  pxa_encoder r;
  r.raw_run("abcdef");
  EXPECT_EQ(decode(r.block(3)), "abc");
}

TEST(Pxa, BadStreamsEndTheDecoding) {
  // A reference before any output, or further back than the output.
  pxa_encoder e;
  e.copy(1, 3);
  EXPECT_EQ(decode(e.block(10)), "");
  pxa_encoder f;
  f.literal('a');
  f.copy(2, 3);
  f.literal('b');
  EXPECT_EQ(decode(f.block(10)), "a");
  // A literal index above 255 (prefix of four 1 bits and 8 bits of 255 gives
  // 255 + 240), and sixteen 1 bits.
  pxa_encoder g;
  g.literal('c');
  g.w.bit_string(
      "1"
      "11110"
      "11111111");
  EXPECT_EQ(decode(g.block(10)), "c");
  pxa_encoder h;
  h.literal('d');
  h.w.bit_string(
      "1"
      "1111111111111111"
      "0000");
  EXPECT_EQ(decode(h.block(10)), "d");
}

TEST(Pxa, RefusedHeadersAndTruncatedInput) {
  pxa_encoder e;
  std::string text = sample_text(3000, 9);
  e.compress(text);
  bytes block = e.block(text.size());
  // Decompressed length 0, compressed length below 9, shorter than a header.
  bytes zero = block;
  zero[4] = zero[5] = 0;
  EXPECT_EQ(decode(zero), "");
  bytes tiny = block;
  tiny[6] = 0, tiny[7] = 8;
  EXPECT_EQ(decode(tiny), "");
  EXPECT_EQ(decode(bytes(block.begin(), block.begin() + 7)), "");
  uint8_t untouched = 0x55;
  EXPECT_EQ(pxa_decompress(block.data(), int64_t(block.size()), &untouched, 0), 0);
  EXPECT_EQ(untouched, 0x55);
  // Cut input (the header still claims the whole length): decoding stops at
  // the bytes given and yields a prefix of the text.
  for (size_t keep : {size_t(9), size_t(50), block.size() / 2, block.size() - 1}) {
    std::string got = decode(bytes(block.begin(), block.begin() + keep));
    EXPECT_LT(got.size(), text.size());
    EXPECT_EQ(got, text.substr(0, got.size())) << keep;
  }
  // A header claiming fewer bytes than given stops at its own length.
  bytes claims_less = block;
  claims_less[6] = 0, claims_less[7] = 20;
  std::string got = decode(claims_less);
  EXPECT_LT(got.size(), 40u);
  EXPECT_EQ(got, text.substr(0, got.size()));
}
