// Start-up of the workstation program, run headless, side by side in one run:
// a program that asks to exit in its first frame (wall time from spawn to exit
// and peak resident memory: the cost of building the workstation and tearing
// it down), and the sample system ROM's boot to its first frame (the first
// line on standard output) against it.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern char **environ;

namespace {

namespace fs = std::filesystem;

struct start_figures {
  double to_first_line = -1;  // seconds from spawn to the first line on standard output
  double to_exit = 0;         // seconds from spawn to the end of the process
  double peak_mb = 0;         // peak resident memory, MiB
};

// A folder holding a copy of the program and its system ROM.
std::string prepare(const std::string &name, const char *rom) {
  fs::path dir = fs::temp_directory_path() / ("kvd_bench_startup_" + name);
  fs::remove_all(dir);
  fs::create_directories(dir);
  fs::copy_file(KVD_KAVELUND, dir / "kavelund");
  fs::copy_file(rom, dir / "sysrom.dat");
  return dir.string();
}

// Runs the program; with stop_at_first_line it is ended (by its own pid) as
// soon as its first line arrives, since a ROM that boots on runs for ever.
start_figures run_program(const std::string &dir, bool stop_at_first_line) {
  std::string exe = dir + "/kavelund", home = dir + "/appdata";
  std::vector<std::string> args = {exe, "-x", "-home", home};
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int out[2];
  if (pipe(out) != 0) std::abort();
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_addclose(&fa, out[0]);
  setenv("SDL_VIDEODRIVER", "dummy", 1);
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  auto t0 = std::chrono::steady_clock::now();
  auto since = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  };
  pid_t pid;
  if (posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv.data(), environ) != 0) std::abort();
  posix_spawn_file_actions_destroy(&fa);
  close(out[1]);
  start_figures f;
  char c;
  while (read(out[0], &c, 1) == 1) {
    if (c == '\n' && f.to_first_line < 0) {
      f.to_first_line = since();
      if (stop_at_first_line) {
        kill(pid, SIGKILL);
        break;
      }
    }
  }
  close(out[0]);
  int status;
  struct rusage ru;
  wait4(pid, &status, 0, &ru);
  f.to_exit = since();
  f.peak_mb = double(ru.ru_maxrss) / 1024.0;  // kilobytes on this host
  return f;
}

double stop_at_once_s, stop_at_once_peak_mb, first_frame_s, first_frame_peak_mb;

void BM_start_of_a_program_that_stops_at_once(benchmark::State &state) {
  std::string dir = prepare("exit_now", KVD_ROM_EXIT_NOW);
  double total = 0, peak = 0;
  for (auto _ : state) {
    start_figures f = run_program(dir, false);
    state.SetIterationTime(f.to_exit);
    total += f.to_exit;
    peak = std::max(peak, f.peak_mb);
  }
  stop_at_once_s = total / double(state.iterations());
  stop_at_once_peak_mb = peak;
  state.counters["peak_MiB"] = peak;
}

void BM_sample_rom_to_its_first_frame(benchmark::State &state) {
  std::string dir = prepare("sample", KVD_SAMPLE_ROM);
  double total = 0, peak = 0;
  for (auto _ : state) {
    start_figures f = run_program(dir, true);
    state.SetIterationTime(f.to_first_line);
    total += f.to_first_line;
    peak = std::max(peak, f.peak_mb);
  }
  first_frame_s = total / double(state.iterations());
  first_frame_peak_mb = peak;
  state.counters["peak_MiB"] = peak;
}

BENCHMARK(BM_start_of_a_program_that_stops_at_once)
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_sample_rom_to_its_first_frame)
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf(
      "program that stops at once: %.2f ms (goal under 10), peak %.1f MiB (goal under 20)\n",
      stop_at_once_s * 1e3, stop_at_once_peak_mb);
  std::printf(
      "sample ROM to its first frame: %.2f ms, %.2fx the program that stops at once "
      "(goal at most 1.2), peak %.1f MiB\n",
      first_frame_s * 1e3, stop_at_once_s > 0 ? first_frame_s / stop_at_once_s : 0.0,
      first_frame_peak_mb);
  return 0;
}
