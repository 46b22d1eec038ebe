// The udata record: creation from sizes, type names and text forms, the size
// limit, duplication, and the Lua globals userdata and vec.
#include "userdata/udata.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lang/lua_api.h"

namespace {

struct LuaFixture : ::testing::Test {
  lua_State *L = luaL_newstate();
  void SetUp() override {
    luaL_openlibs(L);
    lua_register(L, "userdata", lua54_userdata);
    lua_register(L, "vec", lua54_vec);
  }
  void TearDown() override { lua_close(L); }

  // Runs `return <expr>` and gives the record it returns (null when none).
  udata *eval(const std::string &expr) {
    lua_settop(L, 0);
    EXPECT_EQ(luaL_dostring(L, ("return " + expr).c_str()), LUA_OK) << lua_tostring(L, -1);
    return lua_gettop(L) ? to_udata(L, 1) : nullptr;
  }
  template <class T>
  std::vector<T> elements(const udata *ud) {
    std::vector<T> v(udata_count(ud));
    std::memcpy(v.data(), udata_elements(ud), v.size() * sizeof(T));
    return v;
  }
};

TEST(UdataRecord, HeaderLayoutAndTypeNames) {
  EXPECT_EQ(sizeof(udata), 16u);
  EXPECT_STREQ(get_utype_string(3), "u8");
  EXPECT_STREQ(get_utype_string(12), "i16");
  EXPECT_STREQ(get_utype_string(13), "i32");
  EXPECT_STREQ(get_utype_string(14), "i64");
  EXPECT_STREQ(get_utype_string(22), "f64");
  EXPECT_STREQ(get_utype_string(4), "?");
  EXPECT_STREQ(get_utype_string(23), "?");
  EXPECT_STREQ(get_utype_string(255), "?");
  struct {
    const char *name;
    uint8_t code;
  } cases[] = {
      {nullptr, 3}, {"", 3},    {"u8", 3},   {"i16", 12}, {"i32", 13},   {"i64", 14}, {"f64", 22},
      {"i8", 14},   {"u64", 3}, {"f32", 13}, {"u16", 12}, {"uint32", 3}, {"f", 22},
  };
  for (auto &c : cases) EXPECT_EQ(str_to_utype(c.name), c.code) << (c.name ? c.name : "(null)");
}

TEST_F(LuaFixture, SizesAndRefusals) {
  EXPECT_EQ(eval("userdata('u8', 0)"), nullptr);
  EXPECT_EQ(eval("userdata('u8', -3)"), nullptr);
  EXPECT_EQ(eval("userdata('u8', 4, 0)"), nullptr);
  udata *big = eval("userdata('u8', 4096, 4096)");
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(big->dims, 2);
  EXPECT_EQ(eval("userdata('u8', 4096, 4097)"), nullptr);
  EXPECT_NE(eval("userdata('f64', 2097152)"), nullptr);
  EXPECT_EQ(eval("userdata('f64', 2097153)"), nullptr);
  // A product that overflows 32 bits is still refused.
  EXPECT_EQ(eval("userdata('i64', 65536, 65536)"), nullptr);
  EXPECT_EQ(eval("userdata('u8', 2147483648)"), nullptr);  // negative as 32 bits
}

TEST_F(LuaFixture, SmallBlockIsRoundedAndZeroed) {
  udata *ud = eval("userdata('u8', 3)");
  ASSERT_NE(ud, nullptr);
  EXPECT_EQ(lua_rawlen(L, 1), 16u + 8u);
  EXPECT_EQ(ud->dims, 1);
  EXPECT_EQ(ud->height, 1u);
  for (int i = 0; i < 8; i++) EXPECT_EQ(udata_elements(ud)[i], 0);
}

TEST_F(LuaFixture, TypeNamesThroughTheGlobal) {
  struct {
    const char *expr;
    uint8_t code;
  } cases[] = {
      {"userdata('i8', 2)", 14},
      {"userdata('u64', 2)", 3},
      {"userdata('f32', 2)", 13},
      {"userdata(nil, 2)", 3},
  };
  for (auto &c : cases) {
    udata *ud = eval(c.expr);
    ASSERT_NE(ud, nullptr) << c.expr;
    EXPECT_EQ(ud->utype, c.code) << c.expr;
  }
}

TEST_F(LuaFixture, GfxAndMapTexts) {
  udata *ud = eval("userdata('[gfx]0201ab')");
  ASSERT_NE(ud, nullptr);
  EXPECT_EQ(ud->width, 2u);
  EXPECT_EQ(ud->height, 1u);
  EXPECT_EQ(ud->dims, 2);
  EXPECT_EQ((elements<uint8_t>(ud)), (std::vector<uint8_t>{10, 11}));

  ud = eval("userdata('[gfx]0202a')");
  ASSERT_NE(ud, nullptr);
  EXPECT_EQ((elements<uint8_t>(ud)), (std::vector<uint8_t>{10, 0, 0, 0}));

  // Fewer than 9 characters: an ordinary type name (u8) with the width from
  // argument 2.
  ud = eval("userdata('[gfx]08', 5)");
  ASSERT_NE(ud, nullptr);
  EXPECT_EQ(ud->utype, UTYPE_U8);
  EXPECT_EQ(ud->width, 5u);

  ud = eval("userdata('[map]0201ffff0001')");
  ASSERT_NE(ud, nullptr);
  EXPECT_EQ(ud->utype, UTYPE_I16);
  EXPECT_EQ((elements<int16_t>(ud)), (std::vector<int16_t>{-1, 1}));
}

TEST_F(LuaFixture, ShortGfxOrMapDataTextFillsNothing) {
  // Data texts shorter than their 9-character head: nothing is read past
  // their end (run under the sanitizers).
  for (const char *text : {"[gfx]", "[gfx]0", "[map]", "[map]01020"}) {
    std::string t(text);
    udata *ud = create_userdata(L, "i16", 2, 4, 4, t.c_str());
    ASSERT_NE(ud, nullptr);
    for (int16_t v : elements<int16_t>(ud)) EXPECT_EQ(v, 0) << text;
  }
}

TEST_F(LuaFixture, MapTextIntoU8StopsAtTheBlock) {
  // 4 u8 elements take an 8-byte block: at most four 16-bit cells.
  udata *ud = create_userdata(L, "u8", 1, 4, 1,
                              "[map]0000"
                              "0102030405060708090a0b0c");
  ASSERT_NE(ud, nullptr);
  const uint8_t *el = udata_elements(ud);
  uint8_t want[8] = {0x02, 0x01, 0x04, 0x03, 0x06, 0x05, 0x08, 0x07};
  EXPECT_EQ(std::memcmp(el, want, 8), 0);
}

TEST_F(LuaFixture, HexAndF64DataTexts) {
  udata *ud = eval("userdata('u8', 4, 'hex:0a0b')");
  ASSERT_NE(ud, nullptr);
  EXPECT_EQ((elements<uint8_t>(ud)), (std::vector<uint8_t>{10, 11, 0, 0}));

  ud = eval("userdata('u8', 8, 'ff00')");
  ASSERT_NE(ud, nullptr);
  EXPECT_EQ(ud->dims, 1);
  EXPECT_EQ((elements<uint8_t>(ud)), (std::vector<uint8_t>{255, 0, 0, 0, 0, 0, 0, 0}));

  ud = eval("userdata('i16', 2, 'ffff0001')");
  ASSERT_NE(ud, nullptr);
  EXPECT_EQ((elements<int16_t>(ud)), (std::vector<int16_t>{-1, 1}));

  ud = eval("userdata('i32', 2, 'ffffffff7fffffff')");
  ASSERT_NE(ud, nullptr);
  EXPECT_EQ((elements<int32_t>(ud)), (std::vector<int32_t>{-1, 0x7fffffff}));

  ud = eval("userdata('i64', 1, '8000000000000001')");
  ASSERT_NE(ud, nullptr);
  EXPECT_EQ((elements<int64_t>(ud)), (std::vector<int64_t>{INT64_MIN + 1}));

  struct {
    const char *text;
    std::vector<double> want;
  } f64[] = {
      {"1.5,2,3", {1.5, 2, 3}},  {"1,2)", {1, 2, 0}}, {"x,4", {0, 4}}, {"", {0, 0}},
      {" -2.5e1,\"7", {-25, 0}},
  };
  for (auto &c : f64) {
    udata *v = create_userdata(L, "f64", 1, int32_t(c.want.size()), 1, c.text);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(elements<double>(v), c.want) << c.text;
  }
}

TEST_F(LuaFixture, TwoDimensionsFromTheArgumentCount) {
  udata *ud = eval("userdata('u8', 8, 8)");
  ASSERT_NE(ud, nullptr);
  EXPECT_EQ(ud->dims, 2);
  EXPECT_EQ(ud->height, 8u);
  ud = eval("userdata('u8', 2, 2, '01020304')");
  ASSERT_NE(ud, nullptr);
  EXPECT_EQ(ud->dims, 2);
  EXPECT_EQ((elements<uint8_t>(ud)), (std::vector<uint8_t>{1, 2, 3, 4}));
}

TEST_F(LuaFixture, Vec) {
  EXPECT_EQ(eval("vec()"), nullptr);
  EXPECT_EQ(eval("vec('1', 2)"), nullptr);
  udata *ud = eval("vec(1, '2', nil)");
  ASSERT_NE(ud, nullptr);
  EXPECT_EQ(ud->utype, UTYPE_F64);
  EXPECT_EQ((elements<double>(ud)), (std::vector<double>{1, 2, 0}));
}

TEST_F(LuaFixture, MetatableFromTheGlobalAtCreation) {
  ASSERT_EQ(luaL_dostring(L, "USERDATA = {tag = 'm'}"), LUA_OK);
  eval("userdata('u8', 2)");
  ASSERT_TRUE(lua_getmetatable(L, 1));
  lua_getfield(L, -1, "tag");
  EXPECT_STREQ(lua_tostring(L, -1), "m");

  udata *dup = push_duplicate_userdata(L, to_udata(L, 1));
  EXPECT_TRUE(lua_getmetatable(L, -1));
  lua_pop(L, 1);
  EXPECT_NE(dup, to_udata(L, 1));

  ASSERT_EQ(luaL_dostring(L, "USERDATA = nil"), LUA_OK);
  eval("userdata('u8', 2)");
  EXPECT_FALSE(lua_getmetatable(L, 1));
}

TEST_F(LuaFixture, DuplicateCopiesHeaderAndBlock) {
  udata *ud = eval("userdata('i16', 3, 'fffe00010002')");
  ASSERT_NE(ud, nullptr);
  udata *dup = push_duplicate_userdata(L, ud);
  EXPECT_EQ(std::memcmp(dup, ud, sizeof(udata) + 8), 0);
}

TEST_F(LuaFixture, RecordCheckRefusesForeignUserdata) {
  lua_settop(L, 0);
  lua_newuserdatauv(L, 8, 0);  // shorter than a header
  EXPECT_EQ(to_udata(L, 1), nullptr);
  udata *fake = static_cast<udata *>(lua_newuserdatauv(L, 24, 0));
  std::memset(fake, 0, 24);
  fake->dims = 1;
  fake->utype = UTYPE_U8;
  fake->width = 100;  // claims more elements than it holds
  fake->height = 1;
  EXPECT_EQ(to_udata(L, 2), nullptr);
  lua_pushlightuserdata(L, fake);
  EXPECT_EQ(to_udata(L, 3), nullptr);
}

}  // namespace
