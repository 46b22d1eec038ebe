// QOI buffers over the reference codec (the one translation unit that holds
// its implementation).
#include "pod/qoi_buffer.h"

#include <cstdlib>
#include <cstring>

#define QOI_NO_STDIO
#define QOI_IMPLEMENTATION
#include <qoi.h>

namespace {

constexpr int QOI_HEADER_BYTES = 14;

uint32_t read_be32(const uint8_t *p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

}  // namespace

int qoi_encode_pbuffer(const uint8_t *image, uint32_t width, uint32_t height, int colour_space,
                       pbuffer *buffer) {
  if (!image || !buffer || width == 0 || height == 0) return -1;
  qoi_desc desc{width, height, 4, uint8_t(colour_space)};
  int n = 0;
  void *bytes = qoi_encode(image, &desc, &n);
  if (!bytes) return -1;
  int ok = bwrite(bytes, 1, uint64_t(n), buffer) == n;
  std::free(bytes);
  return ok ? 0 : -1;
}

uint8_t *qoi_decode_pbuffer_sized(const pbuffer *buffer, uint32_t want_width,
                                  uint32_t want_height) {
  if (!buffer || buffer->length < QOI_HEADER_BYTES) return nullptr;
  const uint8_t *p = buffer->data;
  if (std::memcmp(p, "qoif", 4) != 0 || read_be32(p + 4) != want_width ||
      read_be32(p + 8) != want_height || p[12] != 4)
    return nullptr;
  qoi_desc desc{};
  return static_cast<uint8_t *>(qoi_decode(p, buffer->length, &desc, 4));
}
