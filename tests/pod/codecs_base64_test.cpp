// Base64 in the system alphabet: the fixed examples, streaming across calls,
// and the decoder's bounds (it writes only the bytes it reports).
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pod/base64.h"

using namespace std::string_literals;

namespace {

std::string encode_all(const std::string &bytes) {
  std::string out(bytes.size() / 3 * 4 + 8, '\0');
  base64_encodestate s;
  base64_init_encodestate(&s);
  int64_t n = base64_encode_block(reinterpret_cast<const uint8_t *>(bytes.data()),
                                  int64_t(bytes.size()), out.data(), &s);
  n += base64_encode_blockend(out.data() + n, &s);
  out.resize(size_t(n));
  return out;
}

std::string decode_all(const std::string &chars) {
  std::string out(chars.size() / 4 * 3 + 3, '\0');
  base64_decodestate s;
  base64_init_decodestate(&s);
  int64_t n = base64_decode_block(chars.data(), int64_t(chars.size()),
                                  reinterpret_cast<uint8_t *>(out.data()), &s);
  out.resize(size_t(n));
  return out;
}

}  // namespace

TEST(Base64, FixedExamples) {
  struct {
    std::string bytes, chars;
  } cases[] = {
      {"abc", "YWJj"},          {"a", "YQ=="},
      {"ab", "YWI="},           {"", ""},
      {"\xFB\xFF", "_-8="},     {"\xFB\xEF\xBE", "____"},
      {"\xFF\xFF\xFF", "----"}, {"\xF8\x00\x00"s, "_AAA"},
      {"\xFB\xF0", "_-A="},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(encode_all(c.bytes), c.chars);
    EXPECT_EQ(decode_all(c.chars), c.bytes) << c.chars;
  }
}

TEST(Base64, ValuesAndSkippedCharacters) {
  EXPECT_EQ(base64_encode_value(62), '_');
  EXPECT_EQ(base64_encode_value(63), '-');
  EXPECT_EQ(base64_encode_value(64), '=');
  EXPECT_EQ(base64_decode_value('_'), 62);
  EXPECT_EQ(base64_decode_value('-'), 63);
  EXPECT_EQ(base64_decode_value('+'), -1);
  EXPECT_EQ(base64_decode_value('/'), -1);
  EXPECT_EQ(base64_decode_value('='), -1);
  EXPECT_EQ(base64_decode_value(300), -1);
  EXPECT_EQ(decode_all(" Y W\r\nJ\tj=="), "abc");
}

TEST(Base64, StreamsAcrossCalls) {
  std::string bytes;
  for (int i = 0; i < 100; i++) bytes += char(i * 37);
  std::string whole = encode_all(bytes);
  for (size_t chunk = 1; chunk <= 5; chunk++) {
    std::string out(bytes.size() * 2, '\0');
    base64_encodestate s;
    base64_init_encodestate(&s);
    int64_t n = 0;
    for (size_t i = 0; i < bytes.size(); i += chunk)
      n += base64_encode_block(reinterpret_cast<const uint8_t *>(bytes.data()) + i,
                               int64_t(std::min(chunk, bytes.size() - i)), out.data() + n, &s);
    n += base64_encode_blockend(out.data() + n, &s);
    EXPECT_EQ(out.substr(0, size_t(n)), whole) << chunk;

    std::string back(bytes.size() + 8, '\0');
    base64_decodestate d;
    base64_init_decodestate(&d);
    int64_t m = 0;
    for (size_t i = 0; i < whole.size(); i += chunk)
      m += base64_decode_block(whole.data() + i, int64_t(std::min(chunk, whole.size() - i)),
                               reinterpret_cast<uint8_t *>(back.data()) + m, &d);
    EXPECT_EQ(back.substr(0, size_t(m)), bytes) << chunk;
  }
}

TEST(Base64, DecoderWritesOnlyCompleteBytes) {
  // "YQ" holds one complete byte and four bits of the next: the partial byte
  // stays in the state, the output beyond the count is untouched.
  uint8_t out[4];
  std::memset(out, 0xAA, sizeof out);
  base64_decodestate s;
  base64_init_decodestate(&s);
  EXPECT_EQ(base64_decode_block("YQ", 2, out, &s), 1);
  EXPECT_EQ(out[0], 'a');
  EXPECT_EQ(out[1], 0xAA);
  // A trailing partial group gives its complete bytes: "YWI" is "ab".
  base64_init_decodestate(&s);
  EXPECT_EQ(base64_decode_block("YWI", 3, out, &s), 2);
  EXPECT_EQ(out[2], 0xAA);
  // A state out of range decodes nothing.
  s.step = 4;
  EXPECT_EQ(base64_decode_block("YWJj", 4, out, &s), 0);
}
