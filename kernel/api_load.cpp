// The workstation's `load`: the base library's load, compiling text only.
#include <cstring>

#include "kernel/api.h"

static constexpr int reserved_slot = 5;  // keeps the reader's last piece alive

static const char *generic_reader(lua_State *L, void *, size_t *size) {
  luaL_checkstack(L, 2, "too many nested functions");
  lua_pushvalue(L, 1);
  lua_call(L, 0, 1);
  if (lua_isnil(L, -1)) {
    lua_pop(L, 1);
    *size = 0;
    return nullptr;
  }
  if (!lua_isstring(L, -1)) luaL_error(L, "reader function must return a string");
  lua_replace(L, reserved_slot);
  return lua_tolstring(L, reserved_slot, size);
}

int lua54_load(lua_State *L) {
  size_t len = 0;
  const char *s = lua_tolstring(L, 1, &len);
  // Precompiled chunks are never loaded: they could break the interpreter's
  // invariants. A mode without 't' therefore loads nothing.
  const char *mode = std::strchr(luaL_optstring(L, 3, "bt"), 't') ? "t" : "";
  int env = !lua_isnone(L, 4) ? 4 : 0;
  int status;
  if (s) {
    const char *chunkname = luaL_optstring(L, 2, s);
    status = luaL_loadbufferx(L, s, len, chunkname, mode);
  } else {
    const char *chunkname = luaL_optstring(L, 2, "=(load)");
    luaL_checktype(L, 1, LUA_TFUNCTION);
    lua_settop(L, reserved_slot);
    status = lua_load(L, generic_reader, nullptr, chunkname, mode);
  }
  if (status != LUA_OK) {
    lua_pushnil(L);
    lua_insert(L, -2);
    return 2;
  }
  if (env != 0) {
    lua_pushvalue(L, env);
    if (!lua_setupvalue(L, -2, 1)) lua_pop(L, 1);
  }
  return 1;
}
