#include "kernel/keep_alive.h"

#include <cstring>

#include "base/debug_log.h"
#include "machine/process.h"

// Pushes the keeper thread, whose stack slot 1 holds the keep table.
static int make_keeper(lua_State *L) {
  lua_State *keeper = lua_newthread(L);
  lua_newtable(L);
  lua_xmove(L, keeper, 1);
  return 1;
}

bool keep_alive_open(proc *p) {
  lua_State *L = p->L;
  INVARIANT(L && lua_gettop(L) == 0);
  lua_pushcfunction(L, make_keeper);
  if (lua_pcall(L, 0, 1, 0) != LUA_OK) {
    lua_settop(L, 0);
    return false;
  }
  p->keeper = lua_tothread(L, -1);
  return true;
}

// The process whose state L is a thread of: its allocator's user value.
static proc *owner_of(lua_State *L) {
  void *owner = nullptr;
  lua_getallocf(L, &owner);
  return static_cast<proc *>(owner);
}

// Pushes the keep table of L's state.
static void push_keep_table(lua_State *L) {
  proc *owner = owner_of(L);
  INVARIANT(owner && owner->keeper);
  luaL_checkstack(L, 3, nullptr);
  // The keeper never runs code: index 1 is the bottom of its stack.
  lua_pushvalue(owner->keeper, 1);
  lua_xmove(owner->keeper, L, 1);
  INVARIANT(lua_type(L, -1) == LUA_TTABLE);
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
  p->keeper = nullptr;
  std::memset(p->sprites, 0, sizeof p->sprites);
}
