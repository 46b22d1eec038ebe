// Classic interpreter workloads on the dialect's interpreter, on an
// unpatched build of the same Lua source with the same flags, and on
// Debian's lua5.4 as the outside anchor. Each run is a separate process
// (the two builds define the same symbols); the ratios of the processes' CPU
// time (less sensitive than wall time to a busy machine) against the
// unpatched build are printed after the runs.
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include <benchmark/benchmark.h>

#include "tools/bench/bench_ratio.h"

namespace {

// Each workload's code reads its size from N, set before it: full size
// normally, tiny in the smoke pass.
struct workload {
  const char *name;
  const char *code;
  int full, tiny;
};

constexpr workload workloads[] = {
    {"calls",
     "local function fib(n) if n < 2 then return n end return fib(n-1) + fib(n-2) end "
     "print(fib(N))",
     30, 5},
    {"tables",
     "local t = {} for i = 1, 3 * N do t[i] = i * 2 end local s = 0 "
     "for r = 1, 10 do for i = 1, #t do s = s + t[i] end end "
     "local h = {} for i = 1, N do h['k' .. (i % 1000)] = i end print(s)",
     100000, 100},
    {"strings",
     "local parts = {} for i = 1, N do parts[#parts + 1] = tostring(i) .. ',' end "
     "local s = table.concat(parts) local n = 0 for w in s:gmatch('%d+') do n = n + 1 end "
     "print(#s, n)",
     200000, 100},
    {"closures",
     "local function make(k) return function(x) return x + k end end local s = 0 "
     "for i = 1, N do local f = make(i) s = f(s) % 1000003 end print(s)",
     2000000, 100},
};

struct interp {
  const char *name;
  const char *path;
};

constexpr interp interps[] = {
    {"patched", KVD_LUAI},
    {"unpatched", KVD_LUAI_REF},
    {"lua5.4", "/usr/bin/lua5.4"},
};

std::map<std::string, std::pair<double, long>> seconds;  // CPU total, runs

double children_cpu_seconds() {
  rusage u;
  getrusage(RUSAGE_CHILDREN, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::string script_path(const workload &w) {
  std::string path = std::string(P_tmpdir) + "/kvd_bench_lang_" + w.name + ".lua";
  std::ofstream(path) << "local N = " << bench_size(w.full, w.tiny) << " " << w.code << "\n";
  return path;
}

void run_workload(benchmark::State &state, const workload &w, const interp &in) {
  std::string cmd = std::string(in.path) + " " + script_path(w) + " > /dev/null";
  for (auto _ : state) {
    double t0 = children_cpu_seconds();
    if (std::system(cmd.c_str()) != 0) {
      state.SkipWithError("interpreter failed");
      return;
    }
    auto &acc = seconds[std::string(w.name) + "/" + in.name];
    acc.first += children_cpu_seconds() - t0;
    acc.second++;
  }
}

double mean(const std::string &key) {
  auto it = seconds.find(key);
  return it == seconds.end() || it->second.second == 0 ? 0 : it->second.first / it->second.second;
}

}  // namespace

int main(int argc, char **argv) {
  for (const workload &w : workloads)
    for (const interp &in : interps)
      benchmark::RegisterBenchmark((std::string(w.name) + "/" + in.name).c_str(),
                                   [&w, &in](benchmark::State &s) { run_workload(s, w, in); })
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime()
          ->MinTime(bench_min_time(1.0));
  bench_initialize(&argc, argv);
  bench_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  bench_print_goal_header("workload (CPU time ratio)");
  for (const workload &w : workloads) {
    std::string name(w.name);
    double base = mean(name + "/unpatched"), patched = mean(name + "/patched"),
           stock = mean(name + "/lua5.4");
    if (base <= 0 || stock <= 0) continue;
    bench_print_goal((name + " patched").c_str(), patched / base, bench_goal::at_most, 1.05,
                     "the unpatched build");
    bench_print_goal((name + " patched").c_str(), patched / stock, bench_goal::at_most, 1.00,
                     "/usr/bin/lua5.4");
  }
  return bench_exit_code();
}
