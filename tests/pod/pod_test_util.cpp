#include "tests/pod/pod_test_util.h"

#include "userdata/udata.h"
#include "pod/pod_lua.h"
#include "pod/pod_read.h"

void PodLua::SetUp() {
  L = luaL_newstate();
  luaL_openlibs(L);
  pod_register_lua(L);
  lua_register(L, "userdata", lua54_userdata);
  lua_register(L, "vec", lua54_vec);
}

void PodLua::TearDown() { lua_close(L); }

std::string PodLua::pod(const std::string &expr, int flags) {
  return run("return pod(" + expr + ", " + std::to_string(flags) + ")");
}

std::string PodLua::run(const std::string &chunk) {
  lua_settop(L, 0);
  if (luaL_dostring(L, chunk.c_str()) != LUA_OK) {
    ADD_FAILURE() << chunk << ": " << lua_tostring(L, -1);
    return "";
  }
  if (lua_gettop(L) == 0) return "";
  size_t n;
  const char *s = luaL_tolstring(L, 1, &n);
  return std::string(s, n);
}

int PodLua::read(const std::string &text) {
  lua_settop(L, 0);
  return destringify_object(L, text.data(), int64_t(text.size()));
}
