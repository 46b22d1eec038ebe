// The Lua side of the record tests: cases run in the root process, each a
// chunk returning one value compared as text, with two helpers in Lua (E: a
// record's elements as "a,b,c"; L: values as "a,b", floats with one
// decimal), and the measure of what one call charges.
#pragma once

#include <string>

#include "tests/kernel/kernel_fixture.h"

struct lua_case {
  const char *code;  // a chunk that returns one value
  const char *want;  // its text
};

struct ud_methods : kernel_fixture {
  // A helper: the elements of a record as "a,b,c".
  void SetUp() override {
    kernel_fixture::SetUp();
    root_eval(
        "function E(u) local t = {} for i = 0, #u - 1 do t[#t + 1] = tostring(u[i]) end "
        "return table.concat(t, ',') end "
        "function L(...) local t = table.pack(...) for i = 1, t.n do t[i] = "
        "math.type(t[i]) == 'float' and string.format('%.1f', t[i]) or tostring(t[i]) end "
        "return table.concat(t, ',', 1, t.n) end");
  }
  void run(const lua_case *cases, size_t n) {
    for (size_t i = 0; i < n; i++)
      EXPECT_EQ(root_eval(cases[i].code), cases[i].want) << cases[i].code;
  }
};

// What one call charges itself: made from C so that no instruction of Lua
// counts, and with the allocator's charges for the blocks it makes taken
// out. CALL holds the function and its arguments.
struct charge_result {
  int32_t cycles;
  int64_t first;  // the first result as an integer
};
inline int32_t alloc_cycles;
inline lua_Alloc process_alloc;
inline void *counting_alloc(void *ud, void *ptr, size_t osize, size_t nsize, int retry,
                            size_t accounted) {
  int32_t before = cpu_budget.cycles;
  void *block = process_alloc(ud, ptr, osize, nsize, retry, accounted);
  alloc_cycles += cpu_budget.cycles - before;
  return block;
}
// Evaluates call (a function and its arguments) in the root process and
// pushes the packed table, then the function and its arguments: their count.
inline int push_packed_call(ud_methods &t, const std::string &call) {
  t.root_eval("CALL = table.pack(" + call + ")");
  lua_State *L = t.root->L;
  int top = lua_gettop(L);
  lua_getglobal(L, "CALL");
  lua_getfield(L, -1, "n");
  int n = int(lua_tointeger(L, -1));
  lua_pop(L, 1);
  for (int i = 1; i <= n; i++) lua_rawgeti(L, top + 1, i);
  return n;
}
inline charge_result charged(ud_methods &t, const std::string &call) {
  lua_State *L = t.root->L;
  int top = lua_gettop(L);
  int n = push_packed_call(t, call);
  void *ud = nullptr;
  process_alloc = lua_getallocf(L, &ud);
  lua_setallocf(L, counting_alloc, ud);
  alloc_cycles = 0;
  int32_t before = cpu_budget.cycles;
  EXPECT_EQ(lua_pcall(L, n - 1, 1, 0), LUA_OK) << call;
  charge_result r = {cpu_budget.cycles - before - alloc_cycles, lua_tointeger(L, -1)};
  lua_setallocf(L, process_alloc, ud);
  lua_settop(L, top);
  return r;
}
