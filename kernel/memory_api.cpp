// Memory API: peek, poke, memcpy, memset and the cross-process reads.
#include "kernel/memory_api.h"

#include "base/cpu_budget.h"
#include "base/ram_layout.h"
#include "machine/memory.h"
#include "lang/args.h"

// At most this many values are read or written by one call.
static constexpr int32_t max_values = 65536;

// The address rules: truncating (peek, peek2, poke) or flooring with default 0.
static int32_t trunc_addr(lua_State *L) { return kvd_truncp(L, 1); }
static int32_t floor_addr(lua_State *L) { return int32_t(uint32_t(kvd_intp(L, 1, 0))); }

// Reads count values of `width` bytes at steps of width; count (argument 2,
// default 1) outside 1..65536 or a stack that cannot grow gives no results.
// Only peek charges a single value.
static int peek_values(lua_State *L, int32_t addr, int width, bool charge_single) {
  int32_t n = int32_t(uint32_t(kvd_intp(L, 2, 1)));
  if (n < 1 || n > max_values || !lua_checkstack(L, n)) return 0;
  uint32_t a = uint32_t(addr);
  for (int32_t i = 0; i < n; i++, a += uint32_t(width)) {
    int32_t at = int32_t(a);
    lua_Integer v = width == 1   ? peek(at)
                    : width == 2 ? peek2(at)
                    : width == 4 ? peek4(at)
                                 : peek8(at);
    lua_pushinteger(L, v);
  }
  if (charge_single || n >= 2) spend_cpu(n - 1);
  return n;
}

int lua54_peek(lua_State *L) { return peek_values(L, trunc_addr(L), 1, true); }
int lua54_peek2(lua_State *L) { return peek_values(L, trunc_addr(L), 2, false); }
int lua54_peek4(lua_State *L) { return peek_values(L, floor_addr(L), 4, false); }
int lua54_peek8(lua_State *L) { return peek_values(L, floor_addr(L), 8, false); }

// Writes arguments 2.. at steps of width; exact values (poke4, poke8) use
// Lua's exact integer conversion, the others flooring with default 0.
static int poke_values(lua_State *L, int32_t addr, int width, bool exact) {
  int count = lua_gettop(L) - 1;
  if (count < 1 || count > max_values) return 0;
  uint32_t a = uint32_t(addr);
  for (int i = 0; i < count; i++, a += uint32_t(width)) {
    int64_t v = exact ? kvd_exactp(L, i + 2) : kvd_intp(L, i + 2, 0);
    if (width == 1)
      poke(int32_t(a), int32_t(uint32_t(v)));
    else if (width == 2)
      poke2(int32_t(a), int32_t(uint32_t(v)));
    else if (width == 4)
      poke4(a, uint32_t(v));
    else
      poke8(a, uint64_t(v));
  }
  if (count >= 2) spend_cpu(count - 1);
  return 0;
}

int lua54_poke(lua_State *L) { return poke_values(L, trunc_addr(L), 1, false); }
int lua54_poke2(lua_State *L) { return poke_values(L, floor_addr(L), 2, false); }
int lua54_poke4(lua_State *L) { return poke_values(L, floor_addr(L), 4, true); }
int lua54_poke8(lua_State *L) { return poke_values(L, floor_addr(L), 8, true); }

static int ppeek(lua_State *L, bool four) {
  proc *p = get_process(int32_t(uint32_t(kvd_exactp(L, 1))));
  if (!p) {
    lua_pushinteger(L, 0);
    return 1;
  }
  int32_t addr = kvd_truncp(L, 2);
  lua_pushinteger(L, four ? peek4_proc(p, addr) : peek_proc(p, addr));
  return 1;
}

int lua54__ppeek(lua_State *L) { return ppeek(L, false); }
int lua54__ppeek4(lua_State *L) { return ppeek(L, true); }

// The length (argument 3): without a number or string, a zero-length call
// that costs 1 cycle; a negative length does nothing and costs nothing.
static int block_op(lua_State *L, bool copy) {
  int32_t a = kvd_truncp(L, 1), b = kvd_truncp(L, 2);
  int t = lua_type(L, 3);
  int32_t length = 0;
  if (t == LUA_TNUMBER || t == LUA_TSTRING) {
    length = kvd_truncp(L, 3);
    if (length < 0) return 0;
    if (length > (int32_t)RAM_SIZE) length = RAM_SIZE;
  }
  spend_cpu(copy ? kvd_memcpy(a, b, length) : kvd_memset(a, b, length));
  return 0;
}

int lua54_memcpy(lua_State *L) { return block_op(L, true); }
int lua54_memset(lua_State *L) { return block_op(L, false); }

const luaL_Reg memory_api_functions[13] = {
    {"peek", lua54_peek},       {"peek2", lua54_peek2},   {"peek4", lua54_peek4},
    {"peek8", lua54_peek8},     {"poke", lua54_poke},     {"poke2", lua54_poke2},
    {"poke4", lua54_poke4},     {"poke8", lua54_poke8},   {"_ppeek", lua54__ppeek},
    {"_ppeek4", lua54__ppeek4}, {"memcpy", lua54_memcpy}, {"memset", lua54_memset},
    {nullptr, nullptr},
};
