// List helpers for Lua sequences: add, del, deli and count. add and deli
// check their table as the standard table library does and may raise Lua
// errors; del and count quietly do nothing without a table.
#include "base/cpu_budget.h"
#include "lang/args.h"
#include "kernel/api.h"

// The standard table library's check of a table argument that is read,
// written and measured: a table, or a value whose metatable has __index,
// __newindex and __len; otherwise the usual "table expected" error. Returns
// its length (__len honoured).
static lua_Integer checked_list_length(lua_State *L) {
  if (lua_type(L, 1) != LUA_TTABLE) {
    bool ok = false;
    if (lua_getmetatable(L, 1)) {
      ok = true;
      for (const char *field : {"__index", "__newindex", "__len"}) {
        ok = ok && lua_getfield(L, -1, field) != LUA_TNIL;
        lua_pop(L, 1);
      }
      lua_pop(L, 1);
    }
    if (!ok) luaL_checktype(L, 1, LUA_TTABLE);
  }
  return luaL_len(L, 1);
}

// A loop over n elements that would take the slice past the overrun bound
// fails before it starts, as the table library's moves do.
static void check_loop_bound(lua_State *L, lua_Integer n) {
  if (cpu_loop_overruns(n)) luaL_error(L, "%s", CPU_OVERRUN_MESSAGE);
}

int lua54_add(lua_State *L) {
  lua_Integer n = checked_list_length(L);
  int args = lua_gettop(L);
  if (args == 1) return 0;
  lua_Integer end = lua_Integer(lua_Unsigned(n) + 1u);  // wraps as the table library's does
  lua_Integer pos = end;
  if (args == 3) {
    if (!lua_isnil(L, 3)) pos = kvd_intp(L, 3, 0);
    lua_settop(L, 2);
    luaL_argcheck(L, pos >= 1 && pos <= end, 3, "position out of bounds");
    check_loop_bound(L, end - pos);
    for (lua_Integer k = n; k >= pos; k--) {
      lua_geti(L, 1, k);
      lua_seti(L, 1, k + 1);
    }
    spend_cpu(end - pos);
  } else if (args > 3) {
    return luaL_error(L, "wrong number of arguments to 'insert'");
  }
  lua_pushvalue(L, 2);
  lua_seti(L, 1, pos);
  lua_pushvalue(L, 2);
  return 1;
}

int lua54_deli(lua_State *L) {
  lua_Integer n = checked_list_length(L);
  lua_Integer index = lua_gettop(L) >= 2 ? kvd_intp(L, 2, 0) : n;
  if (index < 1 || index > n) return 0;
  check_loop_bound(L, n - index);
  lua_geti(L, 1, index);
  spend_cpu(n - index);
  for (lua_Integer k = index; k < n; k++) {
    lua_geti(L, 1, k + 1);
    lua_seti(L, 1, k);
  }
  lua_pushnil(L);
  lua_seti(L, 1, n);
  return 1;
}

int lua54_del(lua_State *L) {
  if (lua_type(L, 1) != LUA_TTABLE || lua_gettop(L) < 2) return 0;
  lua_settop(L, 2);
  lua_Integer n = luaL_len(L, 1);
  check_loop_bound(L, n);
  lua_Integer found = 0;
  for (lua_Integer k = 1; k <= n && !found; k++) {
    lua_rawgeti(L, 1, k);
    if (lua_compare(L, -1, 2, LUA_OPEQ)) found = k;
    lua_pop(L, 1);
  }
  spend_cpu(n);
  if (!found) return 0;
  lua_rawgeti(L, 1, found);
  for (lua_Integer j = found; j < n; j++) {
    lua_rawgeti(L, 1, j + 1);
    lua_rawseti(L, 1, j);
  }
  lua_pushnil(L);
  lua_rawseti(L, 1, n);
  return 1;
}

int lua54_count(lua_State *L) {
  if (lua_type(L, 1) != LUA_TTABLE) return 0;
  lua_Integer n = luaL_len(L, 1);
  if (lua_gettop(L) < 2) {
    spend_cpu(1);
    lua_pushinteger(L, int32_t(n));
    return 1;
  }
  lua_settop(L, 2);
  check_loop_bound(L, n);
  int32_t matches = 0;
  for (lua_Integer k = 1; k <= n; k++) {
    lua_rawgeti(L, 1, k);
    if (lua_compare(L, -1, 2, LUA_OPEQ)) matches++;
    lua_pop(L, 1);
  }
  spend_cpu(n);
  lua_pushinteger(L, matches);
  return 1;
}
