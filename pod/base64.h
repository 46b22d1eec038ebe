// Base64 in this system's alphabet "A-Za-z0-9_-" (62 is '_', 63 is '-') with
// '=' padding, as streaming encoder and decoder state machines: a call
// consumes all its input and carries a partial group in the state.
#pragma once

#include <cstdint>

struct base64_encodestate {
  int step;        // bytes of the current 3-byte group consumed: 0, 1 or 2
  uint8_t result;  // bits carried into the next character
  int stepcount;   // 4-character groups written, wrapping to 0 at 18
};

struct base64_decodestate {
  int step;           // characters of the current 4-character group seen: 0..3
  uint8_t plainchar;  // the partial byte carried between calls
};

void base64_init_encodestate(base64_encodestate *state);
// The character of v (0..63); '=' above 63.
char base64_encode_value(int v);
// Encodes `length` bytes into `out`, which needs room for
// (length + 2) / 3 * 4 characters; returns the characters written. No line
// breaks and no terminator are written.
int64_t base64_encode_block(const uint8_t *bytes, int64_t length, char *out,
                            base64_encodestate *state);
// Flushes a partial group: its characters and "==" or "=" (0, 2 or 3
// characters, needing room for 3).
int base64_encode_blockend(char *out, base64_encodestate *state);

void base64_init_decodestate(base64_decodestate *state);
// The value of character c, -1 when c is outside the alphabet.
int base64_decode_value(int c);
// Decodes `length` characters into `out`, which needs room for
// length / 4 * 3 + 3 bytes; returns the bytes written. Characters outside the
// alphabet ('=', blanks, line breaks) are skipped; only complete bytes are
// written, a partial one stays in the state. A state whose step is out of
// range gives 0.
int64_t base64_decode_block(const char *chars, int64_t length, uint8_t *out,
                            base64_decodestate *state);
