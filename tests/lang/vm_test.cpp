// The interpreter loop's cycle charging and forced yield, and the allocator
// protocol with its accounted sizes.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/cpu_budget.h"
#include "lang/lua_api.h"
#include "lang/vm_state.h"
#include "tests/support/cpu_clock.h"

namespace {

// Starts a slice with the budget given as its argument.
int set_budget(lua_State *L) {
  cpu_slice_begin(static_cast<int32_t>(luaL_checkinteger(L, 1)));
  return 0;
}

struct Budget : ::testing::Test {
  lua_State *L = nullptr;
  void SetUp() override {
    cpu_slice_begin(CPU_UNBUDGETED);
    L = luaL_newstate();
    luaL_openlibs(L);
    lua_register(L, "set_budget", set_budget);
  }
  void TearDown() override {
    lua_close(L);
    cpu_slice_begin(CPU_UNBUDGETED);
  }
  // Cycles charged by running the chunk on the (non-yieldable) main thread.
  int32_t cycles_of(const char *code) {
    EXPECT_EQ(luaL_loadstring(L, code), LUA_OK);
    cpu_budget.cycles = 0;
    EXPECT_EQ(lua_pcall(L, 0, 0, 0), LUA_OK) << lua_tostring(L, -1);
    return cpu_budget.cycles;
  }
  lua_State *thread_of(const char *code) {
    lua_State *T = lua_newthread(L);
    EXPECT_EQ(luaL_loadstring(T, code), LUA_OK);
    return T;
  }
};

TEST_F(Budget, InstructionCosts) {
  // VARARGPREP 2, LOADI x, LOADI i1, LOADI i2, LOADI step: 1 each, FORPREP 2,
  // n x (ADDI 1 + FORLOOP 2), RETURN 2.
  EXPECT_EQ(cycles_of("local x = 0 for i = 1, 10 do x = x + 1 end"), 2 + 4 + 2 + 30 + 2);
  EXPECT_EQ(cycles_of("local x = 0 for i = 1, 20 do x = x + 1 end") -
                cycles_of("local x = 0 for i = 1, 10 do x = x + 1 end"),
            30);
  // A generic for: 2 per further iteration (TFORCALL; TFORLOOP is free),
  // besides the one more LOADI of the constructor.
  EXPECT_EQ(cycles_of("local t = {1,1,1,1,1,1} for k in next, t do end") -
                cycles_of("local t = {1,1,1,1,1} for k in next, t do end"),
            1 + 2);
  // Cost 1: MOVE, LOADK, LOADNIL, ADDK, SUB, UNM; cost 2: MUL, LOADF.
  EXPECT_EQ(cycles_of("local a, b = 1, 2 local c = a - b"), 2 + 1 + 1 + 1 + 2);
  EXPECT_EQ(cycles_of("local a, b = 1, 2 local c = a * b"), 2 + 1 + 1 + 2 + 2);
  EXPECT_EQ(cycles_of("local a = 1.0"), 2 + 2 + 2);                   // LOADF
  EXPECT_EQ(cycles_of("local a = '3' local b = -a"), 2 + 1 + 1 + 2);  // UNM via string arithmetic
}

TEST_F(Budget, YieldsAtTheFirstInstructionPastTheBudget) {
  lua_State *T = thread_of("n = 0 while true do n = n + 1 end");
  cpu_slice_begin(100);
  int nres = -1;
  EXPECT_EQ(lang_yielded_to_escape_slice(T), 0);
  ASSERT_EQ(lua_resume(T, L, 0, &nres), LUA_YIELD);
  EXPECT_EQ(nres, 0);
  EXPECT_GE(cpu_budget.cycles, 101);
  EXPECT_LE(cpu_budget.cycles, 102);
  EXPECT_EQ(lang_yielded_to_escape_slice(T), 1);
  // Resumed already over budget: exactly one instruction, then the next yield.
  for (int i = 0; i < 50; i++) {
    int32_t before = cpu_budget.cycles;
    ASSERT_EQ(lua_resume(T, L, 0, &nres), LUA_YIELD);
    EXPECT_GE(cpu_budget.cycles - before, 1);
    EXPECT_LE(cpu_budget.cycles - before, 2);
    lua_gc(L, LUA_GCCOLLECT);
  }
  lua_getglobal(L, "n");
  EXPECT_GE(lua_tointeger(L, -1), 10);  // every resume made progress
}

TEST_F(Budget, ForcingYieldsWhateverTheBudget) {
  lua_State *T = thread_of("x = 1 x = 2 x = 3 return 'done'");
  cpu_slice_begin(CPU_CYCLES_PER_FRAME);
  cpu_budget.superyielding = CPU_FORCE_YIELD;
  int nres = 0, resumes = 1;
  while (lua_resume(T, L, 0, &nres) == LUA_YIELD) resumes++;
  cpu_budget.superyielding = 0;
  EXPECT_STREQ(lua_tostring(T, -1), "done");
  EXPECT_GT(resumes, 6);  // one instruction per resume
}

TEST_F(Budget, NonYieldableCodeRunsOnAndCountsCycles) {
  lua_State *T = thread_of(
      "string.gsub('x', 'x', function() set_budget(5) for i = 1, 1000 do end ran = true end) "
      "return 'end'");
  int nres = 0;
  ASSERT_EQ(lua_resume(T, L, 0, &nres), LUA_YIELD);
  lua_getglobal(L, "ran");
  EXPECT_TRUE(lua_toboolean(L, -1));
  EXPECT_GT(cpu_budget.cycles, 2000);  // 1000 FORLOOPs past a budget of 5
  cpu_slice_begin(CPU_UNBUDGETED);
  ASSERT_EQ(lua_resume(T, L, 0, &nres), LUA_OK);
}

TEST_F(Budget, CountersSaturate) {
  // Outside a slice code runs on without end; the charge stops at the top.
  cpu_budget.cycles = INT32_MAX - 3;
  cpu_budget.cycles_max = CPU_OUTSIDE_SLICE;
  EXPECT_EQ(luaL_dostring(L, "local x = 0 for i = 1, 100 do x = x + 1 end"), LUA_OK);
  EXPECT_GE(cpu_budget.cycles, INT32_MAX - 1);
  cpu_budget.cycles = INT32_MAX;
  EXPECT_EQ(luaL_dostring(L, "local x = 0 for i = 1, 100 do x = x + 1 end"), LUA_OK);
  EXPECT_GE(cpu_budget.cycles, INT32_MAX - 1);
  cpu_budget.cycles = 0;
}

TEST_F(Budget, CodeThatCannotYieldFailsPastTheOverrunBound) {
  const char *stuck[] = {
      "while true do end",
      "string.gsub('x', 'x', function() while true do end end)",
      "string.find(('a'):rep(40), ('a*'):rep(40) .. 'b')",
      "string.gsub(('a'):rep(64), ('a?'):rep(64) .. 'b', '')",
      "tostring(setmetatable({}, {__tostring = function() while true do end end}))",
      "load(function() while true do end end)",
      // Moves of a huge count, or under a huge length, fail before they start.
      "table.move({}, 1, 2^40, 2)",
      "table.insert(setmetatable({}, {__len = function() return 2^40 end}), 1, 0)",
      "table.remove(setmetatable({}, {__len = function() return 2^40 end}), 1)",
  };
  for (const char *code : stuck) {
    SCOPED_TRACE(code);
    ASSERT_EQ(luaL_loadstring(L, code), LUA_OK);
    cpu_slice_begin(1000);
    ASSERT_EQ(lua_pcall(L, 0, 0, 0), LUA_ERRRUN);
    EXPECT_NE(std::strstr(lua_tostring(L, -1), CPU_OVERRUN_MESSAGE), nullptr)
        << lua_tostring(L, -1);
    EXPECT_LT(cpu_budget.cycles, 1000 + CPU_OVERRUN_LIMIT + 1000);
    lua_pop(L, 1);
  }
  // Within the bound such code only leaves debt.
  cpu_slice_begin(1000);
  EXPECT_EQ(luaL_dostring(L, "for i = 1, 100000 do end"), LUA_OK);
  EXPECT_GT(cpu_budget.cycles, 200000);
}

// Library work done in C is charged by the bytes, elements or objects it
// covers: a call, or a loop of calls, in code that cannot yield ends at the
// overrun bound within a few milliseconds of CPU (however big the work
// asked), and a move whose count would overflow the test of the bound fails
// at once. Each row's data is built outside the slice.
TEST_F(Budget, HostileLibraryWorkEndsAtTheOverrunBound) {
  struct row {
    const char *data, *call;
  };
  const row rows[] = {
      {"", "table.move({}, 1, math.maxinteger, 1)"},
      {"", "table.remove(setmetatable({}, {__len = function() return math.maxinteger end}), 1)"},
      {"T = ('a'):rep(4 << 20) N = ('a'):rep(2 << 20) .. 'b'", "string.find(T, N, 1, true)"},
      {"P = ('('):rep(300000)", "string.find(P, '%b()')"},
      {"P = ('a'):rep(1 << 20) C = '[' .. ('b'):rep(1 << 20) .. 'a]*c'", "string.find(P, C)"},
      {"P = ('a'):rep(1 << 20) C = '[' .. ('b'):rep(1 << 20) .. 'a]-c'", "string.find(P, C)"},
      {"N = ('\\0'):rep(8 << 20)", "string.find('x', N)"},
      {"U = ('\\u{e9}'):rep(1 << 19)", "for i = 1, 1e9 do utf8.len(U) end"},
      {"U = ('\\u{e9}'):rep(1 << 19)", "for i = 1, 1e9 do utf8.offset(U, 1 << 20) end"},
      {"K = ('\\x80'):rep(8 << 20) F = utf8.codes(K)", "for i = 1, 1e9 do F(K, 0) end"},
      {"A = ('x'):rep(12 << 20) B = ('x'):rep(12 << 20)", "for i = 1, 1e9 do local e = A == B end"},
      {"A = ('x'):rep(12 << 20) B = ('x'):rep(12 << 20)", "for i = 1, 1e9 do local e = A <= B end"},
      {"A = ('x'):rep(12 << 20) B = ('x'):rep(12 << 20) H = {[A] = 1}",
       "for i = 1, 1e9 do local e = H[B] end"},
      {"E = {} for i = 1, 4e6 do E[i] = i end for i = 1, 4e6 do E[i] = nil end",
       "for i = 1, 1e9 do next(E) end"},
      {"LIVE = {} for i = 1, 300000 do LIVE[i] = {} end", "for i = 1, 1e9 do collectgarbage() end"},
      {"LIVE = {} for i = 1, 300000 do LIVE[i] = {} end",
       "for i = 1, 1e9 do collectgarbage('step', 1 << 30) end"},
      {"C = {} for i = 1, 1e6 do C[i] = '' end", "for i = 1, 1e9 do table.concat(C) end"},
      {"C = {} for i = 1, 1e6 do C[i] = '' end", "for i = 1, 1e9 do table.move(C, 1, #C, 2) end"},
      {"T = ('\\\\'):rep(4 << 20)", "for i = 1, 1e9 do string.format('%q', T) end"},
      {"T = ('a'):rep(4 << 20)", "for i = 1, 1e9 do string.upper(T) end"},
      {"T = '--' .. ('a'):rep(4 << 20)", "for i = 1, 1e9 do load(T) end"},
      {"V = {} for i = 1, 45000 do V[i] = i end",
       "local function g(...) end "
       "local function f(...) for i = 1, 1e9 do g(...) end end f(table.unpack(V))"},
      {"S = ('s'):rep(90000)", "for i = 1, 1e9 do string.byte(S, 1, -1) end"},
      // Packing copies and scans its strings; a format pays by its options.
      {"P = ('x'):rep(16 << 20)", "for i = 1, 1e9 do string.pack('z', P) end"},
      {"P = ('x'):rep(16 << 20)", "for i = 1, 1e9 do string.pack('s', P) end"},
      {"P = ('x'):rep(16 << 20)", "for i = 1, 1e9 do string.pack('c' .. #P, P) end"},
      {"P = ('x'):rep(16 << 20) .. '\\0'", "for i = 1, 1e9 do string.unpack('z', P) end"},
      {"P = string.pack('s4', ('x'):rep(16 << 20))",
       "for i = 1, 1e9 do string.unpack('s4', P) end"},
      {"P = ('x'):rep(16 << 20)", "for i = 1, 1e9 do string.unpack('c' .. #P, P) end"},
      {"F = ('i16'):rep(1 << 20)", "for i = 1, 1e9 do string.packsize(F) end"},
      {"F = (' '):rep(16 << 20)", "for i = 1, 1e9 do string.pack(F) end"},
      {"F = ('x'):rep(16 << 20)", "for i = 1, 1e9 do string.unpack(F, F) end"},
      {"L = {} for i = 1, 1e6 do L[i] = (i * 7919) % 1000003 end",
       "for i = 1, 1e9 do table.sort(L) end"},
      // Copies of long strings.
      {"P = ('x'):rep(4 << 20)", "for i = 1, 1e9 do local s = P:sub(2) end"},
      {"P = ('x'):rep(4 << 20)", "for i = 1, 1e9 do local s = P:reverse() end"},
      {"P = ('x'):rep(4 << 20)", "for i = 1, 1e9 do local s = string.format('%s', P) end"},
      {"P = ('x'):rep(1 << 20)", "for i = 1, 1e9 do local s = table.concat({1, 2, 3}, P) end"},
      {"P = ('x'):rep(1 << 20)", "for i = 1, 1e9 do local s = table.concat({P, P}) end"},
      {"P = ('x'):rep(2 << 20)", "for i = 1, 1e9 do local s = P .. P end"},
  };
  const double limit_ms = HOSTILE_CALL_MS;
  for (const row &r : rows) {
    SCOPED_TRACE(r.call);
    cpu_slice_begin(CPU_UNBUDGETED);
    ASSERT_EQ(luaL_dostring(L, r.data), LUA_OK) << lua_tostring(L, -1);
    ASSERT_EQ(luaL_loadstring(L, r.call), LUA_OK);
    cpu_slice_begin(1000);
    double start = thread_cpu_ms();
    int status = lua_pcall(L, 0, 0, 0);
    double ms = thread_cpu_ms() - start;
    ASSERT_EQ(status, LUA_ERRRUN);
    EXPECT_NE(std::strstr(lua_tostring(L, -1), CPU_OVERRUN_MESSAGE), nullptr)
        << lua_tostring(L, -1);
    EXPECT_LT(ms, limit_ms);
    lua_pop(L, 1);
    cpu_slice_begin(CPU_UNBUDGETED);
    ASSERT_EQ(
        luaL_dostring(L, "T, N, P, C, U, K, F, A, B, H, E, LIVE, V, S, L = nil collectgarbage()"),
        LUA_OK);
  }
}

// The same kinds of work at an ordinary size, and the biggest of them that
// one call makes, succeed with their stock results and a charge near what
// they cover.
TEST_F(Budget, OrdinaryLibraryWorkIsChargedByWhatItCovers) {
  struct row {
    const char *data, *call;
    int32_t at_least, at_most;
  };
  const row rows[] = {
      {"T = ('ab'):rep(1 << 16) .. 'c'", "assert(string.find(T, 'abc', 1, true) == (2 << 16) - 1)",
       (2 << 16) / 16, 3 * (2 << 16)},
      {"P = ('('):rep(1000) .. (')'):rep(1000)", "assert(string.find(P, '%b()') == 1)", 2000, 3000},
      {"U = ('\\u{e9}'):rep(1 << 16)", "assert(utf8.len(U) == 1 << 16)", 2 << 16, (2 << 16) + 100},
      {"A = ('x'):rep(1 << 20) B = ('x'):rep(1 << 20)", "assert(A == B and A <= B)",
       2 * ((1 << 20) - 64) / 16, 2 * (1 << 20) / 16 + 100},
      {"A = ('x'):rep(1 << 20) .. 'a' B = 'y' .. ('x'):rep(1 << 20)", "assert(A ~= B and A < B)", 0,
       100},
      {"C = {} for i = 1, 1000 do C[i] = 'x' end", "assert(#table.concat(C) == 1000)", 4 * 999,
       4 * 999 + 200},
      {"C = {} for i = 1, 1000 do C[i] = 'x' end", "table.move(C, 1, 1000, 2)", 2000, 2100},
      {"", "assert(string.rep('ab', 3, ',') == 'ab,ab,ab' and string.rep('xyz', 1) == 'xyz')", 0,
       100},
      // Big results over one string are done, then charged: a 16 MiB
      // repetition, the length of 8 MiB of text, a 16 MiB case change.
      {"", "assert(#string.rep('ab', 8 << 20) == 16 << 20)", (16 << 20) / 32,
       (16 << 20) / 32 + 300000},
      {"U = ('\\u{e9}'):rep(4 << 20)", "assert(utf8.len(U) == 4 << 20)", 8 << 20, (8 << 20) + 1000},
      {"T = ('a'):rep(16 << 20)", "assert(#string.upper(T) == 16 << 20)", 4 << 20,
       (4 << 20) + 300000},
      // Packing at an ordinary size, and the biggest sort under the bound,
      // charged two cycles a comparison.
      {"P = ('x'):rep(1 << 20)", "assert(#string.pack('s4', P) == (1 << 20) + 4)", (1 << 20) / 4,
       (1 << 20) / 4 + 100},
      {"P = string.pack('zc3', ('x'):rep(1 << 20), 'abc')",
       "local a, b = string.unpack('zc3', P) assert(#a == 1 << 20 and b == 'abc')", (1 << 20) / 4,
       (1 << 20) / 4 + 100},
      {"L = {} for i = 1, 5e4 do L[i] = (i * 7919) % 50021 end",
       "table.sort(L) for i = 2, #L, 97 do assert(L[i - 1] <= L[i]) end", 1000000, 2700000},
      // Copies of the biggest strings a process holds.
      {"P = ('x'):rep(8 << 20)", "assert(#(P .. P) == 16 << 20)", (16 << 20) / 4,
       (16 << 20) / 4 + 100},
      {"P = ('x'):rep(16 << 20)", "assert(#P:sub(2) == (16 << 20) - 1)", (16 << 20) / 4 - 1,
       (16 << 20) / 4 + 100},
      {"P = ('x'):rep(16 << 20)", "assert(string.format('%s', P) == P)", (16 << 20) / 4,
       (16 << 20) / 4 + 1100000},
      // The longest balance that fits under the bound.
      {"P = ('('):rep(1300000) .. (')'):rep(1300000)", "assert(string.find(P, '%b()') == 1)",
       2600000, 2700000},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.call);
    cpu_slice_begin(CPU_UNBUDGETED);
    ASSERT_EQ(luaL_dostring(L, r.data), LUA_OK) << lua_tostring(L, -1);
    // Run as a process runs: resumed a frame at a time, the charge past the
    // budget of one frame carried as the next frames' use.
    lua_State *T = thread_of(r.call);
    int64_t charged = 0;
    int status = LUA_YIELD, nres = 0;
    for (int frames = 0; status == LUA_YIELD && frames < 1000; frames++) {
      cpu_slice_begin(CPU_CYCLES_PER_FRAME);
      status = lua_resume(T, L, 0, &nres);
      charged += cpu_budget.cycles;
    }
    ASSERT_EQ(status, LUA_OK) << lua_tostring(T, -1);
    EXPECT_GE(charged, r.at_least);
    EXPECT_LE(charged, r.at_most);
    lua_pop(L, 1);
  }
  cpu_slice_begin(CPU_UNBUDGETED);
}

// A chain of suspended coroutines, each closing the previous one from its
// '__close', ends with Lua's "C stack overflow" error instead of exhausting
// the host stack.
TEST_F(Budget, NestedClosesEndInACStackOverflowError) {
  const char *code = R"(
    local prev
    for i = 1, 3000 do
      local p = prev
      local co = coroutine.create(function()
        local x <close> = setmetatable({}, {__close = function()
          if p then
            local ok, e = coroutine.close(p)
            if not ok then error(e, 0) end
          end
        end})
        coroutine.yield()
      end)
      coroutine.resume(co)
      prev = co
    end
    return coroutine.close(prev))";
  ASSERT_EQ(luaL_dostring(L, code), LUA_OK) << lua_tostring(L, -1);
  EXPECT_FALSE(lua_toboolean(L, -2));
  EXPECT_NE(std::strstr(lua_tostring(L, -1), "C stack overflow"), nullptr) << lua_tostring(L, -1);
  // A short chain closes whole.
  ASSERT_EQ(luaL_dostring(L,
                          "local co = coroutine.create(function() "
                          "local x <close> = setmetatable({}, {__close = function() end}) "
                          "coroutine.yield() end) coroutine.resume(co) "
                          "return coroutine.close(co)"),
            LUA_OK);
  EXPECT_TRUE(lua_toboolean(L, -1));
}

TEST_F(Budget, PatternStepsAndReplacementsAreCharged) {
  // "a*b" on n letters a: every start scans the rest and backtracks through it.
  int32_t a10 = cycles_of("string.find(('a'):rep(10), 'a*b')");
  int32_t a20 = cycles_of("string.find(('a'):rep(20), 'a*b')");
  EXPECT_GT(a20 - a10, 2 * (20 * 21 / 2 - 10 * 11 / 2));
  // Each gsub replacement costs more than the match itself.
  int32_t g10 = cycles_of("string.gsub(('a'):rep(10), 'a', 'bc')");
  int32_t g20 = cycles_of("string.gsub(('a'):rep(20), 'a', 'bc')");
  EXPECT_GE(g20 - g10, 10 * (1 + 4 + 2));
}

TEST_F(Budget, RepetitionsOfNothingEndAtOnce) {
  // No loop of n empty copies in C, whatever n; a separator still counts.
  const char *code =
      "return string.rep('', math.maxinteger), string.rep('', 2^62, ''), "
      "string.rep('', 3, ','), string.rep('ab', 2, '')";
  ASSERT_EQ(luaL_dostring(L, code), LUA_OK) << lua_tostring(L, -1);
  EXPECT_STREQ(lua_tostring(L, -4), "");
  EXPECT_STREQ(lua_tostring(L, -3), "");
  EXPECT_STREQ(lua_tostring(L, -2), ",,");
  EXPECT_STREQ(lua_tostring(L, -1), "abab");
}

TEST_F(Budget, StuckFinaliserWarnsAndTheCollectionEnds) {
  lua_State *T = thread_of(
      "setmetatable({}, {__gc = function() while true do end end}) "
      "collectgarbage() return 'after'");
  cpu_slice_begin(1000);
  int nres = 0;
  ASSERT_EQ(lua_resume(T, L, 0, &nres), LUA_YIELD);  // the thread itself yields
  EXPECT_GT(cpu_budget.cycles, CPU_OVERRUN_LIMIT);
  cpu_slice_begin(CPU_UNBUDGETED);
  ASSERT_EQ(lua_resume(T, L, 0, &nres), LUA_OK);
  EXPECT_STREQ(lua_tostring(T, -1), "after");
}

TEST_F(Budget, UnbudgetedRunsPastTheTopOfTheCounter) {
  lua_State *T = thread_of("local x = 0 for i = 1, 1000 do x = x + 1 end return x");
  cpu_budget.cycles = INT32_MAX - 100;
  cpu_budget.cycles_max = CPU_UNBUDGETED;
  int nres = 0;
  ASSERT_EQ(lua_resume(T, L, 0, &nres), LUA_OK);
  EXPECT_EQ(lua_tointeger(T, -1), 1000);
  EXPECT_EQ(lang_yielded_to_escape_slice(T), 0);
  cpu_budget.cycles = 0;
}

TEST_F(Budget, CoroutineSeesAnEmptyResume) {
  EXPECT_EQ(
      luaL_dostring(
          L,
          "co = coroutine.create(function() set_budget(5) for i = 1, 100 do end return 'done' end) "
          "r = table.pack(coroutine.resume(co)) st = coroutine.status(co)"),
      LUA_OK);
  cpu_slice_begin(CPU_UNBUDGETED);
  EXPECT_EQ(luaL_dostring(L, "return r.n, r[1], st, coroutine.resume(co)"), LUA_OK);
  EXPECT_EQ(lua_tointeger(L, -5), 1);
  EXPECT_TRUE(lua_toboolean(L, -4));
  EXPECT_STREQ(lua_tostring(L, -3), "suspended");
  EXPECT_STREQ(lua_tostring(L, -1), "done");
}

// Objects with a destructor in the frame of a C++ function that raises an
// error: errors must unwind such frames, whatever way yields take.
int guards_released = 0;
struct guard {
  ~guard() { guards_released++; }
};
int fail_holding_a_guard(lua_State *L) {
  guard g;
  std::string text =
      "failed with a guard and a heap string: " + std::string(luaL_checkstring(L, 1));
  return luaL_error(L, "%s", text.c_str());
}

TEST_F(Budget, ErrorsUnwindCppFramesAmongForcedYields) {
  lua_register(L, "fail", fail_holding_a_guard);
  // Errors raised in C++ frames and in Lua, caught by pcalls that forced
  // yields suspend midway, then one that ends the thread.
  lua_State *T = thread_of(
      "caught = 0 "
      "for i = 1, 10 do "
      "  if not pcall(fail, 'inner') then caught = caught + 1 end "
      "  local ok, e = pcall(function() for j = 1, 40 do end fail('after yields') end) "
      "  if not ok and e:find('after yields') then caught = caught + 1 end "
      "  ok = pcall(function() for j = 1, 40 do end error('lua') end) "
      "  if not ok then caught = caught + 1 end "
      "end "
      "fail('out')");
  guards_released = 0;
  int nres = 0, status, yields = 0;
  for (;;) {
    cpu_slice_begin(30);
    status = lua_resume(T, L, 0, &nres);
    if (status != LUA_YIELD) break;
    yields++;
  }
  cpu_slice_begin(CPU_UNBUDGETED);
  ASSERT_EQ(status, LUA_ERRRUN);
  EXPECT_NE(std::strstr(lua_tostring(T, -1), "out"), nullptr) << lua_tostring(T, -1);
  EXPECT_GT(yields, 40);
  EXPECT_EQ(guards_released, 21);
  lua_getglobal(L, "caught");
  EXPECT_EQ(lua_tointeger(L, -1), 30);
}

// Growth refused while 'refuse' is set, as a process's memory limit does.
struct refusing_heap {
  bool refuse = false;
};
void *refusing_alloc(void *ud, void *ptr, size_t osize, size_t nsize, int, size_t) {
  if (nsize == 0) {
    free(ptr);
    return nullptr;
  }
  if (static_cast<refusing_heap *>(ud)->refuse && (!ptr || nsize > osize)) return nullptr;
  return realloc(ptr, nsize);
}

TEST(ForcedYields, ThreadsSurviveRefusedMemoryAndClosing) {
  // A thread suspended by forced yields, inside a pcall and holding a
  // to-be-closed variable, then resumed with memory refused, or closed while
  // suspended (a process killed): its pcall and its closing run, and the
  // state stays whole.
  struct {
    const char *name;
    bool refuse, close_suspended;
    int status;
    const char *result;
  } cases[] = {
      {"memory refused", true, false, LUA_OK, "not enough memory"},
      {"closed while suspended", false, true, LUA_OK, "closed"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    refusing_heap heap;
    cpu_slice_begin(CPU_UNBUDGETED);
    lua_State *L = lua_newstate(refusing_alloc, &heap);
    luaL_openlibs(L);
    lua_State *T = lua_newthread(L);
    ASSERT_EQ(luaL_loadstring(T,
                              "result, e = false, false "
                              "do local c <close> = setmetatable({}, {__close = function() "
                              "  result = e or 'closed' end}) "
                              "  local t, ok = {} "
                              "  ok, e = pcall(function() for i = 1, 1e9 do t[i] = {i} end end) "
                              "end"),
              LUA_OK);
    int nres, status, yields = 0;
    for (;;) {
      cpu_slice_begin(40);
      status = lua_resume(T, L, 0, &nres);
      cpu_slice_begin(CPU_UNBUDGETED);
      if (status != LUA_YIELD) break;
      if (++yields == 50) {
        heap.refuse = c.refuse;
        if (c.close_suspended) {
          status = lua_resetthread(T);
          break;
        }
      }
    }
    heap.refuse = false;
    EXPECT_EQ(status, c.status) << lua_tostring(T, -1);
    EXPECT_GE(yields, 50);
    lua_getglobal(L, "result");
    EXPECT_STREQ(lua_tostring(L, -1), c.result);
    lua_close(L);
  }
}

// The allocator's calls: (block given, osize, nsize, retry, accounted).
struct alloc_call {
  bool block;
  size_t osize, nsize;
  int retry;
  size_t accounted;
};
struct alloc_log {
  std::vector<alloc_call> calls;
  int fail_shrinks = 0;      // fail every shrinking realloc while set
  size_t fail_first_of = 0;  // fail the first attempt of a request of this size
};

void *logging_alloc(void *ud, void *ptr, size_t osize, size_t nsize, int retry, size_t accounted) {
  auto *log = static_cast<alloc_log *>(ud);
  log->calls.push_back({ptr != nullptr, osize, nsize, retry, accounted});
  if (nsize == 0) {
    free(ptr);
    return nullptr;
  }
  if (log->fail_shrinks && ptr && nsize < osize) return nullptr;
  if (nsize == log->fail_first_of && retry == 0) return nullptr;
  return realloc(ptr, nsize);
}

struct Alloc : ::testing::Test {
  alloc_log log;
  lua_State *L = nullptr;
  void SetUp() override {
    cpu_slice_begin(CPU_UNBUDGETED);
    L = lua_newstate(logging_alloc, &log);
    luaL_openlibs(L);
    lua_gc(L, LUA_GCSTOP);
  }
  void TearDown() override { lua_close(L); }
  // The calls made while running f.
  template <class F>
  std::vector<alloc_call> during(F f) {
    size_t from = log.calls.size();
    f();
    return {log.calls.begin() + from, log.calls.end()};
  }
  static bool has(const std::vector<alloc_call> &calls, size_t osize, size_t nsize, size_t acct) {
    for (const alloc_call &c : calls)
      if (c.osize == osize && c.nsize == nsize && c.accounted == acct && c.retry == 0) return true;
    return false;
  }
};

TEST_F(Alloc, AccountedSizes) {
  ASSERT_FALSE(log.calls.empty());
  EXPECT_EQ(log.calls[0].block, false);
  EXPECT_EQ(log.calls[0].osize, size_t(LUA_TTHREAD));
  // The sizes of this build's records: a main state of 1624 bytes with its
  // global state, a thread of 208 (charged as a main state).
  EXPECT_EQ(log.calls[0].nsize, 1624u);
  EXPECT_EQ(log.calls[0].accounted, 1624u);
  EXPECT_TRUE(has(log.calls, 0, 1024, 2048));  // initial string table
  EXPECT_TRUE(
      has(during([&] { lua_pushstring(L, "kvd-unique-1234"); }), LUA_TSTRING, 15 + 25, 15 + 32));
  EXPECT_TRUE(has(during([&] { lua_newthread(L); }), LUA_TTHREAD, 208, 1624));
  EXPECT_TRUE(has(during([&] { lua_newuserdatauv(L, 100, 0); }), LUA_TUSERDATA, 132, 156));
  EXPECT_TRUE(has(during([&] { lua_newuserdatauv(L, 100, 2); }), LUA_TUSERDATA, 172, 156));
  EXPECT_TRUE(has(during([&] { lua_pushcclosure(L, set_budget, 3); }), LUA_TFUNCTION, 80, 88));
  EXPECT_TRUE(
      has(during([&] { luaL_dostring(L, "string.gmatch('a', 'a')"); }), LUA_TUSERDATA, 608, 632));
  EXPECT_TRUE(
      has(during([&] { luaL_dostring(L, "local a, b = 1, 2 f = function() return a, b end"); }),
          LUA_TFUNCTION, 48, 64));
  auto table = during([&] { luaL_dostring(L, "t = {1, 2, 3, 4, x = 1, y = 2}"); });
  EXPECT_TRUE(has(table, 0, 64, 64));  // array part of 4 slots
  EXPECT_TRUE(has(table, 0, 48, 32));  // hash part of 2 nodes
  for (const alloc_call &c : log.calls)
    if (c.nsize == 0) {
      EXPECT_TRUE(c.retry == 0 && c.accounted == 0);
    }
}

TEST_F(Alloc, DebtCountsRequestedBytes) {
  int before = lua_gc(L, LUA_GCCOUNT) * 1024 + lua_gc(L, LUA_GCCOUNTB);
  lua_pushstring(L, "kvd-unique-5678");
  int after = lua_gc(L, LUA_GCCOUNT) * 1024 + lua_gc(L, LUA_GCCOUNTB);
  EXPECT_EQ(after - before, 15 + 25);
}

TEST_F(Alloc, GrowingRequestIsRetriedOnceAfterACollection) {
  log.fail_first_of = 123457 + 25;
  auto calls = during([&] { lua_pushlstring(L, std::string(123457, 'x').c_str(), 123457); });
  log.fail_first_of = 0;
  int tries = 0;
  for (const alloc_call &c : calls)
    if (c.nsize == 123457 + 25) {
      EXPECT_EQ(c.retry, tries);
      EXPECT_EQ(c.accounted, 123457u + 32);
      tries++;
    }
  EXPECT_EQ(tries, 2);
}

TEST_F(Alloc, FailedShrinkIsNotRetried) {
  log.fail_shrinks = 1;
  auto calls =
      during([&] { EXPECT_EQ(luaL_loadstring(L, "local a = 1 return a + 1"), LUA_ERRMEM); });
  log.fail_shrinks = 0;
  for (const alloc_call &c : calls) EXPECT_EQ(c.retry, 0);
}

TEST(LuaNewstate, DefaultAllocatorWorks) {
  lua_State *L = luaL_newstate();
  ASSERT_NE(L, nullptr);
  EXPECT_EQ(luaL_dostring(L, "local s = '' for i = 1, 1000 do s = s .. i end"), LUA_OK);
  lua_close(L);
}

}  // namespace
