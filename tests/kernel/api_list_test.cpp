// List helpers: the cases of their rules, their charges, and the same
// operations against stock table.insert / table.remove in Debian's lua5.4.
#include <unistd.h>

#include <fstream>

#include "tests/kernel/kernel_fixture.h"

namespace {

struct api_list_test : kernel_fixture {
  // The cycles charged by one call of a function whose body is `body`.
  int32_t cycles_of(const std::string &body) {
    root_eval("__f = function() " + body + " end");
    cpu_budget.cycles = 0;
    root_eval("__f()");
    return cpu_budget.cycles;
  }
};

TEST_F(api_list_test, Cases) {
  struct {
    const char *code, *want;
  } cases[] = {
      {"local t = {} return add(t, 'x') .. #t .. t[1]", "x1x"},
      {"local t = {'a', 'b'} add(t, 'x', 1) return table.concat(t)", "xab"},
      {"local t = {'a', 'b'} add(t, 'x', 3) return table.concat(t)", "abx"},
      {"local t = {'a', 'b'} add(t, 'x', nil) return table.concat(t)", "abx"},
      {"return select(2, pcall(add, {'a', 'b'}, 'x', 4))",
       "bad argument #3 to 'add' (position out of bounds)"},
      {"return select(2, pcall(add, {}, 'x', 'nope'))",
       "bad argument #3 to 'add' (position out of bounds)"},
      {"return select('#', add({}))", "0"},
      {"return select(2, pcall(add, {}, 1, 2, 3))", "wrong number of arguments to 'insert'"},
      {"return select(2, pcall(add, 'str', 1))",
       "bad argument #1 to 'add' (table expected, got string)"},
      {"local t = {'a', 'b', 'c'} return deli(t) .. table.concat(t)", "cab"},
      {"local t = {'a', 'b', 'c'} return deli(t, 1) .. table.concat(t)", "abc"},
      {"local t = {'a', 'b', 'c'} return select('#', deli(t, 0)) .. select('#', deli(t, 4)) .. "
       "select('#', deli(t, nil)) .. table.concat(t)",
       "000abc"},
      {"return select(2, pcall(deli))", "bad argument #1 to 'deli' (table expected, got no value)"},
      {"local t = {'a', 'b', 'c', 'b'} return del(t, 'b') .. table.concat(t)", "bacb"},
      {"local t = {'a'} return select('#', del(t, 'z')) .. select('#', del('s', 1)) .. "
       "select('#', del(t)) .. #t",
       "0001"},
      {"return count({'a', 'b', 'c', 'b'}) .. count({'a', 'b', 'c', 'b'}, 'b') .. "
       "select('#', count(nil)) .. count({1, nil, 3}, nil)",
       "4201"},
      // __eq is honoured by del and count; raw access ignores __index.
      {"local mt = {__eq = function() return true end} local a, b = setmetatable({}, mt), "
       "setmetatable({}, mt) local t = {a} return count(t, b) .. tostring(del(t, b) == a) .. #t",
       "1true0"},
      {"local t = setmetatable({}, {__len = function() return 1.5 end}) "
       "return select(2, pcall(count, t))",
       "object length is not an integer"},
  };
  for (auto &c : cases) {
    std::string got = root_eval(c.code);
    size_t at = got.find(c.want);
    EXPECT_TRUE(at != std::string::npos && at + std::strlen(c.want) == got.size())
        << c.code << " gave " << got;
  }
}

TEST_F(api_list_test, ChargesFollowTheElementsMoved) {
  root_eval("big = {} for i = 1, 100 do big[i] = i end");
  struct {
    const char *code;
    int32_t cycles;
  } cases[] = {
      {"add(big, 0, 1)", 100},  // 100 moved
      {"deli(big, 1)", 100},    // 100 moved back
      {"del(big, 1)", 100},     // found first, still the whole list
      {"count(big, 5)", 99},    // 99 left
      {"count(big)", 1},       {"add({}, 1, 1)", 1},
  };
  int32_t base = cycles_of("");
  for (auto &c : cases) {
    int32_t used = cycles_of(c.code) - base;
    // Beyond the charge, only the call's own few instructions.
    EXPECT_GE(used, c.cycles) << c.code;
    EXPECT_LT(used, c.cycles + 20) << c.code;
  }
}

// A huge length (from '__len') cannot hold the host: inside a slice, a walk
// that would run far past the budget fails before it starts, whatever the
// length (the test of the bound cannot overflow), and an insertion whose end
// wraps is out of bounds.
TEST_F(api_list_test, HugeLengthsFailInsteadOfHoldingTheHost) {
  struct row {
    const char *call;
    const char *error;
  };
  const row rows[] = {
      {"count(huge, 1)", CPU_OVERRUN_MESSAGE},      {"del(huge, 2)", CPU_OVERRUN_MESSAGE},
      {"add(huge, 0, 1)", CPU_OVERRUN_MESSAGE},     {"deli(huge, 1)", CPU_OVERRUN_MESSAGE},
      {"count(top, 1)", CPU_OVERRUN_MESSAGE},       {"del(top, 2)", CPU_OVERRUN_MESSAGE},
      {"deli(top, 1)", CPU_OVERRUN_MESSAGE},        {"deli(top, 2)", CPU_OVERRUN_MESSAGE},
      {"add(top, 0, 1)", "position out of bounds"},
  };
  root_eval(
      "local mt = {__index = function() return 1 end, __newindex = function() end} "
      "huge = setmetatable({}, {__len = function() return 2^40 end, "
      "__index = mt.__index, __newindex = mt.__newindex}) "
      "top = setmetatable({}, {__len = function() return math.maxinteger end, "
      "__index = mt.__index, __newindex = mt.__newindex})");
  int32_t saved_max = cpu_budget.cycles_max;
  for (const row &r : rows) {
    cpu_budget.cycles = 0;
    cpu_budget.cycles_max = 1000;
    std::string got = root_eval(std::string("return ") + r.call);
    EXPECT_NE(got.find(r.error), std::string::npos) << r.call << " gave " << got;
    EXPECT_LT(cpu_budget.cycles, 1000 + CPU_OVERRUN_LIMIT) << r.call;
  }
  // Within the bound the walk runs and leaves debt, up to the largest that
  // fits under it.
  for (int64_t n : {int64_t(500000), CPU_OVERRUN_LIMIT - 1000}) {
    cpu_budget.cycles = 0;
    cpu_budget.cycles_max = 1000;
    EXPECT_EQ(root_eval("return count(setmetatable({}, {__len = function() return " +
                        std::to_string(n) + " end}), 1)"),
              "0");
    EXPECT_GE(cpu_budget.cycles, n);
  }
  cpu_budget.cycles_max = saved_max;
  cpu_budget.cycles = 0;
}

// The same sequence of list operations run with the workstation's helpers
// and with stock table functions in lua5.4: the same contents, the same
// results and the same errors (argument numbers and function names aside,
// which differ by design).
TEST_F(api_list_test, MatchesStockTableFunctions) {
  if (access("/usr/bin/lua5.4", X_OK) != 0) GTEST_SKIP() << "no lua5.4";
  const char *script = R"(
local out = {}
local function show(t) local r = {} for i = 1, #t do r[i] = tostring(t[i]) end return table.concat(r, ',') end
local function try(f, ...)
  local r = table.pack(pcall(f, ...))
  if not r[1] then
    local e = tostring(r[2]):gsub("^[^:]*:%d+: ", ""):gsub("#%d to '[%w_.]+'", "#N to F")
    return 'error: ' .. e
  end
  return tostring(r[2])
end
local proxy_store = {}
local proxy = setmetatable({}, {__index = proxy_store, __newindex = proxy_store,
                                __len = function() return #proxy_store end})
for _, t in ipairs({{}, {1, 2, 3}, {'a', 'b', 'c', 'd', 'e'}, proxy}) do
  out[#out + 1] = try(ADD, t, 'x') .. ' ' .. show(t)
  out[#out + 1] = try(ADD, t, 'y', 1) .. ' ' .. show(t)
  out[#out + 1] = try(ADD, t, 'z', #t + 1) .. ' ' .. show(t)
  out[#out + 1] = try(ADD, t, 'w', 2) .. ' ' .. show(t)
  out[#out + 1] = try(ADD, t, 'v', #t + 2) .. ' ' .. show(t)
  out[#out + 1] = try(ADD, t, 'v', 0) .. ' ' .. show(t)
  out[#out + 1] = try(ADD, t, 1, 2, 3) .. ' ' .. show(t)
  out[#out + 1] = try(DELI, t) .. ' ' .. show(t)
  out[#out + 1] = try(DELI, t, 1) .. ' ' .. show(t)
  out[#out + 1] = try(DELI, t, 2) .. ' ' .. show(t)
  out[#out + 1] = try(DELI, t, #t) .. ' ' .. show(t)
end
local bad_values = {n = 4, nil, 5, 'str', function() end}
for i = 1, bad_values.n do
  local bad = bad_values[i]
  out[#out + 1] = try(ADD, bad, 1)
  out[#out + 1] = try(DELI, bad, 1)
end
return table.concat(out, '\n')
)";
  const char *stock = R"(
ADD = function(t, v, ...)
  if select('#', ...) == 0 then table.insert(t, v) elseif select('#', ...) == 1 then
  table.insert(t, ..., v) else table.insert(t, v, ...) end return v end
DELI = function(t, ...) return table.remove(t, ...) end
)";
  std::string path = testing::TempDir() + "kvd_list_ref_" + std::to_string(getpid()) + ".lua";
  std::ofstream(path) << stock << "io.write((function() " << script << " end)())";
  std::string want = command_output("/usr/bin/lua5.4 " + path);
  ASSERT_GT(want.size(), 100u);
  EXPECT_EQ(root_eval(std::string("ADD, DELI = add, deli ") + script), want);
}

}  // namespace
