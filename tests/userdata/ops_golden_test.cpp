// convert, copy, take and sort against numpy's results on the same inputs
// (golden/ops.txt, written by make_golden.py).
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "lang/lua_api.h"
#include "userdata/ud_metatable.h"
#include "userdata/udata.h"

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

TEST(OpsGolden, MatchNumpy) {
  std::ifstream in(std::string(std::getenv("KVD_SOURCE_DIR")) + "/tests/userdata/golden/ops.txt");
  ASSERT_TRUE(in.good());
  lua_State *L = luaL_newstate();
  luaL_openlibs(L);
  lua_register(L, "userdata", lua54_userdata);
  add_userdata_metatable_functions(L);
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

}  // namespace
