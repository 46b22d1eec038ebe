// What every benchmark program shares: the smoke pass, the reporter that
// keeps each run's rate, and the line that prints a ratio beside its goal.
//
// Smoke pass: with KVD_BENCH_SMOKE=1 in the environment (the test suite sets
// it), a benchmark program runs each benchmark once at a tiny size, only to
// show that it still builds, runs and ends; its figures mean nothing then.
// Every benchmark file keeps to this:
//  - sizes of data and workloads come from bench_size(full, tiny);
//  - main() calls bench_initialize(argc, argv) in place of
//    benchmark::Initialize, which in the smoke pass runs one iteration each;
//  - a benchmark that sets its own ->Iterations(n) or ->MinTime(s) passes
//    bench_iterations(n) or bench_min_time(s), which the smoke pass caps;
//  - benchmarks report through bench_reporter (or ratio_reporter), and
//    main returns bench_exit_code(), so a failed run fails the smoke test;
//  - every ratio is printed by bench_print_goal, beside its goal.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

// True when KVD_BENCH_SMOKE is set to anything but "" or "0".
inline bool bench_smoke() {
  const char *v = std::getenv("KVD_BENCH_SMOKE");
  return v && *v && std::strcmp(v, "0") != 0;
}

// The size to run at: full normally, tiny in the smoke pass.
inline int64_t bench_size(int64_t full, int64_t tiny) { return bench_smoke() ? tiny : full; }
inline int64_t bench_iterations(int64_t n) { return bench_smoke() ? 1 : n; }
inline double bench_min_time(double seconds) { return bench_smoke() ? 1e-9 : seconds; }

// benchmark::Initialize, with one iteration a benchmark in the smoke pass
// (flags given on the command line still win: they come later).
inline void bench_initialize(int *argc, char **argv) {
  static std::vector<char *> args;
  static char min_time[] = "--benchmark_min_time=1e-9";
  static char warmup[] = "--benchmark_min_warmup_time=0";
  args.assign(argv, argv + *argc);
  if (bench_smoke() && !args.empty()) {
    args.insert(args.begin() + 1, warmup);
    args.insert(args.begin() + 1, min_time);
  }
  int n = int(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&n, args.data());
  *argc = n;
  for (int i = 0; i <= n; i++) argv[i] = i < n ? args[size_t(i)] : nullptr;
}

// How a ratio compares with its goal; `none` for a figure shown without one.
enum class bench_goal { at_least, at_most, none };

// The ratio of two rates (or times) of one run, NaN when either was not
// measured (a name filter left it out): bench_print_goal says "not run" then.
inline double bench_ratio(double over, double under) {
  return over > 0 && under > 0 ? over / under : std::nan("");
}

// Prints one line: the measure, its ratio, the goal and whether it is met
// (the smoke pass prints the figure without a verdict; a NaN ratio, a pair
// not measured, prints "not run" and never a verdict). `baseline` says what
// the ratio is taken against.
inline void bench_print_goal(const char *measure, double ratio, bench_goal kind, double goal,
                             const char *baseline) {
  if (std::isnan(ratio)) {
    std::printf("%-30s %9s   %-17s %s\n", measure, "-", "not run", baseline);
    return;
  }
  if (kind == bench_goal::none) {
    std::printf("%-30s %9.3f   %-17s %s\n", measure, ratio, "(no goal)", baseline);
    return;
  }
  bool met = kind == bench_goal::at_least ? ratio >= goal : ratio <= goal;
  std::printf("%-30s %9.3f   %s %-6.3g %-7s %s\n", measure, ratio,
              kind == bench_goal::at_least ? ">=" : "<=", goal,
              bench_smoke() ? "(smoke)"
              : met         ? "met"
                            : "MISSED",
              baseline);
}

// The header line above bench_print_goal's lines.
inline void bench_print_goal_header(const char *title) {
  std::printf("\n%-30s %9s   %-17s %s\n", title, "ratio", "goal", "against");
}

// The console reporter that also counts runs that failed (SkipWithError), so
// that a benchmark that can no longer run fails its smoke test: main returns
// bench_exit_code().
inline int &bench_failed_runs() {
  static int n = 0;
  return n;
}
inline int bench_exit_code() { return bench_failed_runs() ? 1 : 0; }

struct bench_reporter : benchmark::ConsoleReporter {
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &r : runs)
      if (r.error_occurred) bench_failed_runs()++;
    ConsoleReporter::ReportRuns(runs);
  }
};

struct ratio_reporter : bench_reporter {
  explicit ratio_reporter(const char *counter = "bytes_per_second") : counter(counter) {}
  std::string counter;
  std::map<std::string, double> rate;
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &r : runs) {
      auto it = r.counters.find(counter);
      if (it != r.counters.end()) rate[r.benchmark_name()] = it->second.value;
    }
    bench_reporter::ReportRuns(runs);
  }
};
