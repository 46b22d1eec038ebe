// printh / _printh.
#include "gfx/printh.h"

#include <cstdio>

int lua54__printh(lua_State *L) {
  if (lua_type(L, 1) != LUA_TSTRING) return 0;
  size_t n = 0;
  const char *s = lua_tolstring(L, 1, &n);
  std::fwrite(s, 1, n, stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  return 0;
}
