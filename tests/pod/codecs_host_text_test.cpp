// Host text <-> q7scii: byte-order marks, the glyph, kana and superscript
// tables, and sequences cut off at the end of the text.
#include <string>

#include <gtest/gtest.h>

#include "base/pbuffer.h"
#include "pod/host_text.h"

using namespace std::string_literals;

namespace {

std::string decoded(const std::string &host) {
  pbuffer *in = create_buffer_2(int32_t(host.size()), 'i');
  bwrite(host.data(), 1, host.size(), in);
  pbuffer *out = decode_host_text(in);
  std::string s(reinterpret_cast<char *>(out->data), size_t(out->length));
  destroy_buffer(out);
  destroy_buffer(in);
  return s;
}

std::string encoded(const std::string &q7) {
  pbuffer *out = encode_host_text(q7.c_str());
  std::string s(reinterpret_cast<char *>(out->data), size_t(out->length));
  destroy_buffer(out);
  return s;
}

}  // namespace

TEST(HostText, ByteOrderMarks) {
  struct {
    std::string host, q7;
  } cases[] = {
      {"\xEF\xBB\xBF"
       "A\r\n",
       "A\n"},
      {"A\r\nB\r", "A\nB"},
      {"\xFF\xFE"
       "A\0B\0"s,
       "AB"},
      {"\xFE\xFF\0A\0B"s, "AB"},
      {"\xFF\xFE\0\0A\0\0\0B\0\0\0"s, "AB"},
      {"\0\0\xFE\xFF\0\0\0A\0\0\0B"s, "AB"},
      // Cut-off units at the end give what is there.
      {"\xFF\xFE"
       "A\0B"s,
       "AB"},
      {"\0\0\xFE\xFF\0\0"s, ""},
      {"\xFF\xFE"s, ""},
      {"", ""},
  };
  for (const auto &c : cases) EXPECT_EQ(decoded(c.host), c.q7) << c.host;
}

TEST(HostText, GlyphsBothWays) {
  struct {
    std::string q7, host;
  } cases[] = {
      {"\x89", "\xEC\x9B\x83"},              // 137: U+C6C3
      {"\x80", "\xE2\x96\x88"},              // 128: U+2588
      {"\x83", "\xE2\xAC\x87\xEF\xB8\x8F"},  // 131: U+2B07 U+FE0F
      {"\x10", "\xE2\x96\xAE"},              // 16: U+25AE
      {"\x1A", "\xC2\xA5"},                  // 26: U+00A5
      {"\xFF", "\xE2\x97\x9D"},              // 255: U+25DD
      {"\x7F", "\xE2\x97\x8B"},              // 127: U+25CB
      {"\x9A", "\xE3\x81\x82"},              // 154: first hiragana U+3042
      {"\xCC", "\xE3\x82\xA2"},              // 204: first katakana U+30A2
      {"\xFD", "\xE3\x83\xA7"},              // 253: last katakana U+30E7
      {"\x01\x02\x03", "\xC2\xB9\xC2\xB2\xC2\xB3"},
      {"\x04\x0B\x0F", "\xE2\x81\xB4\xE1\xB5\x87\xE1\xB6\xA0"},
      {"\t\n", "\t\n"},
      {"Az~", "Az~"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(encoded(c.q7), c.host) << int(uint8_t(c.q7[0]));
    EXPECT_EQ(decoded(c.host), c.q7) << int(uint8_t(c.q7[0]));
  }
}

TEST(HostText, OneWayForms) {
  // Sans-serif italic capitals read as letters; the superscripts of 0, 9, 10
  // and 13 are not read back; a glyph without its variation selector passes
  // byte by byte.
  EXPECT_EQ(decoded("\xF0\x9D\x98\xA2"), "A");
  EXPECT_EQ(decoded("\xF0\x9D\x98\xBB"), "Z");
  EXPECT_EQ(decoded("\xE2\x81\xB9"), "\xE2\x81\xB9");
  EXPECT_EQ(decoded("\xE2\x81\xB0"), "\xE2\x81\xB0");
  EXPECT_EQ(decoded("\xE2\xAC\x87z"), "\xE2\xAC\x87z");
  EXPECT_EQ(encoded("\x0D"), "\r");
  EXPECT_EQ(encoded("\x09"), "\t");
}

TEST(HostText, SequencesCutAtTheEnd) {
  // Every prefix of a multi-byte form at the end of the text passes as it is,
  // without reading past the end.
  for (std::string full :
       {"\xF0\x9F\x98\x90"s, "\xE2\xAC\x87\xEF\xB8\x8F"s, "\xE3\x81\x82"s, "\xC2\xB9"s}) {
    for (size_t n = 1; n < full.size(); n++) {
      std::string cut = full.substr(0, n);
      std::string expect = cut;
      // U+2B07 alone is not a glyph, so its 3 bytes pass too.
      EXPECT_EQ(decoded(cut), expect);
    }
  }
  EXPECT_EQ(decode_host_text(nullptr), nullptr);
  pbuffer *empty = encode_host_text(nullptr);
  EXPECT_EQ(empty->length, 0);
  destroy_buffer(empty);
}
