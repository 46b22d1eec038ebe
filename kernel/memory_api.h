// The Lua functions that give userland access to process memory: peek and
// poke of 8- to 64-bit values, memcpy, memset, and reads of another
// process's memory for system code. None raises a Lua error; each charges
// its work through spend_cpu.
#pragma once

#include "lang/lua_api.h"

int lua54_peek(lua_State *L);
int lua54_peek2(lua_State *L);
int lua54_peek4(lua_State *L);
int lua54_peek8(lua_State *L);
int lua54_poke(lua_State *L);
int lua54_poke2(lua_State *L);
int lua54_poke4(lua_State *L);
int lua54_poke8(lua_State *L);
int lua54__ppeek(lua_State *L);
int lua54__ppeek4(lua_State *L);
int lua54_memcpy(lua_State *L);
int lua54_memset(lua_State *L);

// The global names and functions above, in this order, ended by {null, null}.
extern const luaL_Reg memory_api_functions[13];
