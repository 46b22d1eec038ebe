#include "lang/libset.h"

static_assert(LUA_REGISTRYINDEX == -101000, "the registry index follows LUAI_MAXSTACK");

int lang_tonum(lua_State *L) {
  switch (lua_type(L, 1)) {
    case LUA_TNUMBER:
      lua_settop(L, 1);
      return 1;
    case LUA_TBOOLEAN:
      lua_pushinteger(L, lua_toboolean(L, 1));
      return 1;
    case LUA_TSTRING: {
      size_t len;
      const char *s = lua_tolstring(L, 1, &len);
      // The whole string must be the numeral (no embedded zero ends it early).
      if (lua_stringtonumber(L, s) == len + 1) return 1;
      return 0;
    }
    default:
      return 0;
  }
}

namespace {

struct lib_entry {
  const char *name;
  lua_CFunction open;
  const char *removed[5];  // fields taken out of the opened library
};

constexpr lib_entry libset[] = {
    {LUA_GNAME, luaopen_base, {"dofile", "loadfile", "load", "xpcall", nullptr}},
    {LUA_COLIBNAME, luaopen_coroutine, {nullptr}},
    {LUA_TABLIBNAME, luaopen_table, {"sort", nullptr}},
    {LUA_STRLIBNAME, luaopen_string, {"dump", nullptr}},
    {LUA_MATHLIBNAME, luaopen_math, {nullptr}},
    {LUA_UTF8LIBNAME, luaopen_utf8, {nullptr}},
    {LUA_DBLIBNAME, luaopen_debug, {"setcstacklimit", nullptr}},
};

}  // namespace

void lang_openlibs(lua_State *L) {
  for (const lib_entry &lib : libset) {
    luaL_requiref(L, lib.name, lib.open, 1);
    for (const char *const *f = lib.removed; *f; f++) {
      lua_pushnil(L);
      lua_setfield(L, -2, *f);
    }
    if (lib.open == luaopen_base) {
      lua_pushcfunction(L, lang_tonum);
      lua_setfield(L, -2, "tonum");
    }
    lua_pop(L, 1);
  }
}
