#include "base/crc32.h"

#include <algorithm>

#include <zlib.h>

// zlib computes this very CRC, with code tuned for the host; its length
// argument is 32 bits wide, so longer runs go in pieces.
uint32_t crc32b(const void *bytes, int64_t length) {
  if (length <= 0 || !bytes) return 0;
  const Bytef *p = static_cast<const Bytef *>(bytes);
  uLong c = crc32(0L, Z_NULL, 0);
  constexpr int64_t piece = int64_t(1) << 30;
  while (length > 0) {
    int64_t n = std::min(length, piece);
    c = crc32(c, p, uInt(n));
    p += n;
    length -= n;
  }
  return uint32_t(c);
}
