// Pod text writing and reading of a large table (100k entries of mixed
// values) beside a baseline measured in the same run on the same data: a Lua
// loop of string.format("%q") for writing and load() for reading. Prints the
// speed ratios (baseline time / pod time) at the end.
#include <cstdio>
#include <map>
#include <string>

#include <benchmark/benchmark.h>

#include "lang/lua_api.h"
#include "userdata/udata.h"
#include "pod/pod_lua.h"
#include "tools/bench/bench_ratio.h"

namespace {

// The table's size is N, set before this code.
const char *const setup_code = R"(
  local t = {}
  for i = 1, N do
    local r = i % 6
    if r == 0 then t[i] = i * 7919
    elseif r == 1 then t[i] = i / 7
    elseif r == 2 then t[i] = "item " .. i .. "\twith \"quotes\" and \200"
    elseif r == 3 then t[i] = (i % 2 == 0)
    elseif r == 4 then t[i] = {x = i, y = -i, name = "n" .. i}
    else t["key" .. i] = i end
  end
  data = t

  local fmt, concat, pairs, type = string.format, table.concat, pairs, type
  local function ser(v, out)
    if type(v) == "table" then
      out[#out + 1] = "{"
      for k, x in pairs(v) do
        out[#out + 1] = "["
        ser(k, out)
        out[#out + 1] = "]="
        ser(x, out)
        out[#out + 1] = ","
      end
      out[#out + 1] = "}"
    else
      out[#out + 1] = fmt("%q", v)
    end
  end
  function baseline_write(v)
    local out = {}
    ser(v, out)
    return concat(out)
  end
  function baseline_read(s) return load("return " .. s)() end
  pod_text = pod(data)
  baseline_text = baseline_write(data)
)";

lua_State *state() {
  static lua_State *L = [] {
    lua_State *s = luaL_newstate();
    luaL_openlibs(s);
    pod_register_lua(s);
    lua_pushinteger(s, bench_size(100000, 100));
    lua_setglobal(s, "N");
    if (luaL_dostring(s, setup_code) != LUA_OK) {
      std::fprintf(stderr, "setup: %s\n", lua_tostring(s, -1));
      std::exit(1);
    }
    return s;
  }();
  return L;
}

// Calls global function fn with global arg, discarding the result.
void call(lua_State *L, const char *fn, const char *arg) {
  lua_getglobal(L, fn);
  lua_getglobal(L, arg);
  lua_call(L, 1, 1);
  lua_pop(L, 1);
}

void bench_call(benchmark::State &st, const char *fn, const char *arg) {
  lua_State *L = state();
  for (auto _ : st) call(L, fn, arg);
}
BENCHMARK_CAPTURE(bench_call, write_pod, "pod", "data")
    ->Name("write/pod")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(bench_call, write_baseline, "baseline_write", "data")
    ->Name("write/baseline_format_q")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(bench_call, read_pod, "unpod", "pod_text")
    ->Name("read/unpod")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(bench_call, read_baseline, "baseline_read", "baseline_text")
    ->Name("read/baseline_load")
    ->Unit(benchmark::kMillisecond);

// Keeps each benchmark's CPU time (steadier than wall time on a busy machine:
// both sides run in this one thread).
struct time_reporter : bench_reporter {
  std::map<std::string, double> seconds;
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &r : runs) seconds[r.benchmark_name()] = r.GetAdjustedCPUTime();
    bench_reporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char **argv) {
  bench_initialize(&argc, argv);
  time_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto &s = reporter.seconds;
  bench_print_goal_header("pod (speed ratio)");
  bench_print_goal("write", s["write/baseline_format_q"] / s["write/pod"], bench_goal::at_least,
                   5.0, "string.format %q loop");
  bench_print_goal("read", s["read/baseline_load"] / s["read/unpod"], bench_goal::at_least, 3.0,
                   "load");
  benchmark::Shutdown();
  return bench_exit_code();
}
