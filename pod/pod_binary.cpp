// Writers and readers of the str, lz4 and b64: forms.
#include "pod/pod_binary.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include <lz4.h>
#include <lz4hc.h>

#include "base/cpu_budget.h"
#include "base/klog.h"
#include "pod/base64.h"

namespace {

uint32_t read_u32(const uint8_t *p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Reads decoded bytes as a whole pod text one wrapping level down; pushes
// exactly one value.
bool read_wrapped(pod_reader &r, const uint8_t *text, const uint8_t *end) {
  if (r.wrap_depth >= POD_MAX_WRAP) return false;
  r.wrap_depth++;
  int n = pod_read_text(r, text, end, false);
  r.wrap_depth--;
  return n == 1;
}

}  // namespace

// Whether n more bytes fit in a buffer (with its terminator) after its cursor.
static bool fits(const pbuffer *out, uint64_t n) {
  return n < uint64_t(INT32_MAX) - uint64_t(out->cursor);
}

bool write_lz4_form(const uint8_t *src, int32_t n, pbuffer *out) {
  int bound = LZ4_compressBound(n);
  if (n > 0 && bound <= 0) return false;
  std::vector<char> packed(size_t(bound > 0 ? bound : 1));
  int c =
      n > 0 ? LZ4_compress_HC(reinterpret_cast<const char *>(src), packed.data(), n, bound, 1) : 0;
  if ((n > 0 && c <= 0) || !fits(out, 12 + uint64_t(c))) return false;
  bwrite("lz4", 1, 4, out);  // with its 0 byte
  bwrite_uint32(uint32_t(c), out);
  bwrite_uint32(uint32_t(n), out);
  bwrite(packed.data(), 1, uint64_t(c), out);
  spend_cpu(n / 8);
  return true;
}

bool write_b64_form(const uint8_t *src, int32_t n, pbuffer *out) {
  uint64_t most = (uint64_t(n < 0 ? 0 : n) + 2) / 3 * 4;
  if (!fits(out, most + 13)) return false;
  std::vector<char> chars(most + 8);
  base64_encodestate st;
  base64_init_encodestate(&st);
  int64_t k = base64_encode_block(src, n, chars.data(), &st);
  k += base64_encode_blockend(chars.data() + k, &st);
  bwrite("unpod(\"b64:", 1, 11, out);
  bwrite(chars.data(), 1, uint64_t(k), out);
  bwrite("\")", 1, 2, out);
  spend_cpu(k / 8);
  return true;
}

const uint8_t *get_binary_str(lua_State *L, const uint8_t *text, const uint8_t *end) {
  if (end - text < 8) return nullptr;
  uint32_t n = read_u32(text + 4);
  if (n > POD_MAX_BINARY_STR || n > uint64_t(end - text - 8)) return nullptr;
  lua_pushlstring(L, reinterpret_cast<const char *>(text + 8), n);
  spend_cpu(n / 4);
  return text + 8 + n;
}

const uint8_t *get_lz4pod(pod_reader &r, const uint8_t *text, const uint8_t *end) {
  if (end - text < 12) return nullptr;
  uint32_t c = read_u32(text + 4);
  uint32_t raw = read_u32(text + 8);
  // The block must be present, and an LZ4 block cannot expand a byte into
  // more than 255: a larger declared size is refused before allocating.
  if (c > uint64_t(end - text - 12) || c > INT32_MAX) return nullptr;
  if (raw > uint64_t(c) * 255 + 64 || r.inflated + raw > r.inflate_limit) return nullptr;
  r.inflated += raw;
  std::vector<char> room(size_t(raw) + 65536);
  int got = LZ4_decompress_safe(reinterpret_cast<const char *>(text + 12), room.data(), int(c),
                                int(room.size()));
  if (got != int64_t(raw)) {
    klog("reading corrupt lz4 value // sizes do not match: %d %d\n", got, int(raw));
    return nullptr;
  }
  spend_cpu(got / 3);
  const uint8_t *inner = reinterpret_cast<const uint8_t *>(room.data());
  if (!read_wrapped(r, inner, inner + raw)) return nullptr;
  return text + 12 + c;
}

const uint8_t *get_b64(pod_reader &r, const uint8_t *text, const uint8_t *end) {
  const uint8_t *chars = text + 4;
  const uint8_t *stop = chars;
  while (stop < end && *stop != '"' && *stop != 0) stop++;
  uint64_t room = uint64_t(stop - chars) / 4 * 3 + 3;
  if (r.inflated + room > r.inflate_limit) return nullptr;
  r.inflated += room;
  std::vector<uint8_t> bytes(room);
  base64_decodestate st;
  base64_init_decodestate(&st);
  int64_t n =
      base64_decode_block(reinterpret_cast<const char *>(chars), stop - chars, bytes.data(), &st);
  spend_cpu(n / 3);
  if (!read_wrapped(r, bytes.data(), bytes.data() + n)) return nullptr;
  return stop;
}
