// The cost model: for each of the big calls a program can make, the cycles
// the call is charged beside the host time it takes, each run in a process
// of its own as a slice would run it (without a budget, so that nothing is
// refused and the whole charge is seen). Prints, a call a line, the time the
// charge stands for (a frame's budget for a sixtieth of a second) over the
// time measured: 1 is a call charged as it takes, 10 one charged ten times
// over, 0.1 one that holds the host ten times longer than it pays for. It
// only reports: the charges belong to the subsystems that make them.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include <benchmark/benchmark.h>

#include "base/config.h"
#include "base/cpu_budget.h"
#include "machine/alloc.h"
#include "machine/process.h"
#include "lang/lua_api.h"
#include "kernel/process_life.h"
#include "kernel/startup.h"
#include "tools/bench/bench_ratio.h"

namespace {

// A call: `setup` runs once in the call's process, `prep` (not measured,
// not charged) before each run and `run` is the measured call.
struct cost_case {
  const char *name;
  std::string setup, prep, run;
};

std::string n(int64_t full, int64_t tiny) { return std::to_string(bench_size(full, tiny)); }

const std::vector<cost_case> &cases() {
  static const std::vector<cost_case> all = {
      {"string.find plain",
       "S = string.rep('a', " + n(1 << 18, 64) + ") N = string.rep('a', " + n(1023, 7) + ") .. 'b'",
       "", "string.find(S, N, 1, true)"},
      {"string.find %b()", "S = string.rep('(', " + n(3000, 30) + ")", "",
       "string.find(S, '%b()')"},
      {"string ==",
       "A = string.rep('x', " + n(4 << 20, 64) + ") B = string.rep('x', " + n(4 << 20, 64) + ")",
       "", "local same = A == B"},
      {"utf8.len", "U = string.rep('\\u{e9}', " + n(1 << 19, 16) + ")", "", "utf8.len(U)"},
      {"sort 1M f64",
       "SRC = userdata('f64', " + n(1000000, 64) +
           ") for i = 0, #SRC - 1 do SRC[i] = (i * 7919) % 1000003 end",
       "SORTED = SRC + 0", "SORTED:sort()"},
      {"matmul f64 400",
       "MA = userdata('f64', " + n(400, 4) + ", " + n(400, 4) + ") MB = userdata('f64', " +
           n(400, 4) + ", " + n(400, 4) +
           ") for i = 0, #MA - 1 do MA[i] = i % 17 MB[i] = i % 13 end",
       "", "MA:matmul(MB)"},
      {"circfill big", "_set_draw_target(userdata('u8', " + n(2048, 32) + ", " + n(2048, 32) + "))",
       "", "circfill(" + n(1024, 16) + ", " + n(1024, 16) + ", " + n(1000, 14) + ", 7)"},
      {"map draw 1x1 tiles",
       "_set_draw_target(userdata('u8', " + n(2048, 32) + ", " + n(2048, 32) +
           ")) local s = userdata('u8', 1, 1) s[0] = 7 _set_spr(1, s) "
           "M = userdata('i16', " +
           n(2048, 32) + ", " + n(2048, 32) + ") for i = 0, #M - 1 do M[i] = 1 end",
       "", "_draw_map(M, 0, 0, 0, 0, " + n(2048, 32) + ", " + n(2048, 32) + ", 0, 1, 1)"},
      {"convert indexed",
       "CV = userdata('i16', " + n(1024, 16) + ", " + n(1024, 16) +
           ") for i = 0, #CV - 1 do CV[i] = i % 1000 end",
       "", "CV:convert('u8', true)"},
      {"peek whole memory", "PK = userdata('u8', " + n(16 << 20, 4096) + ")", "", "PK:peek(0)"},
      {"collectgarbage many objects", "T = {} for i = 1, " + n(300000, 100) + " do T[i] = {} end",
       "", "collectgarbage()"},
  };
  return all;
}

// Runs code in p's state as its slice would; false (and a message) when it fails.
bool run_in(proc *p, const std::string &code) {
  lua_State *L = p->L;
  p->slice_depth++;
  int rc = luaL_loadstring(L, code.c_str());
  if (rc == LUA_OK) rc = lua_pcall(L, 0, 0, 0);
  p->slice_depth--;
  if (rc != LUA_OK) {
    std::fprintf(stderr, "%s: %s\n", code.c_str(), lua_tostring(L, -1));
    lua_pop(L, 1);
  }
  return rc == LUA_OK;
}

void bench_call(benchmark::State &st, const cost_case *c) {
  config.headless = 1;
  reset_subsystems();
  proc *p = create_process_from_code("", "[cost]", "[cost]", "");
  if (!p) {
    st.SkipWithError("no process");
    return;
  }
  procs.root = p;
  set_current_process(p);
  cpu_slice_begin(CPU_OUTSIDE_SLICE);
  if (!run_in(p, c->setup)) {
    st.SkipWithError("setup failed");
    return;
  }
  int64_t cycles = 0;
  for (auto _ : st) {
    st.PauseTiming();
    if (!c->prep.empty()) run_in(p, c->prep);
    lua_State *L = p->L;
    p->slice_depth++;
    int rc = luaL_loadstring(L, c->run.c_str());
    cpu_slice_begin(CPU_OUTSIDE_SLICE);
    st.ResumeTiming();
    if (rc == LUA_OK) rc = lua_pcall(L, 0, 0, 0);
    st.PauseTiming();
    cycles += cpu_budget.cycles;
    p->slice_depth--;
    if (rc != LUA_OK) {
      st.SkipWithError(lua_tostring(L, -1));
      lua_pop(L, 1);
      st.ResumeTiming();
      break;
    }
    st.ResumeTiming();
  }
  st.counters["cycles"] = benchmark::Counter(double(cycles), benchmark::Counter::kAvgIterations);
  reset_subsystems();
}

struct cost_reporter : bench_reporter {
  std::map<std::string, double> cycles, seconds;
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &r : runs) {
      auto it = r.counters.find("cycles");
      if (it == r.counters.end() || r.iterations <= 0) continue;
      cycles[r.run_name.function_name] = it->second.value;
      seconds[r.run_name.function_name] = r.real_accumulated_time / double(r.iterations);
    }
    bench_reporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char **argv) {
  alloc_keep_freed_memory();
  for (const cost_case &c : cases())
    benchmark::RegisterBenchmark(c.name, bench_call, &c)
        ->Iterations(bench_iterations(3))
        ->Unit(benchmark::kMillisecond);
  bench_initialize(&argc, argv);
  cost_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  bench_print_goal_header("cost model (charged over taken)");
  // A frame's budget pays for a sixtieth of a second.
  const double seconds_per_cycle = 1.0 / (60.0 * CPU_CYCLES_PER_FRAME);
  for (const cost_case &c : cases()) {
    std::string measure = c.name;
    double charged = reporter.cycles.count(measure) ? reporter.cycles[measure] : 0;
    double taken = reporter.seconds.count(measure) ? reporter.seconds[measure] : 0;
    char against[96];
    std::snprintf(against, sizeof against, "%.0f cycles = %.2f ms charged, %.2f ms taken", charged,
                  charged * seconds_per_cycle * 1e3, taken * 1e3);
    bench_print_goal(c.name, bench_ratio(charged * seconds_per_cycle, taken), bench_goal::none, 0,
                     against);
  }
  benchmark::Shutdown();
  return bench_exit_code();
}
