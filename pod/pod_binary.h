// The binary and wrapped forms of a pod text, other than pxu:
//
//   str:  "str" 0, u32 length n, n bytes                    (a string)
//   lz4:  "lz4" 0, u32 compressed length c, u32 raw length r, one LZ4 block
//         of the r-byte pod text                            (a whole text)
//   b64:  unpod("b64:<base64 of a pod text or of its lz4 form>")
//
// Integers are little-endian; base64 uses the system's alphabet.
#pragma once

#include <cstdint>

#include "base/pbuffer.h"
#include "pod/pod_read.h"

// The largest binary string a text may carry.
constexpr uint32_t POD_MAX_BINARY_STR = 0x1ffffff;

// Appends the lz4 form of n bytes (LZ4 HC level 1); charges n / 8. Writes
// nothing and returns false when n is too large for one LZ4 block or the
// form would not fit in out.
bool write_lz4_form(const uint8_t *src, int32_t n, pbuffer *out);
// Appends unpod("b64:...") around n bytes; charges the base64 length / 8.
// Writes nothing and returns false when the form would not fit in out.
bool write_b64_form(const uint8_t *src, int32_t n, pbuffer *out);

// Readers, each at the start of its form and never reading past end: push
// the value and return the position after the form (b64: stops at its
// closing double quote), or null with nothing pushed.
const uint8_t *get_binary_str(lua_State *L, const uint8_t *text, const uint8_t *end);
const uint8_t *get_lz4pod(pod_reader &r, const uint8_t *text, const uint8_t *end);
const uint8_t *get_b64(pod_reader &r, const uint8_t *text, const uint8_t *end);
