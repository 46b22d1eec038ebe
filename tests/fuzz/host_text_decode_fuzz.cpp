// Host text conversion of arbitrary bytes; every q7scii text survives the
// trip to UTF-8 and back, except the carriage returns the reader drops.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/pbuffer.h"
#include "pod/host_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  pbuffer *in = create_buffer_2(int32_t(size), 'i');
  if (size) bwrite(data, 1, size, in);
  destroy_buffer(decode_host_text(in));

  std::string q7(reinterpret_cast<const char *>(data), size);
  q7 = q7.substr(0, q7.find('\0'));
  pbuffer *host = encode_host_text(q7.c_str());
  pbuffer *back = decode_host_text(host);
  std::string expect;
  for (char c : q7)
    if (c != '\r') expect += c;
  // The UTF-8 written never begins with a byte-order mark, so it reads back.
  if (back->length != int32_t(expect.size()) ||
      std::memcmp(back->data, expect.data(), expect.size()) != 0)
    abort();
  destroy_buffer(back);
  destroy_buffer(host);
  destroy_buffer(in);
  return 0;
}
