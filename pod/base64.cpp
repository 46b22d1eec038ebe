#include "pod/base64.h"

#include <array>

namespace {

constexpr char base64_alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-";

constexpr std::array<int8_t, 256> make_decode_table() {
  std::array<int8_t, 256> t{};
  for (auto &v : t) v = -1;
  for (int i = 0; i < 64; i++) t[uint8_t(base64_alphabet[i])] = int8_t(i);
  return t;
}

constexpr std::array<int8_t, 256> base64_decode_table = make_decode_table();

constexpr int base64_groups_per_count = 18;

}  // namespace

void base64_init_encodestate(base64_encodestate *state) {
  state->step = 0;
  state->result = 0;
  state->stepcount = 0;
}

char base64_encode_value(int v) { return (v >= 0 && v < 64) ? base64_alphabet[v] : '='; }

int64_t base64_encode_block(const uint8_t *bytes, int64_t length, char *out,
                            base64_encodestate *state) {
  char *o = out;
  uint8_t result = state->result;
  int step = state->step;
  for (int64_t i = 0; i < length; i++) {
    uint8_t b = bytes[i];
    switch (step) {
      case 0:
        *o++ = base64_encode_value(b >> 2);
        result = uint8_t((b & 0x03) << 4);
        step = 1;
        break;
      case 1:
        *o++ = base64_encode_value(result | (b >> 4));
        result = uint8_t((b & 0x0f) << 2);
        step = 2;
        break;
      default:
        *o++ = base64_encode_value(result | (b >> 6));
        *o++ = base64_encode_value(b & 0x3f);
        step = 0;
        if (++state->stepcount == base64_groups_per_count) state->stepcount = 0;
        break;
    }
  }
  state->result = result;
  state->step = step;
  return o - out;
}

int base64_encode_blockend(char *out, base64_encodestate *state) {
  int n = 0;
  if (state->step == 1) {
    out[n++] = base64_encode_value(state->result);
    out[n++] = '=';
    out[n++] = '=';
  } else if (state->step == 2) {
    out[n++] = base64_encode_value(state->result);
    out[n++] = '=';
  }
  state->step = 0;
  state->result = 0;
  return n;
}

void base64_init_decodestate(base64_decodestate *state) {
  state->step = 0;
  state->plainchar = 0;
}

int base64_decode_value(int c) { return (c >= 0 && c < 256) ? base64_decode_table[c] : -1; }

int64_t base64_decode_block(const char *chars, int64_t length, uint8_t *out,
                            base64_decodestate *state) {
  if (state->step < 0 || state->step > 3) return 0;
  uint8_t *o = out;
  uint8_t partial = state->plainchar;
  int step = state->step;
  for (int64_t i = 0; i < length; i++) {
    int v = base64_decode_table[uint8_t(chars[i])];
    if (v < 0) continue;
    switch (step) {
      case 0:
        partial = uint8_t(v << 2);
        break;
      case 1:
        *o++ = uint8_t(partial | (v >> 4));
        partial = uint8_t((v & 0x0f) << 4);
        break;
      case 2:
        *o++ = uint8_t(partial | (v >> 2));
        partial = uint8_t((v & 0x03) << 6);
        break;
      default:
        *o++ = uint8_t(partial | v);
        partial = 0;
        break;
    }
    step = (step + 1) & 3;
  }
  state->step = step;
  state->plainchar = partial;
  return o - out;
}
