// The Lua library the workstation links is the 5.4.4 release from Debian's
// source package, with Debian's security fixes applied.
#include <string>

#include <gtest/gtest.h>

#include "lang/lua_api.h"

TEST(LuaBuild, IsTheExpectedRelease) { EXPECT_STREQ(LUA_RELEASE, "Lua 5.4.4"); }

TEST(LuaBuild, RunsCodeAndReportsErrorsAsCxxExceptionsSafely) {
  lua_State *L = luaL_newstate();
  ASSERT_NE(L, nullptr);
  luaL_openlibs(L);
  ASSERT_EQ(luaL_dostring(L, "return string.format('%d-%s', 6*7, 'ok')"), LUA_OK);
  EXPECT_STREQ(lua_tostring(L, -1), "42-ok");
  lua_settop(L, 0);
  ASSERT_NE(luaL_dostring(L, "error('boom')"), LUA_OK);
  EXPECT_NE(std::string(lua_tostring(L, -1)).find("boom"), std::string::npos);
  lua_close(L);
}
