#include "pod/pxa.h"

#include <algorithm>
#include <cstring>

namespace {

// Bits from `pos` on, least significant bit of each byte first, up to `end`
// bits. A read past the end sets `overrun` and gives 0 bits.
struct pxa_bits {
  const uint8_t *src;
  int64_t pos;
  int64_t end;
  bool overrun;
};

uint32_t pxa_read_bits(pxa_bits *b, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; i++) {
    if (b->pos >= b->end) {
      b->overrun = true;
      return 0;
    }
    v |= uint32_t((b->src[b->pos >> 3] >> (b->pos & 7)) & 1) << i;
    b->pos++;
  }
  return v;
}

constexpr int pxa_header_size = 8;
constexpr int pxa_max_literal_prefix = 16;
constexpr int pxa_max_length_groups = 33334;

}  // namespace

int64_t pxa_decompress(const uint8_t *src, int64_t src_length, uint8_t *dst, int64_t capacity) {
  if (capacity < 1 || !dst) return 0;
  dst[0] = 0;
  if (!src || src_length < pxa_header_size) return 0;
  int64_t raw_length = (int64_t(src[4]) << 8) | src[5];
  int64_t compressed_length = (int64_t(src[6]) << 8) | src[7];
  if (raw_length == 0 || compressed_length < 9) return 0;

  // The stream ends at the header's compressed length or at the end of the
  // bytes actually given, whichever comes first.
  pxa_bits bits{src, pxa_header_size * 8, std::min(compressed_length, src_length) * 8, false};
  const int64_t limit = std::min(raw_length, capacity);
  uint8_t mtf[256];
  for (int i = 0; i < 256; i++) mtf[i] = uint8_t(i);

  int64_t out = 0;
  while (bits.pos < bits.end && out < limit) {
    if (pxa_read_bits(&bits, 1)) {
      int n = 0;
      while (n < pxa_max_literal_prefix && pxa_read_bits(&bits, 1)) n++;
      uint32_t index = pxa_read_bits(&bits, 4 + n) + 16 * ((1u << n) - 1);
      if (bits.overrun || index > 255) break;
      uint8_t value = mtf[index];
      std::memmove(mtf + 1, mtf, index);
      mtf[0] = value;
      dst[out++] = value;
    } else {
      int width = !pxa_read_bits(&bits, 1) ? 15 : !pxa_read_bits(&bits, 1) ? 10 : 5;
      uint32_t field = pxa_read_bits(&bits, width);
      if (bits.overrun) break;
      if (width == 10 && field == 0) {
        // Raw bytes up to a 0 byte; an overrun or a full output also ends the
        // outer loop through its condition.
        while (out < limit) {
          uint32_t b = pxa_read_bits(&bits, 8);
          if (bits.overrun || b == 0) break;
          dst[out++] = uint8_t(b);
        }
      } else {
        int64_t offset = int64_t(field) + 1;
        int64_t sum = 0;
        for (int groups = 0; groups < pxa_max_length_groups; groups++) {
          uint32_t g = pxa_read_bits(&bits, 3);
          sum += g;
          if (g != 7) break;
        }
        if (bits.overrun || offset > out) break;
        // Byte by byte: the source may overlap the bytes being written. A
        // copy reaching past the output limit is cut there, which ends the
        // decoding.
        int64_t end = std::min(out + sum + 3, limit);
        for (; out < end; out++) dst[out] = dst[out - offset];
      }
    }
    if (out < capacity) dst[out] = 0;
  }
  return out;
}
