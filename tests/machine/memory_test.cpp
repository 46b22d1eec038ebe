// Paged process memory against a flat 16 MiB model: value access, wrapping,
// page creation on first access, mapped pages, block copy and fill with
// their costs, and page copies between processes.
#include "machine/memory.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr uint32_t MASK = 0xFFFFFF;

struct proc_deleter {
  void operator()(proc *p) const {
    proc_memory_free(p);
    delete p;
  }
};
using proc_ptr = std::unique_ptr<proc, proc_deleter>;

proc_ptr new_process() {
  proc_ptr p(new proc{});
  proc_memory_init(p.get());
  return p;
}

class Memory : public testing::Test {
 protected:
  proc_ptr p = new_process();
  void SetUp() override { cproc = p.get(); }
  void TearDown() override { cproc = nullptr; }
  proc_memory &m() { return p->mem; }
};

TEST_F(Memory, NewProcessHasSixteenPagesAndColourTableFlags) {
  EXPECT_EQ(m().page_bytes, 65536);
  for (int i = 0; i < 20; i++) {
    EXPECT_EQ(m().mapped_length[i], i < 16 ? 4096 : 0) << i;
    EXPECT_EQ(m().page_flags[i], i >= 8 && i <= 11 ? 2 : 0) << i;
  }
}

TEST_F(Memory, FirstReadCreatesAZeroPageOnce) {
  EXPECT_EQ(peek(0x300000), 0);
  EXPECT_EQ(m().page_bytes, 65536 + 4096);
  EXPECT_EQ(m().page_flags[0x300], 0);  // reads leave no mark
  EXPECT_EQ(peek(0x300FFF), 0);
  EXPECT_EQ(m().page_bytes, 65536 + 4096);
}

TEST_F(Memory, ValuesAreLittleEndianSignedAndWrap) {
  struct {
    const char *bytes;
    int width;
    int64_t want;
  } cases[] = {
      {"\xFF\x7F", 2, 32767},
      {"\x00\x80", 2, -32768},
      {"\x00\x00\x00\x80", 4, INT32_MIN},
      {"\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 8, -1},
      {"\xFF\xFF", 1, 255},
  };
  for (auto &c : cases) {
    for (int32_t a : {0x5000, 0x1FFE, 0xFFFFFD, -3}) {  // plain, straddling, wrapping
      for (int i = 0; i < c.width; i++) poke(a + i, uint8_t(c.bytes[i]));
      int64_t got = c.width == 1   ? peek(a)
                    : c.width == 2 ? peek2(a)
                    : c.width == 4 ? peek4(a)
                                   : peek8(a);
      EXPECT_EQ(got, c.want) << std::hex << a << " width " << c.width;
    }
  }
  poke(-1, 7);
  EXPECT_EQ(peek(0xFFFFFF), 7);
  EXPECT_EQ(peek(0x1000000 + 0xFFFFFF), 7);
  poke(0, 511);
  EXPECT_EQ(peek(0), 255);
  m().page_flags[1] = m().page_flags[2] = 0;
  poke2(0x1FFF, 0x0102);
  EXPECT_EQ(peek(0x1FFF), 2);
  EXPECT_EQ(peek(0x2000), 1);
  EXPECT_EQ(m().page_flags[1], 255);
  EXPECT_EQ(m().page_flags[2], 255);
  poke8(0xFFFFFC, 0x0807060504030201ull);
  EXPECT_EQ(peek(3), 8);
  EXPECT_EQ(peek8(0xFFFFFC), 0x0807060504030201ll);
  poke4(0xFFFFFFFEu, 0xA1B2C3D4u);
  EXPECT_EQ(peek(0xFFFFFE), 0xD4);
  EXPECT_EQ(peek(1), 0xA1);
}

TEST_F(Memory, NullProcessReadsZero) {
  EXPECT_EQ(peek_proc(nullptr, 5), 0);
  EXPECT_EQ(peek2_proc(nullptr, 5), 0);
  EXPECT_EQ(peek4_proc(nullptr, 5), 0);
  poke_proc(nullptr, 5, 1);  // ignored, not a crash
  cproc = nullptr;
  EXPECT_EQ(peek8(5), 0);
  EXPECT_EQ(kvd_memset(0, 1, 10), 0);
}

TEST_F(Memory, PartiallyMappedPageShowsOwnBytesAfterItsLength) {
  std::vector<uint8_t> ud(100);
  ud[99] = 42;
  m().page_pointer[0x50] = ud.data();
  m().mapped_length[0x50] = 100;
  EXPECT_EQ(peek(0x50000 + 99), 42);
  int64_t before = m().page_bytes;
  EXPECT_EQ(peek(0x50000 + 100), 0);
  EXPECT_EQ(m().page_bytes, before + 4096);
  EXPECT_NE(m().own_page[0x50], nullptr);
  EXPECT_EQ(m().page_pointer[0x50], ud.data());  // the mapping stays
  // A fill across the mapping's end stays inside the userdata's bytes.
  EXPECT_EQ(kvd_memset(0x50000 + 90, 9, 20), 2);
  EXPECT_EQ(ud[90], 9);
  EXPECT_EQ(ud[99], 9);
  EXPECT_EQ(m().own_page[0x50][100], 9);
  EXPECT_EQ(m().own_page[0x50][109], 9);
  EXPECT_EQ(m().own_page[0x50][110], 0);
}

TEST_F(Memory, BlockCostsAndDirections) {
  for (int i = 0; i < 6; i++) poke(0x1000 + i, 10 + i);
  EXPECT_EQ(kvd_memcpy(0x1000, 0x1001, 4), 0);  // overlapping, 4 / 8
  for (int i = 0; i < 4; i++) EXPECT_EQ(peek(0x1000 + i), 11 + i);
  for (int i = 0; i < 6; i++) poke(0x1000 + i, 10 + i);
  EXPECT_EQ(kvd_memcpy(0x1001, 0x1000, 4), 0);
  for (int i = 0; i < 4; i++) EXPECT_EQ(peek(0x1001 + i), 10 + i);
  EXPECT_EQ(kvd_memcpy(0x1000, 0x1000, 100), 0);
  EXPECT_EQ(kvd_memcpy(0x1000, 0x3000, 0), 0);
  EXPECT_EQ(kvd_memcpy(0x1000, 0x3000, -5), 0);

  int64_t before = m().page_bytes;
  EXPECT_EQ(kvd_memcpy(0x10000, 0x20000, 8192), 66);    // two chunks of 4096
  EXPECT_EQ(m().page_bytes, before + 4 * 4096);         // source pages too
  EXPECT_EQ(kvd_memcpy(0x2000, 0x1000, 64), 0 + 1);     // 64 / 128 + 1
  EXPECT_EQ(kvd_memcpy(0x3100, 0x3000, 800), 800 / 8);  // overlapping: byte path

  EXPECT_EQ(kvd_memset(0x0FFF, 1, 2), 2);
  EXPECT_EQ(peek(0x0FFF), 1);
  EXPECT_EQ(peek(0x1000), 1);
  EXPECT_EQ(kvd_memset(0x8000, 5, 0), 0);
  EXPECT_EQ(kvd_memset(0xFFFFFF, 9, 2), 2);
  EXPECT_EQ(peek(0xFFFFFF), 9);
  EXPECT_EQ(peek(0), 9);
  EXPECT_EQ(kvd_memset(0x9000, 0x1FF, 4096), 33);
  EXPECT_EQ(peek(0x9FFF), 255);
}

// A block written into another process lands where one-byte writes would:
// across page ends and the top of memory, inside a mapping and past its end,
// marking each page written; the current process is left alone.
TEST_F(Memory, BlockWritesIntoAnyProcess) {
  proc_ptr other = new_process();
  std::vector<uint8_t> ud(100), bytes(5000);
  for (size_t i = 0; i < bytes.size(); i++) bytes[i] = uint8_t(i * 7 + 1);
  other->mem.page_pointer[0x50] = ud.data();
  other->mem.mapped_length[0x50] = 100;
  struct {
    int32_t addr, length;
  } cases[] = {{0x40FF0, 5000}, {0xFFFFF0, 40}, {0x50000 + 90, 20}, {0x7000, 0}, {0x7000, -3}};
  for (auto c : cases) kvd_pwrite(other.get(), c.addr, bytes.data(), c.length);
  cproc = other.get();
  for (auto c : cases)
    for (int32_t i = 0; i < c.length; i++)
      ASSERT_EQ(peek(c.addr + i), bytes[size_t(i)]) << std::hex << c.addr << " + " << i;
  EXPECT_EQ(ud[90], bytes[0]);
  EXPECT_EQ(other->mem.own_page[0x50][100], bytes[10]);
  EXPECT_EQ(other->mem.own_page[0x50][110], 0);
  for (int pg : {0x40, 0x41, 0x42, 0xFFF, 0x0, 0x50})
    EXPECT_EQ(other->mem.page_flags[pg], 255) << pg;
  EXPECT_EQ(other->mem.page_flags[0x7], 0);
  EXPECT_EQ(m().page_bytes, 65536);          // nothing of the current process was touched
  kvd_pwrite(nullptr, 0, bytes.data(), 10);  // ignored
  cproc = p.get();
}

// A copy whose source wraps past the top of memory into the destination (the
// ranges look disjoint as given) still copies what the source held.
TEST_F(Memory, CopyWrappingOntoItsOwnSource) {
  for (int i = 0; i < 0x40; i++) poke(0xFFFFF0 + i, i + 1);
  EXPECT_GT(kvd_memcpy(0x10, 0xFFFFF0, 0x40), 0);
  for (int i = 0; i < 0x40; i++) EXPECT_EQ(peek(0x10 + i), i + 1) << i;
}

// Random value access, copies and fills against a flat model, with one page
// partly and one wholly mapped onto separate storage.
TEST_F(Memory, RandomOperationsMatchAFlatModel) {
  std::vector<uint8_t> model(MASK + 1, 0);
  std::vector<uint8_t> ud_part(1000, 0), ud_whole(4096, 0);
  m().page_pointer[0x20] = ud_part.data();
  m().mapped_length[0x20] = 1000;
  m().page_pointer[0x21] = ud_whole.data();
  m().mapped_length[0x21] = 4096;

  std::mt19937_64 rng(12345);
  auto pick_addr = [&]() -> int32_t {
    switch (rng() % 5) {
      case 0:
        return int32_t(0x20000 + rng() % 0x2100);  // around the mapped pages
      case 1:
        return int32_t(0xFFFFFF - rng() % 64);  // the top, to wrap
      case 2:
        return int32_t((rng() % 4096) * 4096 + 4096 - rng() % 8);  // page ends
      case 3:
        return int32_t(rng());  // anything, taken mod 16 MiB
      default:
        return int32_t(rng() % 0x30000);
    }
  };
  auto pick_len = [&]() -> int32_t {
    switch (rng() % 4) {
      case 0:
        return int32_t(rng() % 16);
      case 1:
        return int32_t(rng() % 300);
      case 2:
        return int32_t(rng() % 20000);
      default:
        return int32_t(rng() % 4096 + 4090);
    }
  };
  for (int step = 0; step < 20000; step++) {
    int32_t a = pick_addr();
    uint32_t ua = uint32_t(a);
    uint64_t v = rng();
    int op = int(rng() % 8);
    if (op <= 3) {
      int width = 1 << op;
      if (width == 1)
        poke(a, int32_t(v));
      else if (width == 2)
        poke2(a, int32_t(v));
      else if (width == 4)
        poke4(ua, uint32_t(v));
      else
        poke8(ua, v);
      for (int i = 0; i < width; i++) model[(ua + i) & MASK] = uint8_t(v >> (8 * i));
      EXPECT_EQ(m().page_flags[(ua >> 12) & 0xFFF], 255);
    } else if (op == 4) {
      int32_t b = rng() % 2 ? pick_addr() : a + int32_t(rng() % 64) - 32;  // often overlapping
      int32_t len = pick_len();
      kvd_memcpy(a, b, len);
      std::vector<uint8_t> tmp(size_t(len > 0 ? len : 0));
      for (int32_t i = 0; i < len; i++) tmp[i] = model[(uint32_t(b) + i) & MASK];
      for (int32_t i = 0; i < len; i++) model[(ua + i) & MASK] = tmp[i];
    } else if (op == 5) {
      int32_t len = pick_len();
      kvd_memset(a, int32_t(v), len);
      for (int32_t i = 0; i < len; i++) model[(ua + i) & MASK] = uint8_t(v);
    } else {
      int32_t want = 0;
      for (int i = 3; i >= 0; i--) want = int32_t(uint32_t(want) << 8 | model[(ua + i) & MASK]);
      ASSERT_EQ(peek4(a), want) << "step " << step << " at " << std::hex << ua;
      ASSERT_EQ(peek(a), model[ua & MASK]);
      ASSERT_EQ(peek2(a), int16_t(model[ua & MASK] | model[(ua + 1) & MASK] << 8));
    }
  }
  for (uint32_t i = 0; i <= MASK; i++) {
    if (peek(int32_t(i)) != model[i]) {
      ADD_FAILURE() << "byte " << std::hex << i << " differs";
      break;
    }
  }
  for (int i = 0; i < 1000; i++) ASSERT_EQ(ud_part[i], model[0x20000 + i]);
  for (int i = 0; i < 4096; i++) ASSERT_EQ(ud_whole[i], model[0x21000 + i]);
  int own = 0;
  for (int i = 0; i < PROC_NUM_PAGES; i++) own += m().own_page[i] != nullptr;
  EXPECT_EQ(m().page_bytes, int64_t(own) * 4096);
}

TEST_F(Memory, PageCopyBetweenProcesses) {
  proc_ptr dst = new_process();
  poke(0xF78000, 1);
  poke(0xFFFFFF, 2);
  poke(0xF79000 + 5, 3);
  // The destination's page 0xF7A is mapped onto a short userdata tail: the
  // copy fills its bytes and its own page without overrunning the userdata.
  std::vector<uint8_t> ud(10, 0);
  dst->mem.page_pointer[0xF7A] = ud.data();
  dst->mem.mapped_length[0xF7A] = 10;
  poke(0xF7A000 + 9, 4);
  poke(0xF7A000 + 10, 5);
  int64_t before = dst->mem.page_bytes;
  kvd_pmemcpy_pages(p.get(), dst.get(), 0xF78000, 0x1000000);
  EXPECT_EQ(peek_proc(dst.get(), 0xF78000), 1);
  EXPECT_EQ(peek_proc(dst.get(), 0xFFFFFF), 2);
  EXPECT_EQ(peek_proc(dst.get(), 0xF79005), 3);
  EXPECT_EQ(ud[9], 4);
  EXPECT_EQ(dst->mem.own_page[0xF7A][10], 5);
  EXPECT_EQ(dst->mem.mapped_length[0xF7A], 10);
  EXPECT_EQ(dst->mem.mapped_length[0xF78], 4096);
  // Pages absent in the source were skipped, not created.
  EXPECT_EQ(dst->mem.page_bytes - before, 4 * 4096);  // F78, F79, F7A, FFF
  EXPECT_EQ(dst->mem.page_flags[0xF78], 0);           // flags untouched
  kvd_pmemcpy_pages(nullptr, dst.get(), 0, 0x1000000);
  kvd_pmemcpy_pages(p.get(), dst.get(), -0x8000, 0x7FFFFFFF);  // bad bounds clamp
  EXPECT_EQ(peek_proc(dst.get(), 0xF78000), 1);
}

}  // namespace
