#include "pod/crc32.h"

#include <array>

namespace {

// Eight tables for slicing by eight bytes: table k gives the CRC of a byte
// followed by k zero bytes.
using crc_tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr crc_tables make_crc_tables() {
  crc_tables t{};
  for (uint32_t i = 0; i < 256; i++) {
    uint32_t c = i;
    for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    t[0][i] = c;
  }
  for (int k = 1; k < 8; k++)
    for (uint32_t i = 0; i < 256; i++) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xff];
  return t;
}

constexpr crc_tables crc_table = make_crc_tables();

}  // namespace

uint32_t crc32b(const void *bytes, int64_t length) {
  if (length <= 0 || !bytes) return 0;
  const uint8_t *p = static_cast<const uint8_t *>(bytes);
  uint32_t c = 0xFFFFFFFFu;
  while (length >= 8) {
    uint32_t lo =
        c ^ (uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
    uint32_t hi =
        uint32_t(p[4]) | uint32_t(p[5]) << 8 | uint32_t(p[6]) << 16 | uint32_t(p[7]) << 24;
    c = crc_table[7][lo & 0xff] ^ crc_table[6][(lo >> 8) & 0xff] ^ crc_table[5][(lo >> 16) & 0xff] ^
        crc_table[4][lo >> 24] ^ crc_table[3][hi & 0xff] ^ crc_table[2][(hi >> 8) & 0xff] ^
        crc_table[1][(hi >> 16) & 0xff] ^ crc_table[0][hi >> 24];
    p += 8;
    length -= 8;
  }
  while (length-- > 0) c = crc_table[0][(c ^ *p++) & 0xff] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}
