// The pxa decompressor on arbitrary blocks: it must stay inside its input and
// its output area whatever the header claims.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "pod/pxa.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The first byte picks a small capacity now and then, to reach the limit
  // checks; otherwise the cartridge reader's 0x10000.
  if (size < 1) return 0;
  int64_t capacity = (data[0] & 0x80) ? data[0] & 0x3f : 0x10000;
  std::vector<uint8_t> src(data + 1, data + size);
  std::vector<uint8_t> dst(size_t(capacity) + 1);
  int64_t n = pxa_decompress(src.data(), int64_t(src.size()), dst.data(), capacity);
  if (n < 0 || n > capacity) abort();
  return 0;
}
