// Pod text writing and reading of a large table (100k entries of mixed
// values) beside a baseline measured in the same run on the same data: a Lua
// loop of string.format("%q") for writing and load() for reading. Prints the
// speed ratios (baseline time / pod time) at the end.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

#include "lang/lua_api.h"
#include "pod/pod_lua.h"
#include "userdata/udata.h"

namespace {

const char *const setup_code = R"(
  local t = {}
  for i = 1, 100000 do
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

struct time_reporter : benchmark::ConsoleReporter {
  std::map<std::string, double> seconds;
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &r : runs) seconds[r.benchmark_name()] = r.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  time_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto &s = reporter.seconds;
  std::printf("\n%-8s %14s %14s %8s\n", "", "pod ms", "baseline ms", "ratio");
  std::printf("%-8s %14.2f %14.2f %8.2f  (string.format %%q loop / pod)\n", "write", s["write/pod"],
              s["write/baseline_format_q"], s["write/baseline_format_q"] / s["write/pod"]);
  std::printf("%-8s %14.2f %14.2f %8.2f  (load / unpod)\n", "read", s["read/unpod"],
              s["read/baseline_load"], s["read/baseline_load"] / s["read/unpod"]);
  benchmark::Shutdown();
  return 0;
}
