// The growable byte buffer: constructors, growth, writers, readers, escaping
// and the whole-file loader.
#include "base/pbuffer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/debug_log.h"

static std::atomic<uint64_t> total_buffer_allocation{0};
static std::atomic<int32_t> total_num_buffers{0};
std::atomic<int32_t> buffer_group_count[128];

const char hex_char[17] = "0123456789abcdef";

static constexpr int32_t hex_value(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

const int32_t hex_digit_to_int[256] = {
#define H16(b)                                                                                  \
  hex_value(b), hex_value(b + 1), hex_value(b + 2), hex_value(b + 3), hex_value(b + 4),         \
      hex_value(b + 5), hex_value(b + 6), hex_value(b + 7), hex_value(b + 8), hex_value(b + 9), \
      hex_value(b + 10), hex_value(b + 11), hex_value(b + 12), hex_value(b + 13),               \
      hex_value(b + 14), hex_value(b + 15)
    H16(0),   H16(16),  H16(32),  H16(48),  H16(64),  H16(80),  H16(96), H16(112), H16(128),
    H16(144), H16(160), H16(176), H16(192), H16(208), H16(224), H16(240)
#undef H16
};

// The largest capacity a buffer may have: positions and lengths are i32 and
// a terminator must fit after the data.
static constexpr uint64_t max_capacity = INT32_MAX;

static uint64_t clamp_capacity(uint64_t c) { return c > max_capacity ? max_capacity : c; }

static void count_buffer(int32_t tag, uint64_t capacity, int sign) {
  if (sign > 0)
    total_buffer_allocation += capacity;
  else
    total_buffer_allocation -= capacity;
  total_num_buffers += sign;
  buffer_group_count[tag & 127] += sign;
}

static pbuffer *new_buffer(uint64_t capacity, int32_t tag) {
  capacity = clamp_capacity(capacity < 1 ? 1 : capacity);
  pbuffer *b = static_cast<pbuffer *>(calloc(1, sizeof(pbuffer)));
  uint8_t *data = static_cast<uint8_t *>(calloc(capacity, 1));
  if (!b || !data) {
    // Nothing sensible can go on without storage for a buffer.
    fprintf(stderr, "** out of memory creating a buffer of %llu bytes\n",
            (unsigned long long)capacity);
    abort();
  }
  b->capacity = capacity;
  b->data = data;
  b->tag = tag & 127;
  count_buffer(b->tag, capacity, 1);
  return b;
}

pbuffer *create_buffer_2(int32_t capacity, int32_t tag) {
  return new_buffer(uint64_t(capacity > 0 ? capacity : 0) + 1, tag);
}

pbuffer *create_buffer_from_str(const char *s) {
  size_t n = s ? strlen(s) : 0;
  if (n >= max_capacity - 1) n = 0;  // cannot be held: an empty buffer
  pbuffer *b = new_buffer(n + 2, 'X');
  memcpy(b->data, s ? s : "", n);
  b->length = b->cursor = int32_t(n);
  return b;
}

pbuffer *create_buffer_from_buffer_2(const pbuffer *src, int32_t tag) {
  if (!src) return create_buffer_2(0, tag);
  pbuffer *b = new_buffer(src->capacity + 1, tag);
  if (src->length > 0) memcpy(b->data, src->data, size_t(src->length));
  b->length = src->length > 0 ? src->length : 0;
  return b;
}

pbuffer *create_buffer_from_buffer(const pbuffer *src) {
  return create_buffer_from_buffer_2(src, 'Y');
}

void destroy_buffer(pbuffer *b) {
  if (!b) return;
  count_buffer(b->tag, b->capacity, -1);
  free(b->data);
  free(b);
}

// Makes room for `end` bytes plus a terminator; false (buffer unchanged) when
// that would pass the capacity limit or storage cannot be had.
static bool grow_to(pbuffer *b, int64_t end) {
  if (end < 0 || uint64_t(end) + 1 > max_capacity) return false;
  uint64_t need = uint64_t(end) + 1;
  if (b->capacity >= need) return true;
  uint64_t cap = clamp_capacity(2 * need);
  uint8_t *data = static_cast<uint8_t *>(realloc(b->data, cap));
  if (!data) return false;
  memset(data + b->capacity, 0, cap - b->capacity);
  total_buffer_allocation += cap - b->capacity;
  b->data = data;
  b->capacity = cap;
  return true;
}

int ballocate(pbuffer *b, uint64_t n) {
  if (!b || n >= max_capacity) return -1;
  return grow_to(b, int64_t(n)) ? 0 : -1;
}

void bclear(pbuffer *b) {
  if (!b) return;
  b->length = b->cursor = 0;
}

void bcrop(pbuffer *b, int32_t start, int32_t count) {
  if (!b || start < 0) return;
  if (count <= 0 || start >= b->length) {
    b->length = b->cursor = 0;
    return;
  }
  int32_t kept = b->length - start < count ? b->length - start : count;
  if (start > 0) memmove(b->data, b->data + start, size_t(kept));
  // The caller's cursor should stand past the cropped prefix; never let it
  // go negative when it does not.
  b->cursor = b->cursor > start ? b->cursor - start : 0;
  b->length = kept;
  memset(b->data + kept, 0, b->capacity - uint64_t(kept));
}

char *to_cstr(pbuffer *b) {
  if (!b) return nullptr;
  INVARIANT(b->length >= 0 && b->capacity >= uint64_t(b->length) + 1);
  b->data[b->length] = 0;
  return reinterpret_cast<char *>(b->data);
}

uint64_t get_total_buffer_allocation() { return total_buffer_allocation; }
int64_t get_total_num_buffers() { return total_num_buffers; }

// Writes n bytes at position pos by the growth rule; the cursor ends after
// them. False (nothing written) when refused.
static bool put_at(pbuffer *b, int64_t pos, const void *src, int64_t n) {
  if (!b || pos < 0 || n < 0 || !grow_to(b, pos + n)) return false;
  if (n > 0) memcpy(b->data + pos, src, size_t(n));
  b->cursor = int32_t(pos + n);
  if (b->cursor > b->length) b->length = b->cursor;
  INVARIANT(b->capacity >= uint64_t(b->length) + 1);
  return true;
}

// Appends at the end of the data and stores an uncounted zero byte after it.
static bool append(pbuffer *b, const void *src, int64_t n) {
  if (!b) return false;
  if (!put_at(b, b->length, src, n)) {
    b->cursor = b->length;
    return false;
  }
  b->data[b->length] = 0;
  return true;
}

int64_t bwrite(const void *src, uint64_t size, uint64_t count, pbuffer *b) {
  if (size == 0 || count == 0 || !src) return 0;
  // A byte count that does not fit in i32 cannot be held: refuse it whole
  // rather than write a wrapped count.
  if (size > max_capacity || count > max_capacity || size * count > max_capacity) return 0;
  int64_t n = int64_t(size * count);
  return b && put_at(b, b->cursor, src, n) ? n : 0;
}

static int put_bytes(pbuffer *b, const uint8_t *bytes, int n) {
  return b && put_at(b, b->cursor, bytes, n) ? n : 0;
}

int bwrite_uint8(uint32_t v, pbuffer *b) {
  uint8_t x[1] = {uint8_t(v)};
  return put_bytes(b, x, 1);
}

int bwrite_uint16(uint32_t v, pbuffer *b) {
  uint8_t x[2] = {uint8_t(v), uint8_t(v >> 8)};
  return put_bytes(b, x, 2);
}

int bwrite_uint32(uint32_t v, pbuffer *b) {
  uint8_t x[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
  return put_bytes(b, x, 4);
}

int bwrite_uint32_big_endian(uint32_t v, pbuffer *b) {
  uint8_t x[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
  return put_bytes(b, x, 4);
}

int64_t bappend_str(pbuffer *b, const char *s) {
  if (!s || !b) return 0;
  size_t n = strlen(s);
  if (n > max_capacity) return 0;
  b->cursor = b->length;
  return append(b, s, int64_t(n)) ? int64_t(n) : 0;
}

int bwrite_uint8_as_hex(uint32_t v, pbuffer *b) {
  uint8_t x[2] = {uint8_t(hex_char[(v >> 4) & 15]), uint8_t(hex_char[v & 15])};
  return put_bytes(b, x, 2);
}

// Appends the low `digits` hex digits of v, most significant first.
static int append_hex(pbuffer *b, uint64_t v, int digits) {
  char x[16];
  for (int i = 0; i < digits; i++) x[i] = hex_char[(v >> (4 * (digits - 1 - i))) & 15];
  if (!b) return 0;
  b->cursor = b->length;
  return append(b, x, digits) ? digits : 0;
}

int bwrite_int16_as_hex(int32_t v, pbuffer *b) { return append_hex(b, uint32_t(v), 4); }
int bwrite_int32_as_hex(int32_t v, pbuffer *b) { return append_hex(b, uint32_t(v), 8); }
int bwrite_int64_as_hex(uint64_t v, pbuffer *b) { return append_hex(b, v, 16); }

int64_t bappend_str_escaped(pbuffer *b, const char *s) {
  if (!b || !s) return 0;
  b->cursor = b->length;
  int64_t start = b->length;
  for (const uint8_t *p = reinterpret_cast<const uint8_t *>(s); *p; p++) {
    uint8_t c = *p;
    bool ok;
    if (c < 32 || c >= 128 || c == '\\' || c == '"') {
      uint8_t e[4] = {'\\', uint8_t('0' + c / 100), uint8_t('0' + (c / 10) % 10),
                      uint8_t('0' + c % 10)};
      ok = put_at(b, b->cursor, e, 4);
    } else {
      ok = put_at(b, b->cursor, &c, 1);
    }
    if (!ok) break;
  }
  b->data[b->length] = 0;
  return b->length - start;
}

const char *escape_lua_string(const char *s) {
  static pbuffer *escaped_buf = nullptr;
  if (!escaped_buf) escaped_buf = create_buffer_2(1024, 'E');
  bclear(escaped_buf);
  bappend_str_escaped(escaped_buf, s ? s : "");
  return to_cstr(escaped_buf);
}

int64_t bwrite_escaped_string(const void *src, pbuffer *b, uint64_t n) {
  if (!b || n == 0 || !src) return 0;
  int64_t before = b->cursor;
  const uint8_t *p = static_cast<const uint8_t *>(src);
  for (uint64_t i = 0; i < n; i++) {
    uint8_t c = p[i];
    bool ok;
    if (c == '\n') {
      ok = append(b, "\\n", 2);
    } else if (c == '\\') {
      ok = append(b, "\\\\", 2);
    } else if (c == '"') {
      ok = append(b, "\\\"", 2);
    } else if (c < 32 || c == ']' || c >= 127) {
      char e[4] = {'\\', char('0' + c / 100), char('0' + (c / 10) % 10), char('0' + c % 10)};
      ok = append(b, e, 4);
    } else {
      ok = put_at(b, b->cursor, &c, 1);
    }
    if (!ok) break;
  }
  return b->cursor - before;
}

int32_t bread(void *dst, int32_t size, int32_t count, pbuffer *b) {
  if (!b || !dst || b->cursor < 0) return 0;
  int64_t k = int64_t(size) * int64_t(count);
  int64_t left = int64_t(b->length) - b->cursor;
  if (left < k) k = left;
  if (k < 1) return 0;
  memcpy(dst, b->data + b->cursor, size_t(k));
  b->cursor += int32_t(k);
  return int32_t(k);
}

// The n bytes at the cursor, advancing it; null when fewer are left.
static const uint8_t *take(pbuffer *b, int n) {
  if (!b || b->cursor < 0 || int64_t(b->cursor) + n > b->length) return nullptr;
  const uint8_t *p = b->data + b->cursor;
  b->cursor += n;
  return p;
}

uint32_t bread_uint8(pbuffer *b) {
  const uint8_t *p = take(b, 1);
  return p ? p[0] : 0;
}

uint32_t bread_uint16(pbuffer *b) {
  const uint8_t *p = take(b, 2);
  return p ? uint32_t(p[0]) | uint32_t(p[1]) << 8 : 0;
}

uint32_t bread_uint32(pbuffer *b) {
  const uint8_t *p = take(b, 4);
  return p ? uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24 : 0;
}

uint32_t bread_uint32_big_endian(pbuffer *b) {
  const uint8_t *p = take(b, 4);
  return p ? uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]) : 0;
}

uint32_t bread_uint8_hex(pbuffer *b) {
  const uint8_t *p = take(b, 2);
  return p ? uint32_t(16 * hex_digit_to_int[p[0]] + hex_digit_to_int[p[1]]) : 0;
}

pbuffer *breadln(pbuffer *src, pbuffer *line) {
  if (line)
    bclear(line);
  else
    line = new_buffer(17, 'R');
  if (src && src->cursor >= 0) {
    while (src->cursor < src->length) {
      uint8_t c = src->data[src->cursor];
      if (c == '\r' && src->cursor < src->length - 1 && src->data[src->cursor + 1] == '\n') {
        src->cursor += 2;
        break;
      }
      if (c == '\n') {
        src->cursor++;
        break;
      }
      // The line is never longer than its source, which fits.
      put_at(line, line->cursor, &c, 1);
      src->cursor++;
    }
  }
  line->data[line->cursor] = 0;
  return line;
}

// Reads `digits` hex digits; 0 with *s on the terminator when the string ends
// first.
static uint64_t read_hex_digits(const char **s, int digits) {
  uint64_t v = 0;
  for (int i = 0; i < digits; i++) {
    uint8_t c = uint8_t(**s);
    if (c == 0) return 0;
    v = v << 4 | uint64_t(hex_digit_to_int[c]);
    (*s)++;
  }
  return v;
}

int32_t read_u8_from_hex_str(const char **s) { return int32_t(read_hex_digits(s, 2)); }
int32_t read_i16_from_hex_str(const char **s) { return int16_t(read_hex_digits(s, 4)); }
int32_t read_i32_from_hex_str(const char **s) { return int32_t(uint32_t(read_hex_digits(s, 8))); }
int64_t read_i64_from_hex_str(const char **s) { return int64_t(read_hex_digits(s, 16)); }

// Whole-file loader. Opens without blocking (a FIFO would otherwise wait for a
// writer) and accepts only regular files that fit in a buffer.
pbuffer *create_buffer_from_file(const char *path) {
  static uint8_t scoop_chunk[16384];
  if (!path) return nullptr;
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || uint64_t(st.st_size) >= max_capacity) {
    close(fd);
    return nullptr;
  }
  pbuffer *b = create_buffer_2(4096, 'u');
  for (;;) {
    ssize_t got = read(fd, scoop_chunk, sizeof scoop_chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // end of file, or a read error ends it like the end
    if (!append(b, scoop_chunk, got)) {
      // The file grew past what a buffer can hold while it was read.
      destroy_buffer(b);
      close(fd);
      return nullptr;
    }
  }
  close(fd);
  b->cursor = b->length;
  return b;
}
