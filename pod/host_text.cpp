#include "pod/host_text.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace {

struct utf8_seq {
  uint8_t bytes[7];
  uint8_t length;
};

constexpr int utf8_put(uint8_t *out, uint32_t cp) {
  if (cp < 0x80) {
    out[0] = uint8_t(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = uint8_t(0xC0 | cp >> 6);
    out[1] = uint8_t(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = uint8_t(0xE0 | cp >> 12);
    out[1] = uint8_t(0x80 | ((cp >> 6) & 0x3F));
    out[2] = uint8_t(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = uint8_t(0xF0 | cp >> 18);
  out[1] = uint8_t(0x80 | ((cp >> 12) & 0x3F));
  out[2] = uint8_t(0x80 | ((cp >> 6) & 0x3F));
  out[3] = uint8_t(0x80 | (cp & 0x3F));
  return 4;
}

constexpr utf8_seq utf8_of(uint32_t cp, uint32_t cp2 = 0) {
  utf8_seq s{};
  s.length = uint8_t(utf8_put(s.bytes, cp));
  if (cp2) s.length = uint8_t(s.length + utf8_put(s.bytes + s.length, cp2));
  return s;
}

constexpr uint32_t vs16 = 0xFE0F;  // variation selector: show as emoji

// Glyph rows in matching order: rows 0-25 are codes 128-153, rows 26-41
// codes 16-31, rows 42-43 codes 254-255, and rows 44-69 the mathematical
// sans-serif italic capitals, read back (only) as the letters A-Z.
constexpr int glyph_rows = 70;
constexpr int glyph_rows_encoded = 44;

constexpr std::array<utf8_seq, glyph_rows> make_unicode_glyph() {
  constexpr uint32_t rows[glyph_rows_encoded][2] = {
      {0x2588, 0},  {0x2592, 0}, {0x1F431, 0},    {0x2B07, vs16}, {0x2591, 0}, {0x273D, 0},
      {0x25CF, 0},  {0x2665, 0}, {0x2609, 0},     {0xC6C3, 0},    {0x2302, 0}, {0x2B05, vs16},
      {0x1F610, 0}, {0x266A, 0}, {0x1F17E, vs16}, {0x25C6, 0},    {0x2026, 0}, {0x27A1, vs16},
      {0x2605, 0},  {0x29D7, 0}, {0x2B06, vs16},  {0x02C7, 0},    {0x2227, 0}, {0x274E, 0},
      {0x25A4, 0},  {0x25A5, 0}, {0x25AE, 0},     {0x25A0, 0},    {0x25A1, 0}, {0x2059, 0},
      {0x2058, 0},  {0x2016, 0}, {0x25C0, 0},     {0x25B6, 0},    {0x300C, 0}, {0x300D, 0},
      {0x00A5, 0},  {0x2022, 0}, {0x3001, 0},     {0x3002, 0},    {0x309B, 0}, {0x309C, 0},
      {0x25DC, 0},  {0x25DD, 0}};
  std::array<utf8_seq, glyph_rows> t{};
  for (int i = 0; i < glyph_rows_encoded; i++) t[i] = utf8_of(rows[i][0], rows[i][1]);
  for (int i = glyph_rows_encoded; i < glyph_rows; i++)
    t[i] = utf8_of(0x1D622 + uint32_t(i - glyph_rows_encoded));
  return t;
}

constexpr std::array<utf8_seq, glyph_rows> unicode_glyph = make_unicode_glyph();

constexpr int glyph_row_code(int row) {
  return row < 26 ? row + 128 : row < 42 ? row - 10 : row < 44 ? row + 212 : 'A' + (row - 44);
}

// The glyph row of each code that has one, -1 otherwise.
constexpr std::array<int8_t, 256> make_glyph_row_of_code() {
  std::array<int8_t, 256> t{};
  for (auto &v : t) v = -1;
  for (int row = 0; row < glyph_rows_encoded; row++) t[glyph_row_code(row)] = int8_t(row);
  return t;
}

constexpr std::array<int8_t, 256> glyph_row_of_code = make_glyph_row_of_code();

// Kana: codes 154-203 are these hiragana, 204-253 the katakana 0x60 above.
constexpr int kana_count = 50;
constexpr int hiragana_code = 154;
constexpr int katakana_code = 204;
constexpr uint16_t hiragana_points[kana_count] = {
    0x3042, 0x3044, 0x3046, 0x3048, 0x304A, 0x304B, 0x304D, 0x304F, 0x3051, 0x3053,
    0x3055, 0x3057, 0x3059, 0x305B, 0x305D, 0x305F, 0x3061, 0x3064, 0x3066, 0x3068,
    0x306A, 0x306B, 0x306C, 0x306D, 0x306E, 0x306F, 0x3072, 0x3075, 0x3078, 0x307B,
    0x307E, 0x307F, 0x3080, 0x3081, 0x3082, 0x3084, 0x3086, 0x3088, 0x3089, 0x308A,
    0x308B, 0x308C, 0x308D, 0x308F, 0x3092, 0x3093, 0x3063, 0x3083, 0x3085, 0x3087};

constexpr std::array<utf8_seq, kana_count> make_kana(uint32_t shift) {
  std::array<utf8_seq, kana_count> t{};
  for (int i = 0; i < kana_count; i++) t[i] = utf8_of(hiragana_points[i] + shift);
  return t;
}

constexpr std::array<utf8_seq, kana_count> unicode_hiragana = make_kana(0);
constexpr std::array<utf8_seq, kana_count> unicode_katakana = make_kana(0x60);

// Superscripts of the control codes 0-15.
constexpr uint32_t superscript_points[16] = {0x2070, 0x00B9, 0x00B2, 0x00B3, 0x2074, 0x2075,
                                             0x2076, 0x2077, 0x2078, 0x2079, 0x1D43, 0x1D47,
                                             0x1D9C, 0x1D48, 0x1D49, 0x1DA0};

constexpr std::array<utf8_seq, 16> make_superscripts() {
  std::array<utf8_seq, 16> t{};
  for (int i = 0; i < 16; i++) t[i] = utf8_of(superscript_points[i]);
  return t;
}

constexpr std::array<utf8_seq, 16> unicode_superscript = make_superscripts();

// Superscripts read back as control codes; 0, 9, 10 and 13 are not, so that
// text keeps its own tabs and line breaks.
constexpr bool superscript_read_back(int code) {
  return code >= 1 && code <= 15 && code != 9 && code != 10 && code != 13;
}

constexpr utf8_seq white_circle = utf8_of(0x25CB);  // code 127

bool seq_at(const std::vector<uint8_t> &text, size_t i, const utf8_seq &s) {
  return text[i] == s.bytes[0] && text.size() - i >= s.length &&
         std::memcmp(text.data() + i, s.bytes, s.length) == 0;
}

// The bytes to convert: after a byte-order mark, only the low byte of each
// UTF-16 or UTF-32 unit.
std::vector<uint8_t> host_text_units(const uint8_t *d, int64_t n) {
  int64_t start = 0, step = 1;
  if (n >= 3 && d[0] == 0xEF && d[1] == 0xBB && d[2] == 0xBF) {
    start = 3;
  } else if (n >= 4 && d[0] == 0xFF && d[1] == 0xFE && d[2] == 0 && d[3] == 0) {
    start = 4, step = 4;
  } else if (n >= 4 && d[0] == 0 && d[1] == 0 && d[2] == 0xFE && d[3] == 0xFF) {
    start = 7, step = 4;
  } else if (n >= 2 && d[0] == 0xFF && d[1] == 0xFE) {
    start = 2, step = 2;
  } else if (n >= 2 && d[0] == 0xFE && d[1] == 0xFF && !(n >= 4 && d[2] == 0 && d[3] == 0)) {
    start = 3, step = 2;
  }
  std::vector<uint8_t> units;
  units.reserve(size_t(n / step + 1));
  for (int64_t i = start; i < n; i += step) units.push_back(d[i]);
  return units;
}

// The q7scii code of the sequence at text[i] and its length in bytes, or
// false when no sequence names a code.
bool host_text_match(const std::vector<uint8_t> &text, size_t i, uint8_t *code, size_t *length) {
  for (int row = 0; row < glyph_rows; row++) {
    if (seq_at(text, i, unicode_glyph[row])) {
      *code = uint8_t(glyph_row_code(row));
      *length = unicode_glyph[row].length;
      return true;
    }
  }
  if (text[i] == 0xE3 && text.size() - i >= 3) {
    for (int k = 0; k < kana_count; k++) {
      for (int kata = 0; kata < 2; kata++) {
        const utf8_seq &s = kata ? unicode_katakana[k] : unicode_hiragana[k];
        if (text[i + 1] == s.bytes[1] && text[i + 2] == s.bytes[2]) {
          *code = uint8_t((kata ? katakana_code : hiragana_code) + k);
          *length = 3;
          return true;
        }
      }
    }
  }
  if (seq_at(text, i, white_circle)) {
    *code = 127;
    *length = white_circle.length;
    return true;
  }
  for (int c = 1; c < 16; c++) {
    if (superscript_read_back(c) && seq_at(text, i, unicode_superscript[c])) {
      *code = uint8_t(c);
      *length = unicode_superscript[c].length;
      return true;
    }
  }
  return false;
}

// A new buffer holding the bytes.
pbuffer *host_text_buffer(const std::vector<uint8_t> &bytes) {
  pbuffer *out = create_buffer_2(int32_t(std::min<size_t>(bytes.size(), INT32_MAX - 1)), 'i');
  if (!out) return nullptr;
  if (!bytes.empty()) bwrite(bytes.data(), 1, bytes.size(), out);
  out->cursor = 0;
  return out;
}

}  // namespace

pbuffer *decode_host_text(const pbuffer *buffer) {
  if (!buffer) return nullptr;
  std::vector<uint8_t> text = host_text_units(buffer->data, buffer->length);
  std::vector<uint8_t> out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    uint8_t c = text[i];
    uint8_t code;
    size_t length;
    if (c == '\r') {
      i++;
    } else if (c >= 128 && host_text_match(text, i, &code, &length)) {
      out.push_back(code);
      i += length;
    } else {
      out.push_back(c);
      i++;
    }
  }
  return host_text_buffer(out);
}

pbuffer *encode_host_text(const char *text) {
  size_t n = text ? std::strlen(text) : 0;
  std::vector<uint8_t> out;
  out.reserve(n * 2);
  for (size_t i = 0; i < n; i++) {
    uint8_t c = uint8_t(text[i]);
    const utf8_seq *s = nullptr;
    if (c < 16 && c != 9 && c != 10 && c != 13) {
      s = &unicode_superscript[c];
    } else if (glyph_row_of_code[c] >= 0) {
      s = &unicode_glyph[glyph_row_of_code[c]];
    } else if (c == 127) {
      s = &white_circle;
    } else if (c >= hiragana_code && c < katakana_code) {
      s = &unicode_hiragana[c - hiragana_code];
    } else if (c >= katakana_code && c < katakana_code + kana_count) {
      s = &unicode_katakana[c - katakana_code];
    }
    if (s) {
      out.insert(out.end(), s->bytes, s->bytes + s->length);
    } else {
      out.push_back(c);
    }
  }
  return host_text_buffer(out);
}
