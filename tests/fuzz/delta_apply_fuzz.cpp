// Delta application on arbitrary deltas, and the codec's round trip.
// Input: one byte n, then n source bytes, then the delta (or destination).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/crc32.h"
#include "base/pbuffer.h"
#include "pod/delta.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  size_t n = std::min<size_t>(data[0], size - 1);
  std::vector<uint8_t> src(data + 1, data + 1 + n);
  std::vector<uint8_t> rest(data + 1 + n, data + size);

  // As a delta, and again with its source CRC made to match so that the
  // operations are walked.
  destroy_buffer(apply_diff(src.data(), int32_t(src.size()), rest.data(), int32_t(rest.size())));
  if (rest.size() >= 12 && std::memcmp(rest.data(), "dst", 4) != 0) {
    uint32_t crc = crc32b(src.data(), int64_t(src.size()));
    std::memcpy(rest.data() + 4, &crc, 4);
    pbuffer *out = apply_diff(src.data(), int32_t(src.size()), rest.data(), int32_t(rest.size()));
    if (out && out->length > delta_max_size) abort();
    destroy_buffer(out);
    std::memcpy(rest.data() + 4, data + 1 + n + 4, 4);
  }

  // As a destination: create then apply gives it back.
  pbuffer *delta =
      generate_diff(src.data(), int32_t(src.size()), rest.data(), int32_t(rest.size()));
  if (!delta) abort();
  pbuffer *back = apply_diff(src.data(), int32_t(src.size()), delta->data, delta->length);
  if (!back || back->length != int32_t(rest.size()) ||
      (back->length && std::memcmp(back->data, rest.data(), rest.size()) != 0))
    abort();
  destroy_buffer(back);
  destroy_buffer(delta);
  return 0;
}
