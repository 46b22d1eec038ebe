#include "pod/delta.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include <lz4.h>

#include "base/crc32.h"
#include "base/debug_log.h"

namespace {

constexpr int delta_header_size = 12;
constexpr int delta_lookup_size = 32768;
constexpr int delta_min_match = 8;
// A hashed match is tried only while this many destination bytes remain.
constexpr int delta_hash_reach = 31;
constexpr char delta_stored_marker[4] = {'d', 's', 't', 0};
constexpr int delta_stored_header_size = 8;
// One LZ4 block byte expands to at most 255 output bytes (plus a short tail).
constexpr int64_t delta_lz4_max_ratio = 255;

inline uint32_t delta_key(const uint8_t *p) {
  return ((uint32_t(p[3]) << 6) + p[0]) * 627 & 0x7fff;
}

inline uint32_t delta_le32(const uint8_t *p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

int64_t delta_common_prefix(const uint8_t *a, const uint8_t *b, int64_t max) {
  int64_t n = 0;
  while (n < max && a[n] == b[n]) n++;
  return n;
}

// Writers that note a refused write (a buffer past its size limit) in *ok.
void delta_put(pbuffer *b, const void *bytes, int64_t n, bool *ok) {
  if (n > 0 && bwrite(bytes, 1, uint64_t(n), b) != n) *ok = false;
}

void delta_put_u32(pbuffer *b, uint32_t v, bool *ok) {
  if (bwrite_uint32(v, b) != 4) *ok = false;
}

void delta_put_length(pbuffer *b, int64_t n, bool *ok) {
  if (n < 255) {
    if (bwrite_uint8(uint32_t(n), b) != 1) *ok = false;
  } else {
    if (bwrite_uint8(255, b) != 1) *ok = false;
    delta_put_u32(b, uint32_t(n), ok);
  }
}

// Reads a length field at *pos; false when it runs past `end`.
bool delta_get_length(const uint8_t *raw, int64_t end, int64_t *pos, int64_t *n) {
  if (*pos >= end) return false;
  uint8_t b = raw[(*pos)++];
  if (b < 255) {
    *n = b;
    return true;
  }
  if (end - *pos < 4) return false;
  *n = delta_le32(raw + *pos);
  *pos += 4;
  return true;
}

pbuffer *delta_generate_raw(const uint8_t *src, int64_t sl, const uint8_t *dst, int64_t dl) {
  bool ok = true;
  pbuffer *raw = create_buffer_2(int32_t(std::min<int64_t>(dl + dl / 16 + 64, INT32_MAX - 1)), 'i');
  if (!raw) return nullptr;
  delta_put_u32(raw, uint32_t(dl), &ok);
  delta_put_u32(raw, crc32b(src, sl), &ok);
  delta_put_u32(raw, crc32b(dst, dl), &ok);

  // Sample the source sparsely so that the table stays useful for large
  // files: the first position under each key wins.
  std::vector<int32_t> lookup(delta_lookup_size, -1);
  if (sl >= 32) {
    int64_t step = std::max<int64_t>(dl >> 13, 4);
    for (int64_t p = 0; p < sl - 31; p += step) {
      int32_t &slot = lookup[delta_key(src + p)];
      if (slot < 0) slot = int32_t(p);
    }
  }

  int64_t pos = 0;
  while (pos < dl && ok) {
    int64_t start = pos, p = pos, best = 0, from = 0;
    for (;;) {
      int64_t m1 = p < sl ? delta_common_prefix(dst + p, src + p, std::min(sl - p, dl - p)) : 0;
      int64_t m2 = 0, q = -1;
      if (dl - p >= delta_hash_reach) {
        q = lookup[delta_key(dst + p)];
        if (q >= 0) m2 = delta_common_prefix(dst + p, src + q, std::min(sl - q, dl - p));
      }
      best = std::max(m1, m2);
      from = m2 > m1 ? q : p;  // the same offset wins ties
      if (best >= delta_min_match || p >= dl) break;
      p++;
    }
    delta_put_length(raw, p - start, &ok);
    delta_put(raw, dst + start, p - start, &ok);
    if (p < dl) {
      delta_put_length(raw, best, &ok);
      delta_put_u32(raw, uint32_t(from), &ok);
      pos = p + best;
    } else {
      pos = p;
    }
  }
  if (!ok) {
    destroy_buffer(raw);
    return nullptr;
  }
  return raw;
}

pbuffer *delta_store(const pbuffer *raw) {
  int bound = LZ4_compressBound(raw->length);
  if (bound <= 0 || bound > INT32_MAX - delta_stored_header_size - 1) return nullptr;
  pbuffer *out = create_buffer_2(delta_stored_header_size + bound, 'i');
  if (!out) return nullptr;
  std::memcpy(out->data, delta_stored_marker, 4);
  out->data[4] = uint8_t(raw->length);
  out->data[5] = uint8_t(raw->length >> 8);
  out->data[6] = uint8_t(raw->length >> 16);
  out->data[7] = uint8_t(raw->length >> 24);
  int n = LZ4_compress_fast(reinterpret_cast<const char *>(raw->data),
                            reinterpret_cast<char *>(out->data + delta_stored_header_size),
                            raw->length, bound, 1);
  if (n <= 0) {
    destroy_buffer(out);
    return nullptr;
  }
  out->length = delta_stored_header_size + n;
  out->cursor = 0;
  return out;
}

// The largest destination that `ops` bytes of operations can produce: every
// byte a literal, and every 6 bytes (literal length, copy length, offset) one
// copy of the whole source.
int64_t delta_producible(int64_t ops, int64_t src_length) { return ops + ops / 6 * src_length; }

// Appends n bytes to out unless they would pass the declared length.
bool delta_append(pbuffer *out, const uint8_t *bytes, int64_t n, int64_t declared) {
  if (out->length + n > declared) return false;
  if (n) bwrite(bytes, 1, uint64_t(n), out);
  return true;
}

// Walks the operations into out; false when they would pass the declared
// destination length. Fields that run past the end of the delta end the walk.
bool delta_walk(const uint8_t *src, int64_t sl, const uint8_t *raw, int64_t raw_length,
                int64_t declared, pbuffer *out) {
  int64_t pos = delta_header_size;
  while (pos < raw_length) {
    int64_t literal, length;
    if (!delta_get_length(raw, raw_length, &pos, &literal) || raw_length - pos < literal) break;
    if (!delta_append(out, raw + pos, literal, declared)) return false;
    pos += literal;
    if (pos >= raw_length) break;
    if (!delta_get_length(raw, raw_length, &pos, &length) || raw_length - pos < 4) break;
    int64_t offset = delta_le32(raw + pos);
    pos += 4;
    if (offset + length <= sl && !delta_append(out, src + offset, length, declared)) return false;
  }
  return true;
}

pbuffer *delta_apply_raw(const uint8_t *src, int64_t sl, const uint8_t *raw, int64_t raw_length) {
  int64_t declared = delta_le32(raw);
  if (declared > delta_max_size || declared > delta_producible(raw_length - delta_header_size, sl))
    return nullptr;
  pbuffer *out = create_buffer_2(int32_t(declared), 'i');
  if (!out) return nullptr;
  if (!delta_walk(src, sl, raw, raw_length, declared, out)) {
    destroy_buffer(out);
    return nullptr;
  }
  out->cursor = 0;
  return out;
}

}  // namespace

pbuffer *generate_diff(const void *src, int32_t src_length, const void *dst, int32_t dst_length) {
  if (dst_length > delta_max_size) return nullptr;
  pbuffer *raw = delta_generate_raw(static_cast<const uint8_t *>(src), std::max(src_length, 0),
                                    static_cast<const uint8_t *>(dst), std::max(dst_length, 0));
  if (!raw) return nullptr;
  pbuffer *stored = delta_store(raw);
  destroy_buffer(raw);
  return stored;
}

pbuffer *apply_diff(const void *src_bytes, int32_t src_length, const void *delta_bytes,
                    int32_t delta_length) {
  const uint8_t *src = static_cast<const uint8_t *>(src_bytes);
  const uint8_t *delta = static_cast<const uint8_t *>(delta_bytes);
  int64_t sl = src ? std::max(src_length, 0) : 0;
  int64_t dl = delta ? std::max(delta_length, 0) : 0;

  const uint8_t *raw = delta;
  int64_t raw_length = dl;
  std::vector<uint8_t> unpacked;
  bool stored = dl >= 4 && std::memcmp(delta, delta_stored_marker, 4) == 0;
  if (stored) {
    if (dl < delta_stored_header_size) return nullptr;
    int64_t declared = delta_le32(delta + 4);
    int64_t packed = dl - delta_stored_header_size;
    if (declared < delta_header_size || declared > delta_max_raw_size ||
        declared > packed * delta_lz4_max_ratio + 16)
      return nullptr;
    unpacked.resize(size_t(declared));
    int n =
        LZ4_decompress_safe(reinterpret_cast<const char *>(delta + delta_stored_header_size),
                            reinterpret_cast<char *>(unpacked.data()), int(packed), int(declared));
    if (n != declared) return nullptr;
    raw = unpacked.data();
    raw_length = declared;
  }
  if (raw_length < delta_header_size) return nullptr;

  if (crc32b(src, sl) != delta_le32(raw + 4)) {
    char line[64];
    std::snprintf(line, sizeof line, "** apply_delta: failed src crc (dst marker: %d)\n",
                  stored ? 1 : 0);
    debug_log(line);
    return nullptr;
  }
  return delta_apply_raw(src, sl, raw, raw_length);
}
