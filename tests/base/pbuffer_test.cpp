// Byte buffer: growth, statistics, readers and writers, escaping, crop, line
// reading and the whole-file loader, including the refusals at the i32 limit.
#include "base/pbuffer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "base/debug_log.h"

namespace {

std::string text(pbuffer *b) { return std::string(reinterpret_cast<char *>(b->data), b->length); }

bool zero_after_length(pbuffer *b) {
  for (uint64_t i = uint64_t(b->length); i < b->capacity; i++)
    if (b->data[i]) return false;
  return true;
}

std::string temp_dir() {
  char tmpl[] = "/tmp/kvd_pbuffer_XXXXXX";
  return std::string(mkdtemp(tmpl));
}

TEST(Pbuffer, ConstructorCapacitiesAndStatistics) {
  uint64_t alloc0 = get_total_buffer_allocation();
  int64_t n0 = get_total_num_buffers();
  int32_t q0 = buffer_group_count['q'];
  pbuffer *a = create_buffer_2(0, 'q');
  pbuffer *b = create_buffer_2(-5, 'q');
  EXPECT_EQ(a->capacity, 1u);
  EXPECT_EQ(b->capacity, 1u);
  EXPECT_EQ(get_total_num_buffers(), n0 + 2);
  EXPECT_EQ(buffer_group_count['q'], q0 + 2);
  EXPECT_EQ(bwrite_uint8(7, a), 1);
  EXPECT_EQ(a->capacity, 4u);
  EXPECT_EQ(get_total_buffer_allocation(), alloc0 + 4 + 1);
  pbuffer *e = create_buffer_from_str("");
  EXPECT_EQ(e->capacity, 2u);
  EXPECT_EQ(e->length, 0);
  pbuffer *s = create_buffer_from_str("abc");
  EXPECT_EQ(s->capacity, 5u);
  EXPECT_EQ(s->length, 3);
  EXPECT_EQ(s->cursor, 3);
  EXPECT_EQ(s->tag, 'X');
  pbuffer *c = create_buffer_from_buffer(s);
  EXPECT_EQ(c->capacity, 6u);
  EXPECT_EQ(text(c), "abc");
  EXPECT_EQ(c->cursor, 0);
  EXPECT_EQ(c->tag, 'Y');
  for (pbuffer *x : {a, b, e, s, c}) destroy_buffer(x);
  destroy_buffer(nullptr);
  EXPECT_EQ(get_total_num_buffers(), n0);
  EXPECT_EQ(get_total_buffer_allocation(), alloc0);
  EXPECT_EQ(buffer_group_count['q'], q0);
}

TEST(Pbuffer, GrowthZeroFillsAndDoubles) {
  pbuffer *b = create_buffer_2(2, 'q');
  b->cursor = 5;  // writing past the end leaves zeros in the gap
  EXPECT_EQ(bwrite_uint16(0xBEEF, b), 2);
  EXPECT_EQ(b->length, 7);
  EXPECT_EQ(b->capacity, 16u);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(b->data), 7),
            std::string("\0\0\0\0\0\xEF\xBE", 7));
  EXPECT_TRUE(zero_after_length(b));
  EXPECT_EQ(ballocate(b, 100), 0);
  EXPECT_EQ(b->capacity, 202u);
  EXPECT_EQ(b->length, 7);
  EXPECT_TRUE(zero_after_length(b));
  destroy_buffer(b);
}

TEST(Pbuffer, FixedWidthWritersAndReaders) {
  pbuffer *b = create_buffer_2(0, 'q');
  EXPECT_EQ(bwrite(nullptr, 0, 5, b), 0);
  EXPECT_EQ(bwrite(nullptr, 1, 5, b), 0);  // no source: nothing written
  EXPECT_EQ(bwrite("abcdefghijkl", 4, 3, b), 12);
  EXPECT_EQ(bwrite_uint32(0x04030201, b), 4);
  EXPECT_EQ(bwrite_uint32_big_endian(0x04030201, b), 4);
  EXPECT_EQ(bwrite_uint8(0x1FF, b), 1);  // low bits only
  b->cursor = 12;
  EXPECT_EQ(bread_uint32(b), 0x04030201u);
  EXPECT_EQ(bread_uint32_big_endian(b), 0x04030201u);
  b->cursor = 12;
  EXPECT_EQ(bread_uint32_big_endian(b), 0x01020304u);
  b->cursor = 20;
  EXPECT_EQ(bread_uint8(b), 0xFFu);
  EXPECT_EQ(bread_uint8(b), 0u);
  EXPECT_EQ(b->cursor, 21);
  b->cursor = 20;
  EXPECT_EQ(bread_uint16(b), 0u);  // one byte left: nothing read
  EXPECT_EQ(b->cursor, 20);
  EXPECT_EQ(bread_uint32(b), 0u);
  EXPECT_EQ(b->cursor, 20);
  char dst[32] = {};
  b->cursor = 18;
  EXPECT_EQ(bread(dst, 2, 10, b), 3);  // only three bytes left
  EXPECT_EQ(b->cursor, 21);
  EXPECT_EQ(bread(dst, 1, 1, b), 0);
  b->cursor = -3;  // a corrupt cursor never reads before the storage
  EXPECT_EQ(bread_uint8(b), 0u);
  EXPECT_EQ(bread(dst, 1, 4, b), 0);
  EXPECT_EQ(bwrite_uint8(1, b), 0);
  destroy_buffer(b);
}

TEST(Pbuffer, HexWritersAndReaders) {
  pbuffer *b = create_buffer_2(0, 'q');
  EXPECT_EQ(bwrite_int16_as_hex(-1, b), 4);
  EXPECT_EQ(bwrite_int64_as_hex(1, b), 16);
  EXPECT_EQ(bwrite_int32_as_hex(-2, b), 8);
  EXPECT_EQ(bwrite_int64_as_hex(~0ull, b), 16);
  b->cursor = b->length;
  EXPECT_EQ(bwrite_uint8_as_hex(0xA5, b), 2);
  EXPECT_EQ(text(b), "ffff0000000000000001fffffffeffffffffffffffffa5");
  b->cursor = b->length - 2;
  EXPECT_EQ(bread_uint8_hex(b), 0xA5u);
  EXPECT_EQ(bread_uint8_hex(b), 0u);
  destroy_buffer(b);

  struct {
    const char *in;
    int digits;
    int64_t want;
    int moved;
  } cases[] = {
      {"ffff", 4, -1, 4},
      {"7fff", 4, 32767, 4},
      {"8000", 4, -32768, 4},
      {"12", 4, 0, 2},
      {"zz", 2, 0, 2},
      {"Ab", 2, 0xAB, 2},
      {"80000000", 8, INT32_MIN, 8},
      {"ffffffffffffffff", 16, -1, 16},
      {"0123456789abcdef9", 16, 0x0123456789abcdef, 16},
      {"", 2, 0, 0},
  };
  for (auto &c : cases) {
    const char *p = c.in;
    int64_t v = c.digits == 2   ? read_u8_from_hex_str(&p)
                : c.digits == 4 ? read_i16_from_hex_str(&p)
                : c.digits == 8 ? read_i32_from_hex_str(&p)
                                : read_i64_from_hex_str(&p);
    EXPECT_EQ(v, c.want) << c.in;
    EXPECT_EQ(p - c.in, c.moved) << c.in;
  }
}

// A buffer without room for its terminator breaks an invariant: checked
// builds stop with the assertion line instead of writing past the data.
TEST(PbufferDeathTest, TerminatorWithoutRoomStopsCheckedBuilds) {
  if (!KVD_INVARIANTS_CHECKED) GTEST_SKIP() << "invariants are compiled out";
  pbuffer *b = create_buffer_2(4, 't');
  b->length = int32_t(b->capacity);  // as a faulty writer would leave it
  // The assertion line goes to standard output: seen here on standard error.
  EXPECT_EXIT((dup2(2, 1), to_cstr(b)), ::testing::ExitedWithCode(1), "ASSERT failed: .*capacity");
  b->length = 0;
  destroy_buffer(b);
}

TEST(Pbuffer, AppendStrAndToCstr) {
  pbuffer *b = create_buffer_from_str("ab");
  b->cursor = 0;
  EXPECT_EQ(bappend_str(b, "cd"), 2);
  EXPECT_EQ(bappend_str(b, nullptr), 0);
  EXPECT_STREQ(to_cstr(b), "abcd");
  EXPECT_EQ(b->cursor, 4);
  EXPECT_EQ(to_cstr(nullptr), nullptr);
  destroy_buffer(b);
}

TEST(Pbuffer, MessageEscaping) {
  pbuffer *b = create_buffer_2(0, 'q');
  EXPECT_EQ(bappend_str_escaped(b, "a\"\t\xE9\\z"), 1 + 4 + 4 + 4 + 4 + 1);
  EXPECT_STREQ(to_cstr(b), "a\\034\\009\\233\\092z");
  EXPECT_STREQ(escape_lua_string("x\ny"), "x\\010y");
  EXPECT_STREQ(escape_lua_string("plain"), "plain");
  destroy_buffer(b);
}

TEST(Pbuffer, PodStringEscaping) {
  pbuffer *b = create_buffer_2(0, 'q');
  const char src[] = "a\n]\x7F\0\\\"\xFF";
  EXPECT_EQ(bwrite_escaped_string(src, b, 8), 1 + 2 + 4 + 4 + 4 + 2 + 2 + 4);
  EXPECT_STREQ(to_cstr(b), "a\\n\\093\\127\\000\\\\\\\"\\255");
  EXPECT_EQ(bwrite_escaped_string(src, b, 0), 0);
  EXPECT_EQ(bwrite_escaped_string(src, nullptr, 3), 0);
  destroy_buffer(b);
}

// Both escapings read back through the stock Lua string reader as the bytes
// escaped; checked with lua5.4 over every byte value.
TEST(Pbuffer, EscapesReadBackAsLuaLiterals) {
  if (access("/usr/bin/lua5.4", X_OK) != 0) GTEST_SKIP() << "no lua5.4";
  char all[256];
  for (int i = 0; i < 255; i++) all[i] = char(i + 1);
  all[255] = 0;
  pbuffer *b = create_buffer_2(0, 'q');
  bappend_str(b, "local a = \"");
  bappend_str_escaped(b, all);
  bappend_str(b, "\"\nlocal p = \"");
  b->cursor = b->length;
  bwrite_escaped_string(all, b, 255);
  bappend_str(b,
              "\"\nlocal w = ''\nfor i = 1, 255 do w = w .. string.char(i) end\n"
              "io.write(a == w and 'ok' or 'bad', p == w and 'ok' or 'bad')\n");
  std::string dir = temp_dir();
  std::string path = dir + "/esc.lua";
  FILE *f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fwrite(b->data, 1, size_t(b->length), f);
  fclose(f);
  std::string cmd = "/usr/bin/lua5.4 " + path;
  FILE *p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  char out[16] = {};
  size_t got = fread(out, 1, sizeof out - 1, p);
  pclose(p);
  EXPECT_EQ(std::string(out, got), "okok");
  destroy_buffer(b);
  unlink(path.c_str());
  rmdir(dir.c_str());
}

TEST(Pbuffer, Crop) {
  struct {
    int32_t start, count;
    const char *left;
    int32_t cursor;
  } cases[] = {
      {3, 4, "defg", 4},     {0, 2, "ab", 7}, {9, 1, "", 0},
      {-1, 5, "abcdefg", 7}, {2, 0, "", 0},   {5, 100, "fg", 2},
  };
  for (auto &c : cases) {
    pbuffer *b = create_buffer_from_str("abcdefg");
    bcrop(b, c.start, c.count);
    EXPECT_EQ(text(b), c.left) << c.start << "," << c.count;
    EXPECT_EQ(b->cursor, c.cursor) << c.start << "," << c.count;
    if (c.start >= 0) {
      EXPECT_TRUE(zero_after_length(b) || b->length == 0);
    }
    destroy_buffer(b);
  }
  pbuffer *b = create_buffer_from_str("abcdefg");
  b->cursor = 1;
  bcrop(b, 3, 4);  // cursor before the cropped prefix: clamped, not negative
  EXPECT_EQ(b->cursor, 0);
  destroy_buffer(b);
}

TEST(Pbuffer, LineReader) {
  pbuffer *src = create_buffer_2(0, 'q');
  bwrite("a\r\nb\rc\n", 1, 7, src);
  src->cursor = 0;
  pbuffer *line = breadln(src, nullptr);
  EXPECT_EQ(line->tag, 'R');
  EXPECT_STREQ(to_cstr(line), "a");
  breadln(src, line);
  EXPECT_EQ(text(line), "b\rc");
  breadln(src, line);
  EXPECT_EQ(line->length, 0);
  EXPECT_EQ(src->cursor, 7);
  bclear(src);
  bwrite("x\r", 1, 2, src);  // a trailing CR belongs to the line
  src->cursor = 0;
  breadln(src, line);
  EXPECT_EQ(text(line), "x\r");
  destroy_buffer(line);
  destroy_buffer(src);
}

// Lengths never pass INT32_MAX: such writes are refused whole. The buffers
// here are records only; no storage is touched when a write is refused.
TEST(Pbuffer, WritesPastTheLimitAreRefused) {
  uint8_t byte = 0;
  pbuffer fake{1, &byte, 'q', INT32_MAX - 2, INT32_MAX - 2};
  EXPECT_EQ(bwrite_uint32(1, &fake), 0);
  EXPECT_EQ(bwrite_uint16(1, &fake), 0);
  EXPECT_EQ(bappend_str(&fake, "abcdef"), 0);
  EXPECT_EQ(bwrite_int64_as_hex(1, &fake), 0);
  EXPECT_EQ(fake.length, INT32_MAX - 2);
  EXPECT_EQ(fake.capacity, 1u);
  EXPECT_EQ(fake.data, &byte);
  pbuffer *b = create_buffer_2(0, 'q');
  // A count whose byte total wraps to a small 32-bit number is not truncated.
  EXPECT_EQ(bwrite("abcd", 0x100000001ull, 4, b), 0);
  EXPECT_EQ(bwrite("abcd", 1ull << 31, 1, b), 0);
  EXPECT_EQ(bwrite("abcd", 1, 1ull << 32, b), 0);
  EXPECT_EQ(ballocate(b, 1ull << 31), -1);
  EXPECT_EQ(ballocate(b, ~0ull), -1);
  EXPECT_EQ(b->length, 0);
  EXPECT_EQ(b->capacity, 1u);
  destroy_buffer(b);
}

TEST(Pbuffer, WholeFileLoader) {
  std::string dir = temp_dir();
  EXPECT_EQ(create_buffer_from_file((dir + "/missing").c_str()), nullptr);
  EXPECT_EQ(create_buffer_from_file(nullptr), nullptr);

  std::string empty = dir + "/empty";
  fclose(fopen(empty.c_str(), "wb"));
  pbuffer *b = create_buffer_from_file(empty.c_str());
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->capacity, 4097u);
  EXPECT_EQ(b->length, 0);
  EXPECT_EQ(b->tag, 'u');
  destroy_buffer(b);

  // Larger than several 16 KiB pieces, with every byte value.
  std::string data;
  for (int i = 0; i < 70000; i++) data.push_back(char((i * 7 + i / 256) & 255));
  std::string full = dir + "/full";
  FILE *f = fopen(full.c_str(), "wb");
  fwrite(data.data(), 1, data.size(), f);
  fclose(f);
  b = create_buffer_from_file(full.c_str());
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(text(b), data);
  EXPECT_EQ(b->cursor, 70000);
  EXPECT_TRUE(zero_after_length(b));
  destroy_buffer(b);

  // A folder, a FIFO (which would block or read for ever) and a sparse 2 GiB
  // file are refused without reading.
  EXPECT_EQ(create_buffer_from_file(dir.c_str()), nullptr);
  std::string fifo = dir + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(create_buffer_from_file(fifo.c_str()), nullptr);
  std::string huge = dir + "/huge";
  f = fopen(huge.c_str(), "wb");
  fclose(f);
  ASSERT_EQ(truncate(huge.c_str(), 1ll << 31), 0);
  EXPECT_EQ(create_buffer_from_file(huge.c_str()), nullptr);
  ASSERT_EQ(truncate(huge.c_str(), (1ll << 31) - 1), 0);
  EXPECT_EQ(create_buffer_from_file(huge.c_str()), nullptr);

  for (const std::string &p : {empty, full, fifo, huge}) unlink(p.c_str());
  rmdir(dir.c_str());
}

}  // namespace
