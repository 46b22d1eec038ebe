// The keep-alive table of a process's state, stored in its registry under
// the address of `keep_key`.
#include "kernel/keep_alive.h"

#include <cstring>

#include "machine/process.h"

static const char keep_key = 0;

// Pushes the table, creating it when absent.
static void push_keep_table(lua_State *L) {
  if (lua_rawgetp(L, LUA_REGISTRYINDEX, &keep_key) == LUA_TTABLE) return;
  lua_pop(L, 1);
  lua_newtable(L);
  lua_pushvalue(L, -1);
  lua_rawsetp(L, LUA_REGISTRYINDEX, &keep_key);
}

void keep_alive_set(lua_State *L, int64_t slot, int index) {
  index = index == 0 ? 0 : lua_absindex(L, index);
  push_keep_table(L);
  if (index == 0)
    lua_pushnil(L);
  else
    lua_pushvalue(L, index);
  lua_rawseti(L, -2, slot);  // storing nil never allocates
  lua_pop(L, 1);
}

void keep_alive_push(lua_State *L, int64_t slot) {
  push_keep_table(L);
  lua_rawgeti(L, -1, slot);
  lua_remove(L, -2);
}

void keep_alive_forget(proc *p) {
  p->draw_target = nullptr;
  p->current_map = nullptr;
  std::memset(p->sprites, 0, sizeof p->sprites);
}
