// Natural order, the listing container and folder listings.
#include "pdisk/listing.h"

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lang/lua_api.h"
#include "pdisk/cart_mount.h"
#include "pdisk/fileops.h"
#include "pdisk/mount.h"
#include "pdisk_fixture.h"

namespace {

TEST(NaturalOrder, CasesSortAsListed) {
  // each pair: first sorts before second
  const std::pair<const char *, const char *> cases[] = {
      {"File2", "file10"},
      {"abc", "abcd"},
      {"a.b", "a1"},
      {"z/", "a2.txt"},
      {"a2.txt", "a10.txt"},
      {"a10.txt", "b.lua"},
      {"x1", "xa"},
      {"a/b", "a1"},
      {"a007", "a8"},
      {"a01", "a1"},
      {"A", "a"},
      {"9", "10"},
      {"99999999999999999999", "100000000000000000000"},
      // other characters by their codes: "-" (45) before "." (46) and "_"
      {"a-b", "a.b"},
      {"a-b", "a_b"},
      {"a.b", "a_b"},
      // a digit before any other character but "." and "/"
      {"a1", "a-"},
      {"a1", "a_"},
  };
  for (auto [a, b] : cases) {
    EXPECT_LT(natural_compare(a, b), 0) << a << " < " << b;
    EXPECT_GT(natural_compare(b, a), 0) << b << " > " << a;
  }
  EXPECT_EQ(natural_compare("same", "same"), 0);
}

// Antisymmetric, equal only for equal texts, and transitive over names
// without "-": "-" sorts before "." by its code but after digits, which
// sort after ".", so with it three names can compare in a ring.
TEST(NaturalOrder, IsAntisymmetricAndTransitiveWithoutDashes) {
  std::vector<std::string> names;
  const char *parts[] = {"", "a", "A", "1", "01", "10", ".", "/", "-", "_", "b2", "B10"};
  for (const char *x : parts)
    for (const char *y : parts) names.push_back(std::string(x) + y);
  for (const auto &a : names)
    for (const auto &b : names) {
      int ab = natural_compare(a.c_str(), b.c_str()), ba = natural_compare(b.c_str(), a.c_str());
      ASSERT_EQ(ab<0, ba> 0) << "[" << a << "] [" << b << "]";
      ASSERT_EQ(ab == 0, a == b) << "[" << a << "] [" << b << "]";
      if (ab >= 0 || a.find('-') != std::string::npos || b.find('-') != std::string::npos) continue;
      for (const auto &c : names) {
        if (c.find('-') == std::string::npos && natural_compare(b.c_str(), c.c_str()) < 0) {
          ASSERT_LT(natural_compare(a.c_str(), c.c_str()), 0) << a << " " << b << " " << c;
        }
      }
    }
}

// Names that compare in a ring sort into one order whatever order they come
// in, within bounds (the sanitizer build watches the reads).
TEST(Listing, RingsOfNamesSortTheSameFromAnyStart) {
  std::vector<std::string> names = {"a-", "a.", "a1", "b", "a-.", "a.1", "a1-", "-", ".", "1"};
  std::vector<std::string> first;
  std::sort(names.begin(), names.end());
  do {
    listing *l = create_listing();
    for (const auto &n : names) ASSERT_TRUE(listing_add(l, create_buffer_from_str(n.c_str())));
    listing_sort(l);
    std::vector<std::string> got;
    for (int i = 0; i < l->count; i++) got.push_back(to_cstr(l->entries[i]));
    destroy_listing(l);
    if (first.empty()) first = got;
    ASSERT_EQ(got, first);
  } while (std::next_permutation(names.begin() + 4, names.end()));
}

TEST(Listing, AddFindDeleteAndSort) {
  listing *l = create_listing();
  for (const char *s : {"b10", "b2", "dir/", "a"})
    ASSERT_TRUE(listing_add(l, create_buffer_from_str(s)));
  EXPECT_EQ(listing_index_for_key(l, "b2"), 1);
  EXPECT_EQ(listing_index_for_key(l, "b"), -1);
  EXPECT_FALSE(listing_del(l, "missing"));
  EXPECT_EQ(l->count, 4);
  EXPECT_TRUE(listing_del(l, "b10"));
  EXPECT_EQ(std::string(to_cstr(l->entries[0])), "b2");
  ASSERT_TRUE(listing_add(l, create_buffer_from_str("b10")));
  listing_sort(l);
  std::vector<std::string> got;
  for (int i = 0; i < l->count; i++) got.push_back(to_cstr(l->entries[i]));
  EXPECT_EQ(got, (std::vector<std::string>{"dir/", "a", "b2", "b10"}));
  destroy_listing(l);
}

TEST(Listing, RefusesThe65537thEntry) {
  listing *l = create_listing();
  for (int i = 0; i < LISTING_CAPACITY; i++) ASSERT_TRUE(listing_add(l, create_buffer_2(0, 'l')));
  pbuffer *extra = create_buffer_from_str("x");
  EXPECT_FALSE(listing_add(l, extra));
  EXPECT_EQ(l->count, LISTING_CAPACITY);
  destroy_buffer(extra);
  destroy_listing(l);
}

class Pflist : public PdiskTest {
 protected:
  lua_State *L = nullptr;
  void SetUp() override {
    PdiskTest::SetUp();
    L = luaL_newstate();
  }
  void TearDown() override {
    lua_close(L);
    PdiskTest::TearDown();
  }
  // "<folders>: name name ..." or "none"
  std::string ls(const char *path) {
    if (pflist(path, L) != 2) return "none";
    std::string out = std::to_string(lua_tointeger(L, -1)) + ":";
    lua_Integer n = luaL_len(L, -2);
    for (lua_Integer i = 1; i <= n; i++) {
      lua_rawgeti(L, -2, i);
      out += std::string(" ") + (lua_isstring(L, -1) ? lua_tostring(L, -1) : "<hole>");
      lua_pop(L, 1);
    }
    lua_settop(L, 0);
    return out;
  }
};

TEST_F(Pflist, HostRamAndMountedNamesOnceAtConsecutiveIndices) {
  for (const char *f : {"/d/b.lua", "/d/a10.txt", "/d/a2.txt", "/d/.hidden"}) {
    pmkdir("/d");
    ASSERT_TRUE(put(f, "x"));
  }
  ASSERT_EQ(pmkdir("/d/z"), 0);
  EXPECT_EQ(ls("/d"), "1: z a2.txt a10.txt b.lua");
  // a mounted cartridge is listed once, under its file name
  ASSERT_EQ(pmkdir("/d/c.kvd"), 0);
  flush_dirty_mounts_immediately();
  EXPECT_EQ(ls("/d"), "1: z a2.txt a10.txt b.lua c.kvd");
  // RAM records and a mount placed inside a RAM folder
  ASSERT_EQ(pmkdir("/ram/r"), 0);
  ASSERT_TRUE(put("/ram/r/f", "1"));
  ASSERT_TRUE(put("/ram/r/.h", "1"));
  ASSERT_EQ(pmkdir("/ram/r/sub"), 0);
  ASSERT_NE(mount_p_path("/ram/r/sub", "/d"), nullptr);
  ASSERT_NE(mount_p_path("/ram/r/m", "/d"), nullptr);
  EXPECT_EQ(ls("/ram/r"), "2: m sub f");
  EXPECT_EQ(ls("/ram/r/m"), "1: z a2.txt a10.txt b.lua c.kvd");
  EXPECT_EQ(ls("/d/c.kvd"), "0:");
  EXPECT_EQ(ls("/no such"), "none");
  EXPECT_EQ(ls("/missing"), "none");
}

TEST_F(Pflist, SubfoldersWithoutARecordAndTheCharacterOrder) {
  // files whose folder has no record of its own, as a cartridge may hold them
  ASSERT_EQ(pmkdir("/ram/c"), 0);
  for (const char *f : {"/ram/c/sub/x.lua", "/ram/c/sub/deeper/y.lua", "/ram/c/.h/z", "/ram/c/a.b",
                        "/ram/c/a-b", "/ram/c/ab"})
    ASSERT_TRUE(put(f, "x")) << f;
  EXPECT_EQ(ls("/ram/c"), "1: sub a-b a.b ab");
  EXPECT_EQ(ls("/ram/c/sub"), "1: deeper x.lua");
  // a mount at such a subfolder is listed once, as the mount
  ASSERT_NE(mount_p_path("/ram/c/sub", "/ram/c/sub"), nullptr);
  EXPECT_EQ(ls("/ram/c"), "1: sub a-b a.b ab");
}

}  // namespace
