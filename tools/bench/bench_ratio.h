// The reporter every benchmark program prints its ratios with: it prints
// each run as usual and keeps its rate (one counter, by benchmark name) for
// the ratios against a baseline measured in the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

struct ratio_reporter : benchmark::ConsoleReporter {
  explicit ratio_reporter(const char *counter = "bytes_per_second") : counter(counter) {}
  std::string counter;
  std::map<std::string, double> rate;
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &r : runs) {
      auto it = r.counters.find(counter);
      if (it != r.counters.end()) rate[r.benchmark_name()] = it->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
};
