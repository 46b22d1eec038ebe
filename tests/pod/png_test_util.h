// PNG fixtures for the PNG and fetched-buffer tests.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/crc32.h"
#include "pod/png_buffer.h"
#include "pod/pod_write.h"

struct decoded {
  unsigned error;
  uint32_t w, h;
  std::vector<uint8_t> pixels;
};

inline decoded decode(pbuffer *b) {
  uint8_t *image = nullptr;
  decoded d{};
  d.error = LodePNG_decode32_pbuffer(&image, &d.w, &d.h, b);
  if (image) d.pixels.assign(image, image + uint64_t(d.w) * d.h * 4);
  std::free(image);
  return d;
}

inline decoded decode(const std::string &bytes) {
  pbuffer_owner b(create_buffer_2(16, 'i'));
  bwrite(bytes.data(), 1, bytes.size(), b.get());
  return decode(b.get());
}

// The PNG of a w x h RGBA8 image.
inline std::string png_of(const std::vector<uint8_t> &rgba, uint32_t w, uint32_t h) {
  pbuffer_owner b(create_buffer_2(16, 'i'));
  if (LodePNG_encode32_pbuffer(rgba.data(), w, h, b.get()) != 0) return "";
  return std::string(reinterpret_cast<const char *>(b->data), size_t(b->length));
}

// The PNG with its header's sizes replaced (and the header's CRC made anew).
inline std::string with_size(std::string png, uint32_t w, uint32_t h) {
  auto put_be = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) png[at + i] = char(v >> (24 - 8 * i));
  };
  put_be(16, w);
  put_be(20, h);
  put_be(29, crc32b(png.data() + 12, 17));  // over "IHDR" and its 13 bytes
  return png;
}
