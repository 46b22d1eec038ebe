// convert, copy, take and sort (golden/ops.txt, written by make_golden.py),
// and the element-wise, vector and matrix operations and crc
// (golden/elementwise.txt, written by make_golden_elementwise.py) against
// numpy's and zlib's results on the same inputs.
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "lang/lua_api.h"
#include "userdata/udata.h"
#include "gfx/ud_metatable.h"

namespace {

std::string hex_of(const udata *ud) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  const uint8_t *p = udata_elements(ud);
  for (uint64_t i = 0; i < udata_bytes(ud); i++) s += {digits[p[i] >> 4], digits[p[i] & 15]};
  return s;
}

// A data text as Lua source; "-" is the empty text.
std::string lua_text(const std::string &t) { return "'" + (t == "-" ? "" : t) + "'"; }

std::ifstream golden(const char *name) {
  return std::ifstream(std::string(std::getenv("KVD_SOURCE_DIR")) + "/tests/userdata/golden/" +
                       name);
}

lua_State *record_state() {
  lua_State *L = luaL_newstate();
  luaL_openlibs(L);
  lua_register(L, "userdata", lua54_userdata);
  lua_register(L, "vec", lua54_vec);
  add_userdata_metatable_functions(L);
  return L;
}

TEST(OpsGolden, MatchNumpy) {
  std::ifstream in = golden("ops.txt");
  ASSERT_TRUE(in.good());
  lua_State *L = record_state();
  std::string line;
  int cases = 0;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string op, code, expected;
    int w = 0, h = 0;
    f >> op;
    if (op == "convert") {
      std::string src, dst, n, text;
      f >> src >> dst >> n >> text >> expected;
      code = "return userdata('" + src + "', " + n + ", " + lua_text(text) + "):convert('" + dst +
             "')";
    } else if (op == "copy") {
      std::string t, na, nb, at, bt, p[6];
      f >> t >> na >> nb >> at >> bt;
      for (auto &x : p) f >> x;
      f >> expected;
      code = "local a = userdata('" + t + "', " + na + ", " + lua_text(at) + ") ";
      code += "local b = userdata('" + t + "', " + nb + ", " + lua_text(bt) + ") ";
      code += "return a:copy(b, true, " + p[0] + ", " + p[1] + ", " + p[2] + ", " + p[3] + ", " +
              p[4] + ", " + p[5] + ")";
    } else if (op == "take") {
      std::string t, ns, st, ni, it, span;
      f >> t >> ns >> st >> ni >> it >> span >> w >> h >> expected;
      code = "local i = userdata('i32', " + ni + ", " + lua_text(it) + ") ";
      code += "return userdata('" + t + "', " + ns + ", " + lua_text(st) + "):take(i, nil, 0, 0, " +
              span + ")";
    } else if (op == "sort") {
      std::string t, sw, sh, text, col, desc;
      f >> t >> sw >> sh >> text >> col >> desc >> expected;
      code = "local a = userdata('" + t + "', " + sw + ", " + sh + ", " + lua_text(text) + ") ";
      code += "a:sort(" + col + (desc == "1" ? ", true" : "") + ") return a";
    } else {
      continue;
    }
    lua_settop(L, 0);
    ASSERT_EQ(luaL_dostring(L, code.c_str()), LUA_OK) << lua_tostring(L, -1);
    const udata *ud = to_udata(L, 1);
    ASSERT_NE(ud, nullptr) << line.substr(0, 60);
    EXPECT_EQ(hex_of(ud), expected) << code.substr(0, 200);
    if (w) {
      EXPECT_EQ(std::to_string(ud->width) + "x" + std::to_string(ud->height),
                std::to_string(w) + "x" + std::to_string(h));
    }
    cases++;
  }
  EXPECT_EQ(cases, 75);
  lua_close(L);
}

// A record made from a data text, as Lua source.
std::string record(const std::string &type, const std::string &n, const std::string &text) {
  return "userdata('" + type + "', " + n + ", " + lua_text(text) + ")";
}

TEST(OpsGolden, ElementwiseMatchNumpy) {
  std::ifstream in = golden("elementwise.txt");
  ASSERT_TRUE(in.good());
  lua_State *L = record_state();
  std::string line;
  int cases = 0;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string kind, code, expected;
    f >> kind;
    if (kind == "ew") {
      std::string op, t, form, na, nb, at, bt, scalar, p[6];
      f >> op >> t >> form >> na >> nb >> at >> bt >> scalar;
      for (auto &x : p) f >> x;
      f >> expected;
      std::string walk = ", nil, " + p[0] + ", " + p[1] + ", " + p[2] + ", " + p[3] + ", " + p[4] +
                         ", " + p[5] + ")";
      std::string a = record(t, na, at);
      if (form == "ab")
        code = "return " + a + ":" + op + "(" + record(t, nb, bt) + walk;
      else if (form == "as")
        code = "return " + a + ":" + op + "(" + scalar + walk;
      else if (form == "sa")
        code = "return USERDATA." + op + "(" + scalar + ", " + a + walk;
      else
        code = "return " + a + ":" + op + "(nil" + walk;
    } else if (kind == "crc") {
      std::string t, n, text;
      f >> t >> n >> text >> expected;
      code = "return " + record(t, n, text) + ":crc()";
      lua_settop(L, 0);
      ASSERT_EQ(luaL_dostring(L, code.c_str()), LUA_OK) << lua_tostring(L, -1);
      EXPECT_EQ(std::to_string(lua_tointeger(L, 1)), expected) << code.substr(0, 200);
      cases++;
      continue;
    } else if (kind == "mat") {
      size_t cut = line.rfind(' ');
      code = line.substr(4, cut - 4);
      expected = line.substr(cut + 1);
    } else {
      continue;
    }
    lua_settop(L, 0);
    ASSERT_EQ(luaL_dostring(L, code.c_str()), LUA_OK) << lua_tostring(L, -1);
    const udata *ud = to_udata(L, 1);
    ASSERT_NE(ud, nullptr) << code.substr(0, 200);
    EXPECT_EQ(hex_of(ud), expected) << code.substr(0, 300);
    cases++;
  }
  EXPECT_EQ(cases, 812);
  lua_close(L);
}

}  // namespace
