// Helper of the Python checker of the pod binary forms.
//   pod_forms_tool write DIR   writes NAME.f<flags> (pod text with those
//                              flags) for a set of values
//   pod_forms_tool read FILE   prints the flags-0 pod text of the value read
//                              from FILE, or FAIL
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "lang/lua_api.h"
#include "userdata/udata.h"
#include "pod/pod_lua.h"
#include "pod/pod_read.h"

namespace {

const char *const values[][2] = {
    {"empty", "''"},
    {"long", "string.rep('ab', 5000)"},
    {"bytes",
     "(function() local t = {} for i = 0, 255 do t[#t + 1] = string.char(i) end return "
     "table.concat(t) end)()"},
    {"event", "{event='keydown', scancode=4, list={1, 2, 3}, s='\\0\\1\\2 hi]]', [1.5]=true}"},
    {"rows",
     "(function() local t = {} for i = 1, 3000 do t[i] = {i, 'v' .. i, i * 0.5, ('\\200'):rep(i % "
     "7)} end "
     "return t end)()"},
};
const int flag_sets[] = {0, 2, 4, 6, 32, 34, 38};

std::string call_pod(lua_State *L, const char *expr, int flags) {
  std::string chunk = std::string("return pod(") + expr + ", " + std::to_string(flags) + ")";
  if (luaL_dostring(L, chunk.c_str()) != LUA_OK) return "";
  size_t n;
  const char *s = lua_tolstring(L, -1, &n);
  std::string out(s, n);
  lua_settop(L, 0);
  return out;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) return 2;
  lua_State *L = luaL_newstate();
  luaL_openlibs(L);
  pod_register_lua(L);
  lua_register(L, "userdata", lua54_userdata);
  int rc = 0;
  if (std::strcmp(argv[1], "write") == 0) {
    for (auto &v : values)
      for (int flags : flag_sets) {
        std::string path = std::string(argv[2]) + "/" + v[0] + ".f" + std::to_string(flags);
        std::ofstream(path, std::ios::binary) << call_pod(L, v[1], flags);
      }
  } else {
    std::ifstream f(argv[2], std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (destringify_object(L, text.data(), int64_t(text.size())) == 0) {
      std::fputs("FAIL", stdout);
      rc = 1;
    } else {
      lua_setglobal(L, "v");
      std::string out = call_pod(L, "v", 0);
      std::fwrite(out.data(), 1, out.size(), stdout);
    }
  }
  lua_close(L);
  return rc;
}
