// Base64 decoding of arbitrary text within its stated output room, and the
// encode-then-decode round trip.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "pod/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *chars = reinterpret_cast<const char *>(data);
  std::vector<uint8_t> out(size / 4 * 3 + 3);
  base64_decodestate d;
  base64_init_decodestate(&d);
  // In two calls split at a point the data picks, so groups straddle calls.
  size_t split = size ? data[0] % (size + 1) : 0;
  int64_t n = base64_decode_block(chars, int64_t(split), out.data(), &d);
  n += base64_decode_block(chars + split, int64_t(size - split), out.data() + n, &d);
  if (n < 0 || size_t(n) > out.size()) abort();

  std::vector<char> text((size + 2) / 3 * 4 + 3);
  base64_encodestate e;
  base64_init_encodestate(&e);
  int64_t m = base64_encode_block(data, int64_t(size), text.data(), &e);
  m += base64_encode_blockend(text.data() + m, &e);
  std::vector<uint8_t> back(size_t(m) / 4 * 3 + 3);
  base64_init_decodestate(&d);
  int64_t k = base64_decode_block(text.data(), m, back.data(), &d);
  if (size_t(k) != size || (size && std::memcmp(back.data(), data, size) != 0)) abort();
  return 0;
}
