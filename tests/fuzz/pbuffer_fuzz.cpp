// Drives a byte buffer with an operation stream taken from the input: every
// writer, reader, crop, line read and escaping, with arbitrary cursors.
// Checks that lengths stay within the storage and that a zero byte fits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/pbuffer.h"

static void check(const pbuffer *b) {
  if (b->length < 0 || uint64_t(b->length) + 1 > b->capacity) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  pbuffer *b = create_buffer_2(int32_t(size % 7), 'f');
  pbuffer *line = nullptr;
  size_t i = 0;
  auto next = [&]() -> uint32_t { return i < size ? data[i++] : 0; };
  while (i < size) {
    uint32_t op = next() % 20, v = next();
    std::string s(reinterpret_cast<const char *>(data + i),
                  strnlen(reinterpret_cast<const char *>(data + i), size - i));
    char tmp[64];
    switch (op) {
      case 0:
        bwrite(data + i, 1, size - i < v ? size - i : v, b);
        break;
      case 1:
        bwrite_uint8(v, b);
        break;
      case 2:
        bwrite_uint16(v * 257, b);
        break;
      case 3:
        bwrite_uint32(v * 0x01010101u, b);
        break;
      case 4:
        bwrite_uint32_big_endian(v, b);
        break;
      case 5:
        bappend_str(b, s.c_str());
        break;
      case 6:
        bwrite_int64_as_hex(uint64_t(v) << 40 | v, b);
        bwrite_int16_as_hex(int32_t(v) - 128, b);
        break;
      case 7:
        bappend_str_escaped(b, s.c_str());
        break;
      case 8:
        bwrite_escaped_string(data + i, b, size - i < v ? size - i : v);
        break;
      case 9:
        b->cursor = int32_t(v) - 8;
        break;  // arbitrary, even negative
      case 10:
        bread(tmp, int32_t(v % 9), int32_t(v % 7), b);
        break;
      case 11:
        bread_uint8(b);
        bread_uint16(b);
        break;
      case 12:
        bread_uint32(b);
        bread_uint32_big_endian(b);
        bread_uint8_hex(b);
        break;
      case 13:
        bcrop(b, int32_t(v % 40) - 2, int32_t(next()) - 4);
        break;
      case 14:
        line = breadln(b, line);
        check(line);
        break;
      case 15:
        bclear(b);
        break;
      case 16:
        ballocate(b, v * 3);
        break;
      case 17:
        bwrite_uint8_as_hex(v, b);
        break;
      case 18: {
        const char *p = s.c_str();
        read_u8_from_hex_str(&p);
        read_i16_from_hex_str(&p);
        read_i32_from_hex_str(&p);
        read_i64_from_hex_str(&p);
        if (p > s.c_str() + s.size()) abort();
        break;
      }
      case 19: {
        pbuffer *c = create_buffer_from_buffer(b);
        if (c->length != b->length || memcmp(c->data, b->data, size_t(b->length)) != 0) abort();
        destroy_buffer(c);
        escape_lua_string(s.c_str());
        break;
      }
    }
    check(b);
    to_cstr(b);
  }
  destroy_buffer(line);
  destroy_buffer(b);
  return 0;
}
