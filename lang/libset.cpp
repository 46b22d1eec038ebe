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
  const char *removed[5];  // fields of the library left out
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
    // A left-out field keeps whatever the table held before the library
    // opened: the base library opens into the globals, where the API may
    // already have put its own function of that name.
    int before = lua_gettop(L);
    lua_getglobal(L, lib.name);
    for (const char *const *f = lib.removed; *f; f++) {
      if (lua_istable(L, before + 1))
        lua_getfield(L, before + 1, *f);
      else if (lib.open == luaopen_base)
        lua_getglobal(L, *f);
      else
        lua_pushnil(L);
    }
    luaL_requiref(L, lib.name, lib.open, 1);
    int n = 0;
    for (const char *const *f = lib.removed; *f; f++, n++) {
      lua_pushvalue(L, before + 2 + n);
      lua_setfield(L, -2, *f);
    }
    lua_replace(L, before + 1);
    lua_settop(L, before + 1);
    if (lib.open == luaopen_base) {
      lua_pushcfunction(L, lang_tonum);
      lua_setfield(L, -2, "tonum");
    }
    lua_pop(L, 1);
  }
}
