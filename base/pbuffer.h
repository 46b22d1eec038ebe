// pbuffer: the growable byte buffer that carries file contents, pod texts,
// messages, PNG data and codec output. Writers grow the storage (zero-filled)
// as they go; readers stop quietly at the end of the data.
//
// Lengths, cursors and capacities stay within INT32_MAX: a write that would
// pass it is refused whole (nothing written, 0 returned), never wrapped.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

struct pbuffer {
  uint64_t capacity;  // bytes allocated for data; at least length + 1
  uint8_t *data;      // owned, zero-filled when allocated or grown
  int32_t tag;        // one 7-bit character naming the owner (statistics only)
  int32_t length;     // valid bytes
  int32_t cursor;     // where the next read or write takes place
};

// Live buffers counted by tag (atomic, as the totals read by
// get_total_num_buffers and get_total_buffer_allocation: the audio capture
// grows its buffer on the audio thread).
extern std::atomic<int32_t> buffer_group_count[128];

// "0123456789abcdef", and the digit value of every byte (0 for non-digits).
extern const char hex_char[17];
extern const int32_t hex_digit_to_int[256];

// Constructors and housekeeping. A capacity past INT32_MAX is cut to it.
pbuffer *create_buffer_2(int32_t capacity, int32_t tag);
pbuffer *create_buffer_from_str(const char *s);          // tag 'X'
pbuffer *create_buffer_from_buffer(const pbuffer *src);  // tag 'Y'
pbuffer *create_buffer_from_buffer_2(const pbuffer *src, int32_t tag);
// The whole host file, or null when it cannot be opened, is not a regular
// file, or is too large for a buffer (INT32_MAX bytes or more). Length and
// cursor are the file size.
pbuffer *create_buffer_from_file(const char *path);
void destroy_buffer(pbuffer *b);

// A pbuffer owned in a scope (destroyed on every way out, Lua errors included).
struct pbuffer_deleter {
  void operator()(pbuffer *b) const { destroy_buffer(b); }
};
using pbuffer_owner = std::unique_ptr<pbuffer, pbuffer_deleter>;
// Room for n bytes plus a terminator. 0 on success; -1 (buffer unchanged)
// when n + 1 would pass INT32_MAX or storage cannot be had.
int ballocate(pbuffer *b, uint64_t n);
void bclear(pbuffer *b);
void bcrop(pbuffer *b, int32_t start, int32_t count);
char *to_cstr(pbuffer *b);
uint64_t get_total_buffer_allocation();
int64_t get_total_num_buffers();

// Writers: each returns the bytes written, 0 when the write was refused.
int64_t bwrite(const void *src, uint64_t size, uint64_t count, pbuffer *b);
int bwrite_uint8(uint32_t v, pbuffer *b);
int bwrite_uint16(uint32_t v, pbuffer *b);
int bwrite_uint32(uint32_t v, pbuffer *b);
int bwrite_uint32_big_endian(uint32_t v, pbuffer *b);
int64_t bappend_str(pbuffer *b, const char *s);
int bwrite_uint8_as_hex(uint32_t v, pbuffer *b);
int bwrite_int16_as_hex(int32_t v, pbuffer *b);
int bwrite_int32_as_hex(int32_t v, pbuffer *b);
int bwrite_int64_as_hex(uint64_t v, pbuffer *b);
// Escaping for message texts: control bytes, bytes >= 128, backslash and
// double quote become a backslash and three decimal digits.
int64_t bappend_str_escaped(pbuffer *b, const char *s);
// The same escaping into a shared scratch buffer; valid until the next call.
// Main thread only.
const char *escape_lua_string(const char *s);
// Escaping of n bytes of pod string content (zero bytes included).
int64_t bwrite_escaped_string(const void *src, pbuffer *b, uint64_t n);

// Readers: a reader that lacks bytes returns 0 and leaves the cursor alone.
int32_t bread(void *dst, int32_t size, int32_t count, pbuffer *b);
uint32_t bread_uint8(pbuffer *b);
uint32_t bread_uint16(pbuffer *b);
uint32_t bread_uint32(pbuffer *b);
uint32_t bread_uint32_big_endian(pbuffer *b);
uint32_t bread_uint8_hex(pbuffer *b);
// One line from the source's cursor (LF or CR LF ends it) into `line`, or
// into a new buffer (tag 'R') when `line` is null. Zero-terminated.
pbuffer *breadln(pbuffer *src, pbuffer *line);

// Hex digits from a zero-terminated string, most significant first; *s moves
// past every digit taken. A terminator before the last digit gives 0 with *s
// left on the terminator.
int32_t read_u8_from_hex_str(const char **s);
int32_t read_i16_from_hex_str(const char **s);
int32_t read_i32_from_hex_str(const char **s);
int64_t read_i64_from_hex_str(const char **s);
