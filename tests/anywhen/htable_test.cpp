// The string-keyed table of the file history.
#include "anywhen/htable.h"

#include <string>

#include <gtest/gtest.h>

namespace {

struct table_owner {
  htable *t;
  explicit table_owner(uint32_t slots) : t(create_htable(slots)) {}
  ~table_owner() { destroy_htable(t); }
};

std::string value(const htable *t, const char *key) {
  int32_t n = -1;
  const char *v = htable_get(t, key, &n);
  return v ? std::string(v, n) : "<none:" + std::to_string(n) + ">";
}

TEST(Htable, HashesAndProbeStartsOfTheReferenceKeys) {
  EXPECT_EQ(htable_hash("frog"), 0x428dbc5fu);
  EXPECT_EQ(htable_hash("zebra"), 0x7e5d5c68u);
  // Bytes above 127 count as negative values.
  EXPECT_NE(htable_hash("\xe9"), htable_hash("\x69"));
  // In 1024 slots "frog" starts at 0x05f and steps by 32: filling those 32
  // slots with other keys leaves no room for it.
  table_owner tab(1024);
  htable *t = tab.t;
  int filled = 0;
  for (int i = 0; filled < 32 && i < 2000000; i++) {
    std::string k = "k" + std::to_string(i);
    if ((htable_hash(k.c_str()) & 1023) == 0x05f) {
      ASSERT_EQ(htable_insert_failable(t, k.c_str(), "x", 1), 0);
      filled++;
    }
  }
  ASSERT_EQ(filled, 32);
  int32_t keys = t->keys->length, values = t->values->length;
  EXPECT_EQ(htable_insert_failable(t, "frog", "f", 1), 1);
  EXPECT_EQ(value(t, "frog"), "<none:0>");
  EXPECT_EQ(t->entries, 32);
  EXPECT_EQ(t->keys->length, keys);  // a failed insertion changes nothing
  EXPECT_EQ(t->values->length, values);
}

TEST(Htable, CreateRefusesSlotCountsThatAreNotPowersOfTwo) {
  for (uint32_t slots : {0u, 3u, 1000u, 0x10001u})
    EXPECT_EQ(create_htable(slots), nullptr) << slots;
  for (uint32_t slots : {1u, 2u, 1024u}) {
    table_owner t(slots);
    ASSERT_NE(t.t, nullptr) << slots;
    EXPECT_EQ(t.t->slots, slots);
    EXPECT_EQ(t.t->entries, 0);
  }
  destroy_htable(nullptr);
}

TEST(Htable, InsertReplaceGetAndDelete) {
  table_owner tab(64);
  htable *t = tab.t;
  htable_insert_str(t, "/a.txt", "hash-one");
  htable_insert(t, "flag", nullptr, 0);
  htable_insert(t, "bin", "a\0b", 3);
  EXPECT_EQ(value(t, "/a.txt"), "hash-one");
  EXPECT_EQ(value(t, "flag"), "true");  // no value reads as "true"
  EXPECT_EQ(value(t, "bin"), std::string("a\0b", 3));
  EXPECT_EQ(value(t, "missing"), "<none:0>");
  EXPECT_EQ(t->entries, 3);

  int32_t pool = t->values->length;
  htable_insert_str(t, "/a.txt", "hash-two");
  EXPECT_EQ(value(t, "/a.txt"), "hash-two");
  EXPECT_EQ(t->entries, 3);
  EXPECT_GT(t->values->length, pool);  // the old bytes stay in the pool

  EXPECT_EQ(htable_delete(t, "/a.txt"), 1);
  EXPECT_EQ(htable_delete(t, "/a.txt"), 0);
  EXPECT_EQ(value(t, "/a.txt"), "<none:0>");
  EXPECT_EQ(t->entries, 2);
  htable_insert(t, "flag", "v", 1);
  EXPECT_EQ(value(t, "flag"), "v");
}

// Deleted keys leave holes that do not end a search; the pools grow (and
// move) without losing what the slots point at.
TEST(Htable, KeysBehindAHoleAndGrowingPoolsStayReachable) {
  table_owner tab(1);  // one slot: every key probes it
  htable *t = tab.t;
  htable_insert_str(t, "first", "1");
  EXPECT_EQ(htable_insert_failable(t, "second", "2", 1), 1);
  EXPECT_EQ(htable_delete(t, "first"), 1);
  EXPECT_EQ(htable_insert_failable(t, "second", "2", 1), 0);
  EXPECT_EQ(value(t, "second"), "2");

  table_owner big(256);
  htable *b = big.t;
  for (int i = 0; i < 200; i++) {
    std::string k = "/folder/file" + std::to_string(i) + ".txt";
    ASSERT_EQ(htable_insert_failable(b, k.c_str(), k.c_str(), (int32_t)k.size()), 0) << i;
  }
  for (int i = 0; i < 200; i += 2)
    htable_delete(b, ("/folder/file" + std::to_string(i) + ".txt").c_str());
  for (int i = 1; i < 200; i += 2) {
    std::string k = "/folder/file" + std::to_string(i) + ".txt";
    EXPECT_EQ(value(b, k.c_str()), k);
  }
  EXPECT_EQ(b->entries, 100);
}

}  // namespace
