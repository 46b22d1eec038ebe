// Record methods as a process sees them: the USERDATA table, get/set and the
// index rules, blit and the clip, sort, convert, copy/take/clear, text form,
// peek/poke and mutate. Each case is Lua run in the root process, giving one
// text to compare.
#include <cmath>
#include <cstdlib>
#include <vector>

#include "userdata/ud_copy.h"
#include "userdata/ud_sort.h"
#include "userdata/udata.h"
#include "gfx/ud_metatable.h"
#include "tests/userdata/ud_lua_fixture.h"

namespace {

// The 59 keys of the record methods in the order they are stored.
TEST(ud_metatable, KeysInStoringOrder) {
  const char *const want[] = {
      "sort",       "convert", "copy",       "take",    "clear",    "__add",    "__sub",
      "__mul",      "__div",   "__idiv",     "__mod",   "__pow",    "__band",   "__bor",
      "__bxor",     "__shl",   "__shr",      "add",     "sub",      "mul",      "div",
      "idiv",       "mod",     "pow",        "band",    "bor",      "bxor",     "shl",
      "shr",        "max",     "min",        "abs",     "sgn",      "sgn0",     "__len",
      "__tostring", "__index", "__newindex", "set",     "get",      "blit",     "peek",
      "poke",       "width",   "height",     "attribs", "mutate",   "lerp",     "magnitude",
      "distance",   "dot",     "cross",      "matmul",  "matmul3d", "matmul2d", "transpose",
      "row",        "column",  "crc"};
  ASSERT_EQ(ud_metatable_row_count, std::size(want));
  for (size_t i = 0; i < std::size(want); i++) EXPECT_STREQ(ud_metatable_rows[i].key, want[i]) << i;
  // Each operator shares its function with the method of the same name.
  for (size_t i = 5; i < 17; i++) EXPECT_EQ(ud_metatable_rows[i].fn, ud_metatable_rows[i + 12].fn);
}

TEST_F(ud_methods, EveryProcessHasTheTable) {
  int64_t id = spawn("x = 1");
  ASSERT_NE(id, 0);
  lua_State *L = get_process(id)->L;
  lua_getglobal(L, "USERDATA");
  ASSERT_TRUE(lua_istable(L, -1));
  for (size_t i = 0; i < ud_metatable_row_count; i++) {
    lua_getfield(L, -1, ud_metatable_rows[i].key);
    EXPECT_EQ(lua_tocfunction(L, -1), ud_metatable_rows[i].fn) << ud_metatable_rows[i].key;
    lua_pop(L, 1);
  }
  lua_pop(L, 1);
  const lua_case cases[] = {
      {"local u = userdata('u8', 3, '010203') return L(u:get(0)) == L(get(u, 0))", "true"},
      {"local a, b = userdata('u8', 2), userdata('u8', 2) return a == b", "false"},
      {"return pcall(function() return -userdata('u8', 2) end)", "false"},
      {"local u = userdata('u8', 2) USERDATA.twice = function(v) return #v * 2 end "
       "return u:twice()",
       "4"},
      {"local v = vec(1, 2, 3) return tostring(v.len)", "nil"},
  };
  run(cases, std::size(cases));
}

// The four index rules: get floors, set truncates, __index reads a
// non-integral float as element 0, __newindex floors.
TEST_F(ud_methods, IndexRules) {
  const lua_case cases[] = {
      {"local u = userdata('i32', 3, '0000000a0000000b0000000c') return L(get(u, 1.9, 1))", "11"},
      {"local u = userdata('i32', 3) return L(get(u, -0.5, 1))", "0.0"},
      {"local u = userdata('i32', 3) set(u, 1.9, 7) set(u, -0.5, 8) return E(u)", "8,7,0"},
      {"local u = userdata('i32', 3, '0000000a0000000b0000000c') return L(u[1.5], u[2.0], u[-1])",
       "10,12,nil"},
      {"local u = userdata('i32', 3) u[1.9] = 5 u[-0.5] = 6 return E(u)", "0,5,0"},
      {"local v = vec(1, 2, 3) return L(v.x, v.y, v.z, v.w, v.a)", "1.0,2.0,3.0,nil,nil"},
      {"local u = userdata('i32', 3) u.x = 2.9 u.y = -2.5 u.q = 4 return E(u)", "2,-3,0"},
      {"local v = vec(0) v.x = 2.9 return E(v)", "2.9"},
      {"local u = userdata('i16', 1, 'ffff') return u[0]", "-1"},
  };
  run(cases, std::size(cases));
}

TEST_F(ud_methods, GetAndSet) {
  const lua_case cases[] = {
      {"local u = userdata('u8', 3, '010203') return L(get(u))", "1,2,3"},
      {"local u = userdata('u8', 3, '010203') return L(get(u, 1, 5))", "2,3,0,0,0"},
      {"local u = userdata('u8', 3, '010203') return L(get(u, 3))", "0.0"},
      {"local u = userdata('u8', 3, '010203') return select('#', get(u, 0, 0))", "0"},
      {"local u = userdata('u8', 3, '010203') return select('#', get(u, 0, -4))", "0"},
      {"local u = userdata('u8', 3, '010203') return L(get(u, 3, 0))", "0.0"},
      {"local u = userdata('u8', 3, '010203') return L(get(u, -1, -4))", "0.0"},
      {"local u = userdata('u8', 3, '010203') return L(get(u, '1'))", "2,3,0"},
      {"local u = userdata('u8', 4, 2, '0102030405060708') return L(get(u, 3, 0, 2))", "4,5"},
      {"local u = userdata('u8', 4, 2) return L(get(u, 4, 0))", "0.0"},
      {"local u = userdata('f64', 2) return L(get(u, 1, 2))", "0.0,0"},
      {"local u = userdata('u8', 512, 512) return select('#', get(u))", "0"},
      {"local u = userdata('u8', 2) set(u, 0, 300, -1) return E(u)", "44,255"},
      {"local u = userdata('i16', 1) set(u, 0, 32768) return E(u)", "-32768"},
      {"local u = userdata('f64', 2) set(u, 0, '2.5', true) return E(u)", "2.5,0.0"},
      {"local u = userdata('u8', 3) set(u, 2, 7, 8, 9) return E(u)", "0,0,7"},
      {"local u = userdata('u8', 3, '010203') set(u) set(u, 0) return E(u)", "1,2,3"},
      {"local u = userdata('u8', 2, 2) set(u, 1, 1, 9) return E(u)", "0,0,0,9"},
  };
  run(cases, std::size(cases));
}

TEST_F(ud_methods, Blit) {
  const lua_case cases[] = {
      {"local a = userdata('u8', 2, 2, '01020304') local b = userdata('u8', 3, 3) "
       "poke4(0x5528, 0x00010001) blit(a, b) return E(b)",
       "1,2,0,3,4,0,0,0,0"},
      {"local a = userdata('u8', 3, 1, '010203') local b = userdata('u8', 4, 1) "
       "blit(a, b, -1, 0, 0, 0) return E(b)",
       "0,1,2,0"},
      {"local a = userdata('u8', 3, 1, '010203') local b = userdata('i16', 4, 1) "
       "blit(a, b) return E(b)",
       "0,0,0,0"},
      // Within one record, a copy one right reads what was there before.
      {"local a = userdata('u8', 4, 2, '0102030405060708') a:blit(a, 0, 0, 1, 0, 3, 2) return E(a)",
       "1,1,2,3,5,5,6,7"},
      {"local a = userdata('u8', 2, 3, '010203040506') blit(a, a, 0, 0, 0, 1) return E(a)",
       "1,2,1,2,3,4"},
      // Offsets and sizes at the ends of the 32-bit range clip, never wrap.
      {"local a = userdata('u8', 3, 1, '010203') local b = userdata('u8', 4, 1) "
       "blit(a, b, 0, 0, -2147483648, 0, 2147483647, 1) "
       "blit(a, b, -2147483647, 0, 0, 0, 2147483647, 1) return E(b)",
       "0,0,0,0"},
      {"local a = userdata('u8', 3, 1, '010203') local b = userdata('u8', 4, 1) "
       "blit(a, b, 0, 0, 1, 0, 2147483647, 2147483647) return E(b)",
       "0,1,2,3"},
  };
  run(cases, std::size(cases));
}

// The draw target: blit(a) copies into it within its clip; blit(nil, b)
// copies from it; a target reshaped smaller by mutate keeps the clip inside.
TEST_F(ud_methods, BlitIntoTheDrawTarget) {
  root_eval("T = userdata('u8', 4, 4) S = userdata('u8', 4, 4, '" + std::string(32, '7') + "')");
  lua_getglobal(root->L, "T");
  root->draw_target = to_udata(root->L, -1);
  lua_pop(root->L, 1);
  // clip x 1..3, y 0..2 (right and bottom exclusive)
  EXPECT_EQ(root_eval("poke2(0x5528, 1) poke2(0x552a, 0) poke2(0x552c, 3) poke2(0x552e, 2) "
                      "blit(S) return E(T)"),
            "0,119,119,0,0,119,119,0,0,0,0,0,0,0,0,0");
  EXPECT_EQ(root_eval("local b = userdata('u8', 2, 1) blit(nil, b, 1, 0) return E(b)"), "119,119");
  // Into another record: the whole of it, whatever the clip, and the
  // target's clip as it was afterwards.
  target_clip_rect clip = root->target_clip;
  EXPECT_EQ(root_eval("local b = userdata('u8', 6, 6) blit(S, b) return L(b[0], b[21], b[4])"),
            "119,119,0");
  EXPECT_EQ(root->target_clip.left, clip.left);
  EXPECT_EQ(root->target_clip.right, clip.right);
  EXPECT_EQ(root->target_clip.top, clip.top);
  EXPECT_EQ(root->target_clip.bottom, clip.bottom);
  // The clip of a target made 2 x 2: a full clip word still writes only
  // inside its four elements.
  EXPECT_EQ(root_eval("T:clear() poke2(0x5528, 0) poke2(0x552c, 16) poke2(0x552e, 16) blit(S) "
                      "T:clear() return T:mutate('u8', 2, 2)"),
            "nil");
  EXPECT_EQ(root_eval("blit(S) return E(T)"), "119,119,119,119");
  const uint8_t *bytes = udata_elements(root->draw_target);
  for (int i = 4; i < 16; i++) EXPECT_EQ(bytes[i], 0) << i;
  EXPECT_LE(root->target_clip.right, 2);
  EXPECT_LE(root->target_clip.bottom, 2);
  root->draw_target = nullptr;
}

TEST_F(ud_methods, Sort) {
  const lua_case cases[] = {
      {"local u = userdata('i32', 3, '000000030000000100000002') u:sort() return E(u)", "1,2,3"},
      {"local u = userdata('i32', 3, '000000030000000100000002') u:sort(0, true) return E(u)",
       "3,2,1"},
      {"local u = userdata('i32', 3, '000000030000000100000002') u:sort(0, 0) return E(u)",
       "3,2,1"},
      {"local u = userdata('i32', 3, '000000030000000100000002') u:sort(0, nil) return E(u)",
       "1,2,3"},
      {"local u = userdata('u8', 3, 2, '090102030405') u:sort(2, true) return E(u)", "3,4,5,9,1,2"},
      {"local u = userdata('u8', 3, 2, '090102030405') return select('#', u:sort(3)) .. E(u)",
       "09,1,2,3,4,5"},
      {"local u = userdata('u8', 5, 1, '0504030201') return select('#', u:sort(1))", "0"},
      {"local u = userdata('u8', 2, 'c864') u:sort() return E(u)", "100,200"},
      {"local u = userdata('i16', 2, '0001ffff') u:sort() return E(u)", "-1,1"},
      {"return select('#', USERDATA.sort(5))", "0"},
  };
  run(cases, std::size(cases));
}

// The row comparators on their own: unsigned u8, signed i16, NaN equal to
// everything, the flags turning the order round, and the count.
TEST(ud_sort, Comparators) {
  uint8_t u[] = {200, 100};
  int16_t i[] = {-1, 1};
  double f[] = {std::nan(""), 1.0, 2.0};
  score_index = 0;
  score_val1 = score_valm1 = 0;
  num_compares = 0;
  EXPECT_EQ(compare_u8(&u[0], &u[1]), 1);
  EXPECT_EQ(compare_i16(&i[0], &i[1]), -1);
  EXPECT_EQ(compare_f64(&f[0], &f[1]), 0);
  EXPECT_EQ(compare_f64(&f[1], &f[0]), 0);
  EXPECT_EQ(compare_f64(&f[1], &f[2]), -1);
  score_val1 = score_valm1 = 1;
  EXPECT_EQ(compare_u8(&u[0], &u[1]), -1);
  EXPECT_EQ(compare_i16(&i[0], &i[1]), 1);
  EXPECT_EQ(compare_f64(&f[1], &f[1]), 0);
  EXPECT_EQ(num_compares, 8);
  // The key is element score_index of each row.
  int64_t rows[] = {5, 1, 3, 9};
  score_index = 1;
  score_val1 = score_valm1 = 0;
  EXPECT_EQ(compare_i64(&rows[0], &rows[2]), -1);
}

// Comparators that are no order at all (NaN keys everywhere) must still
// leave a permutation of the rows behind.
TEST_F(ud_methods, SortSurvivesNaN) {
  EXPECT_EQ(root_eval("local n = 4000 local u = userdata('f64', 2, n) "
                      "for i = 0, n - 1 do u[2*i] = (i % 3 == 0) and 0/0 or (i * 7919) % 1000 "
                      "u[2*i+1] = i end "
                      "local c = u:sort(0) local seen = {} local k = 0 "
                      "for i = 0, n - 1 do local r = u[2*i+1] if not seen[r] then k = k + 1 end "
                      "seen[r] = true end return (c > 0) and k"),
            "4000");
}

TEST_F(ud_methods, Convert) {
  const lua_case cases[] = {
      {"local i, p = userdata('u8', 4, '05070509'):convert('u8', true) return E(i) .. '|' .. E(p)",
       "0,1,0,2|5,7,9"},
      {"local i, p = vec(1.7, -1.7, 1.2):convert('u8', true) return E(i) .. '|' .. E(p)",
       "0,1,0|1.0,-1.0"},
      {"local u = userdata('i32', 300) for k = 0, 299 do u[k] = k end "
       "local i, p = u:convert('u8', true) return #p .. ',' .. i[255] .. ',' .. i[256] .. ',' .. "
       "i[299]",
       "256,255,255,255"},
      {"return select('#', userdata('u8', 2):convert('i16', true))", "1"},
      {"local u = userdata('u8', 2, '0102') local c = u:convert('u8') u[0] = 9 return E(c)", "1,2"},
      {"local c = vec(-0.5, 32768.5, 1.5):convert('i16') return E(c)", "-1,-32768,1"},
      {"local c = vec(-0.5, 0/0, 1e300):convert('i32') return E(c)", "-1,-2147483648,-2147483648"},
      {"local c = vec(-0.5, 0/0, 1e300):convert('i64') return E(c)",
       "-1,-9223372036854775808,-9223372036854775808"},
      {"local c = vec(-0.5, 255.9, 256, 0/0):convert('u8') return E(c)", "255,255,0,0"},
      {"local u = userdata('i64', 1) u[0] = (1 << 53) + 1 return string.format('%.0f', "
       "u:convert('f64')[0])",
       "9007199254740992"},
      {"local c = userdata('u8', 3, 2):convert('f64') return L(c:attribs())", "3,2,f64,2"},
      {"return select('#', userdata('u8', 4096, 1024):convert('f64'))", "0"},
      {"local c = userdata('u8', 4):convert('[gfx]0202') return L(c:attribs())", "2,2,u8,2"},
      {"return select('#', USERDATA.convert(3))", "0"},
  };
  run(cases, std::size(cases));
}

TEST_F(ud_methods, CopyTakeClear) {
  const lua_case cases[] = {
      {"local u = userdata('u8', 3, '010203') local c = u:copy() u[0] = 9 return E(c)", "1,2,3"},
      {"return E(userdata('u8', 3, '010203'):copy(3))", "3,3,3"},
      {"return E(userdata('u8', 3, '010203'):copy('x'))", "0,0,0"},
      // A number first: the record's own elements, not the number.
      {"return E(USERDATA.copy(5, userdata('u8', 2, '0102')))", "1,2"},
      {"local a, b = userdata('u8', 3), userdata('u8', 3, '040506') a:copy(b, true, 1, 0, 2) "
       "return E(a)",
       "5,6,0"},
      {"local a, d = userdata('u8', 3, '010203'), userdata('u8', 3) a:copy(nil, d) return E(d)",
       "1,2,3"},
      {"local a, d = userdata('u8', 3), userdata('u8', 4) return select('#', a:copy(nil, d))", "0"},
      {"local a, d = userdata('u8', 3), userdata('i16', 3) return select('#', a:copy(nil, d))",
       "0"},
      {"local a, b = userdata('u8', 3), userdata('i16', 3) return select('#', a:copy(b))", "0"},
      // Each element is stored before the next is read: a smear.
      {"local a = userdata('u8', 5, '0102030405') a:copy(a, true, 0, 1) return E(a)", "1,1,1,1,1"},
      {"local a = userdata('f64', 10) a:copy(1, true, 0, 0, 2, 0, 4, 3) return E(a)",
       "1.0,1.0,0.0,0.0,1.0,1.0,0.0,0.0,1.0,1.0"},
      {"local a = userdata('i32', 10) a:copy(1, true, 0, 0, 1, 0, 0, 5) return E(a)",
       "0,0,0,0,0,0,0,0,0,0"},
      {"local s, i = vec(10, 20, 30, 40), userdata('i32', 4, '00000003000000000000000900000001') "
       "return E(s:take(i))",
       "40.0,10.0,0.0,20.0"},
      {"local s, i = vec(10, 20, 30, 40), userdata('i32', 4, '00000003000000000000000900000001') "
       "return E(s:copy(i))",
       "40.0,10.0,0.0,20.0"},
      {"local s, i = userdata('u8', 8, '0102030405060708'), "
       "userdata('i32', 3, '000000000000000400000006') local t = s:take(i, nil, 0, 0, 2) "
       "return L(t:attribs()) .. ':' .. E(t)",
       "2,3,u8,2:1,2,5,6,7,8"},
      {"local s, i = userdata('u8', 8, '0102030405060708'), userdata('i32', 1, '00000006') "
       "return E(s:take(i, nil, 0, 0, 4))",
       "7,8,0,0"},
      {"local s, i = userdata('u8', 8, '0102030405060708'), userdata('i32', 1, 'fffffffe') "
       "return E(s:take(i, nil, 0, 0, 4))",
       "0,0,1,2"},
      {"local s, i = userdata('i16', 2), userdata('i32', 1) "
       "return select('#', s:take(i, userdata('u8', 2)))",
       "0"},
      {"local s, i = userdata('u8', 4, '01020304'), userdata('i32', 2, '0000000100000002') "
       "return E(s:take(i, true, 0, 0, 1, 0))",
       "1,2,3,4"},
      {"local s, i = userdata('u8', 4, '01020304'), userdata('i32', 2, '0000000100000002') "
       "return E(s:take(i, true, 5, 0, 1, 1, 1, -1))",
       "1,2,3,4"},
      {"local s, i = userdata('u8', 4, '01020304'), userdata('i32', 2, '0000000100000002') "
       "return E(s:take(i, nil, 0, 0, 1, 0))",
       "0,0"},
      {"local u = userdata('u8', 3, '010203') u:clear() return E(u)", "0,0,0"},
  };
  run(cases, std::size(cases));
}

// The scratch slots keep separate copies and grow past their first size.
TEST(ud_copy_dat, SlotsHoldCopies) {
  std::vector<double> a(5000), b = {1.5, -2.5};
  for (size_t i = 0; i < a.size(); i++) a[i] = double(i);
  double *ca = copy_dat(0, a.data(), int64_t(a.size()));
  double *cb = copy_dat(1, b.data(), 2);
  ASSERT_NE(ca, nullptr);
  ASSERT_NE(cb, nullptr);
  a[4999] = -1;
  EXPECT_EQ(ca[4999], 4999.0);
  EXPECT_EQ(cb[1], -2.5);
  EXPECT_EQ(copy_dat(2, b.data(), 2), nullptr);
}

// Operators written in Lua reach the USERDATA entries with their operands
// in source order, whatever form (immediate, constant, swapped) the compiler
// picks for the expression.
TEST_F(ud_methods, OperatorsKeepSourceOrder) {
  root_eval(
      "local function T(x) return type(x) == 'userdata' and 'a' or tostring(x) end "
      "for op, sign in pairs({__add = '+', __sub = '-', __shl = '<<', __shr = '>>', "
      "__band = '&'}) do USERDATA[op] = function(x, y) return T(x) .. sign .. T(y) end end "
      "A = userdata('u8', 2)");
  const lua_case cases[] = {
      {"local a = A return a - 2", "a-2"},     {"local a = A return 2 - a", "2-a"},
      {"local a = A return a - 300", "a-300"}, {"local a = A return 2.5 - a", "2.5-a"},
      {"local v = A return v << 2", "a<<2"},   {"local v = A return 2 << v", "2<<a"},
      {"local v = A return v >> 3", "a>>3"},   {"local v = A return 12 & v", "12&a"},
      {"local v = A return v & 12", "a&12"},   {"local a = A return \"5\" + a", "5+a"},
      {"local a = A return a + a", "a+a"},
  };
  run(cases, std::size(cases));
}

TEST_F(ud_methods, ChargesByOperation) {
  root_eval(
      "U = userdata('u8', 100) F = userdata('f64', 100) I = userdata('i64', 100) "
      "F10 = userdata('f64', 10) U10 = userdata('u8', 10) X = userdata('i32', 48) "
      "F1000 = userdata('f64', 1000) U1000 = userdata('u8', 1000)");
  struct {
    const char *call;
    int32_t want;
  } cases[] = {
      {"get, U", 50},  // half a cycle a value
      {"get, U, 0, 3", 1},
      {"get, U, 0, 0", 1},
      {"set, U, 0, 1, 2, 3", 0},
      {"USERDATA.convert, U, 'u8'", 0},
      {"USERDATA.convert, U, 'i16'", 50},
      {"USERDATA.convert, U, 'i64'", 100},
      {"USERDATA.convert, I, 'i32'", 100},
      {"USERDATA.convert, U, 'f64'", 200},
      {"USERDATA.convert, F, 'i32'", 200},
      {"USERDATA.convert, U, 'u8', true", 100},
      {"USERDATA.take, F10, X", 48 / 12 + 48 / 6},
      {"USERDATA.take, U10, X", 48 / 24 + 48 / 6},
      {"USERDATA.take, F10, X, nil, 0, 0, 4", 4 * 48 / 12 + 48 / 6},
      // An index offset past the list still charges its count of rows.
      {"USERDATA.take, U10, X, U10, 50", 48 / 24 + 48 / 6},
      {"USERDATA.take, U10, X, U10, 48", 1},
      // Host time: 2 ns a byte to or from memory, in cycles of 60 ns.
      {"USERDATA.peek, U, 0x80000", 4},
      {"USERDATA.poke, U, 0x80000, 0, 7", 1},
      {"USERDATA.copy, F1000, 1, true", 1000 / 12},
      {"USERDATA.copy, U1000", (1000 >> 7) + 1000 / 24},
      // Element-wise: elements / D + spans / 2, and (w x h) >> 7 for a copy.
      {"USERDATA.add, F1000, 1, true", 1000 / 12},
      {"USERDATA.add, F1000, 1", (1000 >> 7) + 1000 / 12},
      {"USERDATA.add, U1000, 1, true, 0, 0, 100, 0, 100, 10", 1000 / 24 + 10 / 2},
      // Swapped (spans > length): the outer count is the length.
      {"USERDATA.add, U1000, 1, true, 0, 0, 10, 0, 10, 100", 1000 / 24 + 10 / 2},
      // An outer count below 1 lowers the charge: -3 spans or a length of -5
      // (swapped) charge nothing at all.
      {"USERDATA.add, U1000, 1, true, 0, 0, 5, 0, 1, -3", 0},
      {"USERDATA.add, U1000, 1, true, 0, 0, -5", 0},
      {"USERDATA.mul, I, 2, true", 100 / 8},
      {"USERDATA.div, F, 2, true", 100 / 4},
      {"USERDATA.idiv, I, 2, true", 100 / 2},
      {"USERDATA.pow, U, 3, true", 100 / 2},
      {"USERDATA.pow, F, 3, true", 100},
      {"USERDATA.band, U1000, 1", (1000 >> 7) + 1000 / 24},
      {"USERDATA.shl, I, 1, true", 100 / 12},
      {"USERDATA.band, F1000, 1", 0},  // refused before anything is made
      {"USERDATA.sgn, F1000, nil, true", 1000 / 2},
      {"USERDATA.max, U, U, true", 100 / 4},
      // Vectors and matrices.
      {"USERDATA.magnitude, F", (100 >> 3) + 2},
      {"USERDATA.dot, F, F10", 10 / 8 + 1},
      {"USERDATA.distance, F, F", 100 / 8 + 2},
      {"USERDATA.row, U1000, 0", 1000 >> 2},
      // Charged their host time, in cycles of 60 ns: 30 ns an element
      // transposed, 1 ns a byte checksummed, 10 ns a run and 6 ns an element
      // interpolated.
      {"USERDATA.transpose, F", 100 * 30 / 60},
      {"USERDATA.crc, U1000", (1000 + 59) / 60},
      {"USERDATA.crc, F", (800 + 59) / 60},
      {"USERDATA.lerp, U1000", 1 + (998 * 6 + 59) / 60},
      {"USERDATA.lerp, U1000, 0, 9, 1, 100, 10", (100 * 10 + 59) / 60 + 100 * 8 * 6 / 60},
  };
  for (const auto &c : cases) EXPECT_EQ(charged(*this, c.call).cycles, c.want) << c.call;
  // sort: (row bytes / 128 + 1) x (comparisons x 3 / 4).
  root_eval(
      "S1 = userdata('u8', 300) S2 = userdata('f64', 20, 50) "
      "for i = 0, 299 do S1[i] = (i * 37) % 256 end "
      "for i = 0, 999 do S2[i] = (i * 7919) % 1000 end");
  charge_result s1 = charged(*this, "USERDATA.sort, S1");
  EXPECT_GT(s1.first, 299);
  EXPECT_EQ(s1.cycles, s1.first * 3 / 4);
  charge_result s2 = charged(*this, "USERDATA.sort, S2, 3, true");
  EXPECT_GT(s2.first, 49);
  EXPECT_EQ(s2.cycles, 2 * (s2.first * 3 / 4));
  // The scratch copies: n / 256.
  std::vector<double> v(5000);
  int32_t before = cpu_budget.cycles;
  copy_dat(0, v.data(), 5000);
  EXPECT_EQ(cpu_budget.cycles - before, 5000 >> 8);
}

TEST_F(ud_methods, Charges) {
  auto charge = [&](const char *code) {
    root_eval(std::string("U = ") + code);
    int32_t before = cpu_budget.cycles;
    root_eval("U:clear()");
    return cpu_budget.cycles - before;
  };
  int32_t small = charge("userdata('u8', 3)");
  int32_t big = charge("userdata('u8', 4096, 4096)");
  EXPECT_EQ(big - small, 262144 - 1);
}

TEST_F(ud_methods, TextForm) {
  const lua_case cases[] = {
      {"return tostring(vec(1, 2))", "(1, 2)"},
      {"return tostring(vec(0.1, 1/3, -2.5e-300, 4, 5))",
       "(0.1, 0.33333333333333, -2.5e-300, 4, 5)"},
      {"return tostring(userdata('f64', 2, 10))", "(0, 0)"},
      {"local u = userdata('f64', 3, 4) for i = 0, 11 do u[i] = i end return tostring(u)",
       "(0, 1, 2),\n(3, 4, 5),\n(6, 7, 8),\n(9, 10, 11)"},
      {"return tostring(vec(1)):match('^userdata: 0x%x+$') ~= nil", "true"},
      {"return tostring(userdata('u8', 2)):match('^userdata: 0x%x+$') ~= nil", "true"},
  };
  run(cases, std::size(cases));
  // The f64 text read back with strtod gives the elements to 14 digits.
  std::string text = root_eval("return tostring(vec(3.14159265358979, -1e-7, 12345678.5))");
  const char *s = text.c_str() + 1;
  double want[] = {3.14159265358979, -1e-7, 12345678.5};
  for (double w : want) {
    char *end = nullptr;
    double v = std::strtod(s, &end);
    ASSERT_NE(end, s);
    EXPECT_NEAR(v, w, std::fabs(w) * 1e-13);
    s = end + 2;
  }
}

TEST_F(ud_methods, PeekPokeAndShape) {
  const lua_case cases[] = {
      {"local u = userdata('u8', 16) for i = 0, 15 do poke(0x80000 + i, i + 1) end "
       "u:peek(0x80000, 10, 100) return E(u)",
       "0,0,0,0,0,0,0,0,0,0,1,2,3,4,5,6"},
      {"local u = userdata('i16', 2, 'ffff0102') u:poke(0x80ffe) return peek2(0x80ffe) .. ',' .. "
       "peek2(0x81000)",
       "-1,258"},
      {"local u = userdata('i32', 2) poke4(0x9000, -5) u:peek(0x9000, -3, 1) return E(u)", "-5,0"},
      {"return select('#', vec(1):peek(0))", "0"},
      {"local u = userdata('u8', 3, 2) return L(#u, u:width(), u:height(), u:attribs())",
       "6,3,2,3,2,u8,2"},
      {"return L(userdata('u8', 3):height())", "nil"},
      {"local u = userdata('u8', 16, 16) return L(u:mutate('i32'), u:attribs())", "nil,4,16,i32,2"},
      {"return userdata('u8', 16, 16):mutate('f64')",
       "can not mutate between integer and float data types"},
      {"return userdata('u8', 16, 16):mutate('u8', 300)", "new size is larger than old size"},
      {"local u = userdata('u8', 16, 16) u:mutate('u8', 64, 4) return L(u:attribs())", "64,4,u8,2"},
      {"local u = userdata('u8', 16, 16) u:mutate('u8', 256) return L(u:attribs())", "256,1,u8,1"},
      {"local u = userdata('u8', 16, 16) u:mutate('u8', '64', '4') return L(u:attribs())",
       "64,4,u8,2"},
      {"return userdata('u8', 16, 16):mutate('u8', 65536, 65536)",
       "new size is larger than old size"},
      {"return userdata('u8', 2):mutate('i64')", "new size is larger than old size"},
      {"local u = userdata('u8', 8) u:mutate('u8', nil, 2) return L(u:attribs())", "8,1,u8,1"},
  };
  run(cases, std::size(cases));
}

}  // namespace
