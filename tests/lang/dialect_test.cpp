// The dialect seen from Lua code: each form's value or error message, the
// numerals, division by zero, the memory-read operators, the library set.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/cpu_budget.h"
#include "machine/memory.h"
#include "lang/libset.h"
#include "lang/lua_api.h"

namespace {

struct lua_fixture : ::testing::Test {
  lua_State *L = nullptr;
  proc process{};
  proc *saved_cproc = nullptr;

  void SetUp() override {
    proc_memory_init(&process);
    saved_cproc = cproc;
    cproc = &process;
    cpu_slice_begin(CPU_UNBUDGETED);
    L = luaL_newstate();
    luaL_openlibs(L);
  }
  void TearDown() override {
    lua_close(L);
    proc_memory_free(&process);
    cproc = saved_cproc;
  }

  // Runs a chunk; its results as tostring texts joined by ' ', or "error: msg".
  std::string run(const std::string &code) {
    int top = lua_gettop(L);
    if (luaL_loadbuffer(L, code.data(), code.size(), "=t") != LUA_OK ||
        lua_pcall(L, 0, LUA_MULTRET, 0) != LUA_OK) {
      std::string msg = std::string("error: ") + lua_tostring(L, -1);
      lua_settop(L, top);
      return msg;
    }
    std::string out;
    for (int i = top + 1; i <= lua_gettop(L); i++) {
      if (i > top + 1) out += ' ';
      out += luaL_tolstring(L, i, nullptr);
      lua_pop(L, 1);
    }
    lua_settop(L, top);
    return out;
  }
};

struct case_t {
  const char *code;
  const char *expected;
};

void run_cases(lua_fixture &f, const std::vector<case_t> &cases) {
  for (const case_t &c : cases) EXPECT_EQ(f.run(c.code), c.expected) << c.code;
}

using Dialect = lua_fixture;

TEST_F(Dialect, OperatorsAndCompoundAssignment) {
  run_cases(*this, {
                       {"return 7\\2, 7\\2*2, 1 != 2, 1 != 1, 5 ^^ 3, ^^0", "3 6 true false 6 -1"},
                       {"local x = 5 x *= 2 + 3 return x", "25"},
                       {"local x = 7 x ^^= 3 x \\= 2 return x", "2"},
                       {"local s = 'a' s ..= 'b' s ..= 1 return s", "ab1"},
                       {"local x = 2 x ^= 3 x %= 5 x -= 1 x /= 2 return x", "1.0"},
                       {"local x = 6 x &= 3 x |= 8 x <<= 2 x >>= 1 return x", "20"},
                       {"local K <const> = 1; local t = {a={b=10}}; t.a.b += K return t.a.b", "11"},
                       {"local n = 0 local t = {a={b=1}} local function g() n = n + 1 return t end "
                        "g().a.b += 5 return n, t.a.b",
                        "1 6"},
                       {"g = 1 g += 1 return g", "2"},
                       {"local t = {} local k = 'x' t[k] = 1 t[k] += 1 return t.x", "2"},
                       {"a, b += 1", "error: t:1: '=' expected near +="},
                       {"f() += 1", "error: t:1: syntax error near +="},
                       {"local c <const> = 1; c += 1",
                        "error: t:1: attempt to assign to const variable 'c'"},
                       {"local x = 1 x += ", "error: t:1: unexpected symbol near <eof>"},
                   });
}

TEST_F(Dialect, OneLineIfAndWhile) {
  run_cases(*this,
            {
                {"local r = 0 local a = true if (a) r = 1\nreturn r", "1"},
                {"local r = 0 if (false) r = 1 r = 2\nreturn r", "0"},
                {"local r if (false) r = 1 else r = 2\nreturn r", "2"},
                {"local r if (false) r = 1 elseif true then r = 2 else r = 3\nreturn r", "2"},
                {"local r = 0 if (true) if (false) r = 1 else r = 2 -- c\nreturn r", "2"},
                {"local function f() if (true) return 5 end return f()", "5"},
                {"local i = 0 while (i<10) i+=1\nreturn i", "10"},
                {"local t, k = {x = 1}, 'x' while (t.x < 5) t[k] += 1\nreturn t.x", "5"},
                {"local t, n = {x = 1}, 2 if (n) t.x += n\nreturn t.x", "3"},
                {"local n = 0 for j = 1, 5 do n = j if (j == 3) break\nend return n", "3"},
                {"local a = 1 if (a) and a == 1 then return 'stock' end", "stock"},
                {"if (a) and b c() end", "error: t:1: <eof> expected near 'end'"},
                {"if a b() end", "error: t:1: 'then' expected near 'b'"},
                {"if (a) == f(x) c()", "error: t:1: 'then' expected near 'c'"},
                {"if (a)\n b()", "error: t:2: 'then' expected near 'b'"},
                {"while (i<10)", "error: t:1: 'do' expected near <eof>"},
                {"while (i<10) then", "error: t:1: unexpected symbol near 'then'"},
                {"if (a) return 1 x", "error: t:1: <eol> expected near 'x'"},
                {"if (a) elseif (b) c() end", "error: t:1: 'then' expected near 'c'"},
            });
}

TEST_F(Dialect, PrintShorthand) {
  run(R"(out = {} function print(...) out[#out+1] = select('#', ...) .. ':' .. table.concat({...}, ',') end)");
  run_cases(*this,
            {
                {"?1, 2\n?\n? 'x'", ""},
                {"return table.concat(out, ' ')", "2:1,2 0: 1:x"},
                {"local print = function(x) return 'local ' .. x end local v = ?'y'\nreturn v",
                 "local y"},
                {"?1 x = 1", "error: t:1: <eol> expected near 'x'"},
                {"return ?1", "nil"},
            });
}

TEST_F(Dialect, EscapesAndLexerEdges) {
  run_cases(*this,
            {
                {R"(return ("\*\#\-\|\+\^"):byte(1, -1))", "1 2 3 4 5 6"},
                {R"(return "\!")", "error: t:1: invalid escape sequence near '\"\\!'"},
                {"local a, b = 1, 2 return a!=b", "true"},
                {"local a, b = 1, 2 local c = a ! = b", "error: t:1: unexpected symbol near '!'"},
                {"local x = 64 x >>>= 1", "error: t:1: syntax error near '>>'"},
                {"local x = 1 x //= 1", "error: t:1: syntax error near '//'"},
                {"return [[a\nb]] .. 'c'", "a\nbc"},
            });
}

TEST_F(Dialect, BinaryNumerals) {
  run_cases(
      *this,
      {
          {"return 0b101, 0B11, -0b1, 0b1.1, 0b.1, 0b1., 0x1b", "5 3 -1 1.5 0.5 1.0 27"},
          {"return tonumber(' 0b101 '), tonumber('0b1p4'), tonumber('0b1.1p-1'), '0b101' + 1",
           "5 16.0 0.75 6"},
          {"return tonumber('0b'), tonumber('0b12'), tonumber('0b1e1'), tonumber('0b1.1.1'), "
           "tonumber('0b1p')",
           "nil nil nil nil nil"},
          {"return 0b11111111111111111111111111111111111111111111111111111111111111111", "-1"},
          // huge exponents scale to infinity or zero (no integer overflow on the way)
          {"return tonumber('0b1p99999999999999'), tonumber('0b1p-99999999999999'), "
           "tonumber('-0b1.1p2147483648')",
           "inf 0.0 -inf"},
          {"return 0b12", "error: t:1: malformed number near '0b12'"},
          {"return 0b1p4", "error: t:1: malformed number near '0b1p'"},
      });
}

TEST_F(Dialect, IntegerDivisionAndModuloByZero) {
  run_cases(*this, {
                       {"return 7 // 0, -7 // 0, 0 // 0",
                        "9223372036854775807 -9223372036854775807 9223372036854775807"},
                       {"return 7 % 0, -7 % 0, 7 % -1", "0 0 0"},
                       {"return math.mininteger // -1, math.mininteger % -1, 7 // -1",
                        "-9223372036854775808 0 -7"},
                       {"local z = 0 return 7 // z, 7 % z", "9223372036854775807 0"},
                       {"return 7.0 // 0, 7 % 0.0 ~= 7 % 0.0", "inf true"},
                       {"return '7' // '0', math.type('7' // '0')", "9223372036854775807 integer"},
                       {"return math.fmod(7, 0), math.type(math.fmod(7, 0)), math.fmod(7.0, 0) ~= "
                        "math.fmod(7.0, 0)",
                        "0 integer true"},
                   });
  // The constant divisor is not folded: the code divides at run time.
  EXPECT_EQ(run("return string.dump(function() return 7 // 0 end):find('\\x00') ~= nil"), "true");
}

TEST_F(Dialect, MemoryReads) {
  poke(0x5000, 0xFF);
  poke(0x5001, 0xFF);
  poke4(0x6000, 0x80000000u);
  poke8(0x7000, 0x0102030405060708ull);
  run_cases(*this,
            {
                {"return @0x5000, @20480.0, %0x5000, $0x6000, *0x7000",
                 "255 255 -1 -2147483648 72623859790382856"},
                {"local a = 0x5000 return @a + 1, 3 * 4, %a", "256 12 -1"},
                {"return @(0x5000 | (1 << 40)), @-1, @0x1005000", "255 0 255"},
                {"return @1.5", "error: t:1: attempt to perform arithmetic on a number value"},
                {"local s = '20480' return @s",
                 "error: t:1: attempt to perform arithmetic on a string value (local 's')"},
                {"return @{}", "error: t:1: attempt to perform arithmetic on a table value"},
                {"local b = 7 local x = b %3 return x", "1"},
                {"@a", "error: t:1: unexpected symbol near '@'"},
            });
}

TEST_F(Dialect, StockChunksAreRefused) {
  // A chunk with the stock format byte (0): header of a stock 5.4 chunk.
  std::string chunk = std::string(LUA_SIGNATURE) + "\x54" + std::string(1, '\0') +
                      "\x19\x93\r\n\x1a\n"
                      "\x04\x08\x08"
                      "xV\0\0\0\0\0\0"
                      "\0\0\0\0\0\x28\x77\x40";
  chunk.resize(4 + 2 + 6 + 3 + 8 + 8);
  ASSERT_EQ(luaL_loadbuffer(L, chunk.data(), chunk.size(), "=c"), LUA_ERRSYNTAX);
  EXPECT_STREQ(lua_tostring(L, -1), "c: bad binary format (format mismatch)");
  // Our own chunks load and run.
  EXPECT_EQ(run("return load(string.dump(function() local a = 2 a += 3 return a end))()"), "5");
}

TEST_F(Dialect, LimitsOfTheStack) {
  EXPECT_EQ(run("local function f(n) if n == 0 then return 0 end return 1 + f(n - 1) end "
                "return f(20000)"),
            "20000");
  EXPECT_NE(run("local function f(n) if n == 0 then return 0 end return 1 + f(n - 1) end "
                "return f(200000)")
                .find("stack overflow"),
            std::string::npos);
  EXPECT_EQ(run("return select('#', table.unpack({}, 1, 99000))"), "99000");
  EXPECT_EQ(run("return table.unpack({}, 1, 100001)"), "error: t:1: too many results to unpack");
}

struct LibSet : ::testing::Test {
  lua_State *L = luaL_newstate();
  void SetUp() override {
    cpu_slice_begin(CPU_UNBUDGETED);
    lang_openlibs(L);
  }
  void TearDown() override { lua_close(L); }
  std::string eval(const char *code) {
    lua_settop(L, 0);
    if (luaL_dostring(L, code) != LUA_OK) return std::string("error: ") + lua_tostring(L, -1);
    std::string out;
    for (int i = 1; i <= lua_gettop(L); i++)
      out += std::string(i > 1 ? " " : "") + luaL_tolstring(L, i, nullptr), lua_pop(L, 1);
    return out;
  }
  int32_t cycles_of(const char *code) {
    cpu_budget.cycles = 0;
    EXPECT_EQ(luaL_dostring(L, code), LUA_OK) << lua_tostring(L, -1);
    return cpu_budget.cycles;
  }
};

TEST_F(LibSet, HoldsOnlyTheWorkstationFunctions) {
  EXPECT_EQ(eval("return string.dump, table.sort, debug.setcstacklimit, xpcall, dofile, loadfile, "
                 "require, io, os, load, package"),
            "nil nil nil nil nil nil nil nil nil nil nil");
  EXPECT_EQ(eval("return type(print), type(coroutine.wrap), type(table.move), type(string.pack), "
                 "type(math.fmod), type(utf8.char), type(debug.traceback), _VERSION"),
            "function function function function function function function Lua 5.4");
  EXPECT_EQ(eval("return package"), "nil");
}

TEST_F(LibSet, Tonum) {
  EXPECT_EQ(eval("return tonum('0x10'), tonum(' 12 '), tonum(true), tonum(false), tonum(2.5), "
                 "math.type(tonum(3)), tonum('0b11')"),
            "16 12 1 0 2.5 integer 3");
  EXPECT_EQ(eval("return select('#', tonum('12a')), select('#', tonum({})), select('#', tonum()), "
                 "select('#', tonum(nil)), select('#', tonum('1\\0'))"),
            "0 0 0 0 0");
}

TEST_F(LibSet, TableFunctionsChargeTheirWork) {
  // Each pair runs the same instructions, so the difference is the charge.
  eval("t = {} for i = 1, 1000 do t[i] = i end P = 1");
  int32_t front = cycles_of("table.insert(t, P, 0)");  // 1000 moved up
  eval("P = #t + 1");
  int32_t back = cycles_of("table.insert(t, P, 0)");  // none moved: 1
  EXPECT_EQ(front - back, 999);
  EXPECT_EQ(cycles_of("table.insert(t, 0)") + 0, cycles_of("table.insert(t, 0)"));
  eval("t = {} for i = 1, 1000 do t[i] = i end P = 1");
  int32_t first = cycles_of("table.remove(t, P)");  // 999 moved down
  eval("P = #t");
  int32_t last = cycles_of("table.remove(t, P)");  // 1
  eval("P = #t + 1");
  int32_t past = cycles_of("table.remove(t, P)");  // nothing
  EXPECT_EQ(first - last, 998);
  EXPECT_EQ(last - past, 1);
  int32_t unpack0 = cycles_of("table.unpack({}, 1, 0)");
  EXPECT_EQ(cycles_of("table.unpack({}, 1, 3)") - unpack0, 6);
  // Lengths at the integer limits (from __len) move nothing, so they charge
  // next to nothing, not the wrapped difference of position and length.
  eval(
      "big = setmetatable({}, {__len = function() return math.maxinteger end}) "
      "low = setmetatable({}, {__len = function() return math.mininteger end})");
  EXPECT_LT(cycles_of("table.insert(big, 1, 0)"), 100);
  EXPECT_LT(cycles_of("table.remove(low, 1)"), 100);
  EXPECT_LT(cycles_of("table.remove(low, math.mininteger + 1)"), 100);
  int32_t pack0 = cycles_of("table.pack()");
  // The longer source also costs the lexer a cycle per 4 bytes more.
  EXPECT_EQ(cycles_of("table.pack(1, 2, 3)") - pack0,
            3 /* LOADI */ + 6 - 1 + (19 / 4 - 12 / 4) /* lexer */);
}

}  // namespace
