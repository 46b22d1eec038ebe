// Whole-process figures of the workstation program, run headless: the time
// and peak resident memory of a program that asks to exit in its first frame
// (beside two yardsticks started the same way in the same run: /bin/true and
// a minimal SDL program that starts the same SDL systems and audio device),
// the time from start to the first frame of the sample system ROM (against
// that program), and the CPU cost of an idle frame and of an idle process in
// steady state: the program's CPU clock, and each thread's, read at lines
// the ROMs print. The frame figures are medians (of runs, and of the frames
// of a run): a loaded host makes single figures scatter.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "tools/bench/bench_ratio.h"

extern char **environ;

namespace {

namespace fs = std::filesystem;

// The sizes of every benchmark here, in one place. bench_frames is the
// frame count the idle ROM runs between its two lines and the crowd ROM in
// each of its two blocks.
constexpr int bench_frames = 120;
constexpr int start_iterations = 10;
constexpr int frame_iterations = 9;
// The longest a run may go without a line on standard output (a loaded
// host's start included) before it counts as stuck.
constexpr int quiet_limit_ms = 15000;

// CPU seconds of a running process at one moment: all its threads together,
// its main thread and the audio device's thread (-1 where not known: the
// audio thread not started, or a host without per-thread counters).
struct cpu_sample {
  double process = -1;
  double main = -1;
  double audio = -1;
};

struct run_figures {
  double to_first_line;                 // seconds from spawn to the first line on standard output
  double to_exit;                       // seconds from spawn to the end of the process
  double cpu;                           // user + system seconds of the whole process
  double peak_mib;                      // peak resident memory
  std::vector<cpu_sample> cpu_at_line;  // the process's CPU as each line came
  std::vector<std::string> lines;       // the lines themselves
};

// CPU seconds used so far by every thread of the running process pid.
double cpu_of(pid_t pid) {
  clockid_t clock;
  timespec t;
  if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &t) != 0) return -1;
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

// The scheduler's CPU seconds of thread tid of process pid (nanosecond
// counts, where the tick counts of stat are 10 ms coarse), -1 when unknown.
double thread_cpu_of(pid_t pid, const std::string &tid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + tid + "/schedstat");
  long long ns = -1;
  return in >> ns && ns >= 0 ? (double)ns / 1e9 : -1;
}

std::string thread_name_of(pid_t pid, const std::string &tid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + tid + "/comm");
  std::string name;
  std::getline(in, name);
  return name;
}

cpu_sample sample_cpu(pid_t pid) {
  cpu_sample s;
  s.process = cpu_of(pid);
  s.main = thread_cpu_of(pid, std::to_string(pid));
  DIR *dir = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
  if (!dir) return s;
  while (dirent *e = readdir(dir)) {
    std::string tid = e->d_name;
    // SDL names the thread that feeds the playback device SDLAudioP<n>.
    if (tid[0] != '.' && thread_name_of(pid, tid).rfind("SDLAudioP", 0) == 0)
      s.audio = thread_cpu_of(pid, tid);
  }
  closedir(dir);
  return s;
}

// The run's own temporary folder (another run on the same machine has its
// own), removed at the end of main.
const fs::path &run_root() {
  static const fs::path root = [] {
    std::string t = (fs::temp_directory_path() / "kvd_bench_kernel_XXXXXX").string();
    if (!mkdtemp(t.data())) std::abort();
    return fs::path(t);
  }();
  return root;
}

// An empty folder of that name in the run's folder.
fs::path fresh_folder(const std::string &name) {
  fs::path dir = run_root() / name;
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

// The ROM file the environment variable variable names, built_in when it is
// unset (a test gives ROMs that misbehave this way).
const char *rom_given(const char *variable, const char *built_in) {
  const char *given = std::getenv(variable);
  return given && *given ? given : built_in;
}

// A folder holding a copy of the program and, when given, a system ROM file.
std::string prepare(const std::string &name, const char *rom) {
  fs::path dir = fresh_folder(name);
  fs::copy_file(KVD_KAVELUND, dir / "kavelund");
  if (rom) fs::copy_file(rom, dir / "sysrom.dat");
  return dir.string();
}

// Runs args[0] with HOME in dir to its end, or, with stop_at_first_line,
// only to its first line on standard output.
run_figures run_command(const std::string &dir, std::vector<std::string> args,
                        bool stop_at_first_line) {
  const std::string &exe = args[0];
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
  setenv("HOME", dir.c_str(), 1);
  auto t0 = std::chrono::steady_clock::now();
  pid_t pid;
  if (posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv.data(), environ) != 0) std::abort();
  posix_spawn_file_actions_destroy(&fa);
  close(out[1]);
  run_figures f{-1.0, 0.0, 0.0, 0.0, {}, {}};
  std::string line;
  bool reading = true;
  while (reading) {
    // A program that stays quiet this long is stuck: it is stopped, and the
    // lines it printed so far are all the run has.
    pollfd pf = {out[0], POLLIN, 0};
    char buf[256];
    ssize_t n = 0;
    if (poll(&pf, 1, quiet_limit_ms) <= 0 || (n = read(out[0], buf, sizeof buf)) <= 0) {
      if (n == 0 && pf.revents) break;  // the end of the output
      kill(pid, SIGKILL);
      break;
    }
    for (ssize_t i = 0; i < n && reading; i++) {
      if (buf[i] != '\n') {
        line += buf[i];
        continue;
      }
      f.cpu_at_line.push_back(sample_cpu(pid));
      f.lines.push_back(line);
      line.clear();
      if (f.to_first_line < 0) {
        f.to_first_line =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (stop_at_first_line) {
          kill(pid, SIGKILL);
          reading = false;
        }
      }
    }
  }
  close(out[0]);
  int status;
  struct rusage ru;
  wait4(pid, &status, 0, &ru);
  f.to_exit = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  f.peak_mib = (double)ru.ru_maxrss / 1024.0;  // kilobytes on this host
  f.cpu = (double)ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + (double)ru.ru_stime.tv_sec +
          ru.ru_stime.tv_usec / 1e6;
  return f;
}

// Runs the workstation program in dir headless (see run_command; the sample
// system ROM runs until it is stopped).
run_figures run_program(const std::string &dir, bool stop_at_first_line = false) {
  return run_command(dir, {dir + "/kavelund", "-x", "-home", dir + "/appdata"}, stop_at_first_line);
}

std::map<std::string, double> results;  // seconds: the mean or median of each benchmark

void record(benchmark::State &state, const std::string &name, double total) {
  results[name] = total / (double)state.iterations();
}

// Records the median of the figures under name; nothing when there are none.
void record_median(const std::string &name, std::vector<double> figures) {
  if (figures.empty()) return;
  std::sort(figures.begin(), figures.end());
  size_t n = figures.size();
  results[name] = n % 2 ? figures[n / 2] : (figures[n / 2 - 1] + figures[n / 2]) / 2;
}

void BM_start_of_a_program_that_stops_at_once(benchmark::State &state) {
  std::string dir = prepare("exit_now", KVD_ROM_EXIT_NOW);
  double total = 0, peak = 0;
  for (auto _ : state) {
    run_figures f = run_program(dir);
    state.SetIterationTime(f.to_exit);
    total += f.to_exit;
    peak = std::max(peak, f.peak_mib);
  }
  record(state, "baseline start", total);
  results["baseline peak"] = peak;
}

// A yardstick's start and end, in a folder of its own.
void yardstick(benchmark::State &state, const char *name, const char *exe) {
  fs::path dir = fresh_folder(name);
  double total = 0;
  for (auto _ : state) {
    run_figures f = run_command(dir.string(), {exe}, false);
    state.SetIterationTime(f.to_exit);
    total += f.to_exit;
  }
  record(state, name, total);
}

void BM_start_of_bin_true(benchmark::State &state) { yardstick(state, "true", "/bin/true"); }
void BM_start_of_a_minimal_sdl_program(benchmark::State &state) {
  yardstick(state, "sdl", KVD_START_YARDSTICK);
}

void BM_start_to_first_frame_of_the_sample_rom(benchmark::State &state) {
  std::string dir = prepare("sample", KVD_SAMPLE_ROM);
  double total = 0;
  for (auto _ : state) {
    double s = run_program(dir, true).to_first_line;
    state.SetIterationTime(s);
    total += s;
  }
  record(state, "first frame", total);
}

// CPU seconds per frame of a ROM running bench_frames frames between its
// first two lines: the medians of the whole process (under name), of its main
// thread (name + " main") and of the audio thread (name + " audio"). A run
// that does not print both lines fails the benchmark.
void frame_cost(benchmark::State &state, const char *name, const char *rom) {
  std::string dir = prepare(name, rom);
  std::vector<double> process, main, audio;
  auto per_frame = [](double from, double to) {
    return from >= 0 && to >= 0 ? (to - from) / bench_frames : -1;
  };
  for (auto _ : state) {
    run_figures f = run_program(dir);
    const std::vector<cpu_sample> &at = f.cpu_at_line;
    bool marked = f.lines.size() >= 2 && f.lines[0] == "from" && f.lines[1] == "to";
    double s = marked ? per_frame(at[0].process, at[1].process) : -1;
    if (s < 0) {
      state.SkipWithError("the ROM did not print its two lines");
      break;
    }
    state.SetIterationTime(s > 0 ? s : 1e-9);
    process.push_back(s);
    if (double m = per_frame(at[0].main, at[1].main); m >= 0) main.push_back(m);
    if (double a = per_frame(at[0].audio, at[1].audio); a >= 0) audio.push_back(a);
  }
  record_median(name, process);
  record_median(std::string(name) + " main", main);
  record_median(std::string(name) + " audio", audio);
}

// The yardstick of the frame figures: the CPU this thread spends on one
// frame-long sleep a frame, the least any paced frame costs on this host.
void BM_one_sleep_a_frame(benchmark::State &state) {
  std::vector<double> figures;
  for (auto _ : state) {
    timespec from, to, frame = {0, 16000000};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &from);
    for (int i = 0; i < bench_frames; i++) nanosleep(&frame, nullptr);
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &to);
    double s = ((double)(to.tv_sec - from.tv_sec) + (double)(to.tv_nsec - from.tv_nsec) / 1e9) /
               bench_frames;
    state.SetIterationTime(s > 0 ? s : 1e-9);
    figures.push_back(s);
  }
  record_median("one sleep", figures);
}

void BM_idle_frame(benchmark::State &state) {
  frame_cost(state, "idle frame", rom_given("KVD_BENCH_ROM_IDLE", KVD_ROM_IDLE));
}

// The median CPU seconds of the main thread (of the whole process where the
// host keeps no counts per thread) from one line to the next, over the lines
// that say mark and are followed by another.
double median_frame(const run_figures &f, const std::string &mark) {
  std::vector<double> frames;
  for (size_t i = 0; i + 1 < f.cpu_at_line.size() && i + 1 < f.lines.size(); i++) {
    if (f.lines[i] != mark || f.lines[i + 1] != mark) continue;
    const cpu_sample &a = f.cpu_at_line[i], &b = f.cpu_at_line[i + 1];
    bool by_main = a.main >= 0 && b.main >= 0;
    frames.push_back(by_main ? b.main - a.main : b.process - a.process);
  }
  if (frames.empty()) return -1;
  std::sort(frames.begin(), frames.end());
  return frames[frames.size() / 2];
}

// The CPU of one idle process a frame: the crowd ROM marks each of its
// frames with a line, first bench_frames frames alone ("idle"), then as many
// in which 100 idle processes each get a slice ("crowd"). Both blocks run in
// the same run, so the load of the host weighs on both alike, and the median
// frame of each leaves out the frames a busy host stretched.
void BM_frame_with_100_idle_processes(benchmark::State &state) {
  std::string dir = prepare("crowd frame", rom_given("KVD_BENCH_ROM_CROWD", KVD_ROM_CROWD));
  std::vector<double> figures;
  for (auto _ : state) {
    run_figures f = run_program(dir);
    double alone = median_frame(f, "idle"), crowd = median_frame(f, "crowd");
    if (alone < 0 || crowd < 0) {
      state.SkipWithError("the ROM did not mark its frames");
      break;
    }
    double s = (crowd - alone) / 100;
    state.SetIterationTime(s > 0 ? s : 1e-9);
    figures.push_back(s);
  }
  record_median("idle process", figures);
}

BENCHMARK(BM_start_of_bin_true)
    ->UseManualTime()
    ->Iterations(bench_iterations(start_iterations))
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_start_of_a_minimal_sdl_program)
    ->UseManualTime()
    ->Iterations(bench_iterations(start_iterations))
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_start_of_a_program_that_stops_at_once)
    ->UseManualTime()
    ->Iterations(bench_iterations(start_iterations))
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_start_to_first_frame_of_the_sample_rom)
    ->UseManualTime()
    ->Iterations(bench_iterations(start_iterations))
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_one_sleep_a_frame)
    ->UseManualTime()
    ->Iterations(bench_iterations(frame_iterations))
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_idle_frame)
    ->UseManualTime()
    ->Iterations(bench_iterations(frame_iterations))
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_frame_with_100_idle_processes)
    ->UseManualTime()
    ->Iterations(bench_iterations(frame_iterations))
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv) {
  bench_initialize(&argc, argv);
  bench_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  fs::remove_all(run_root());
  auto at = [](const char *k) { return results.count(k) ? results[k] : 0.0; };
  // A line is printed only when every figure it needs was measured (a
  // filtered run measures some).
  auto have = [](std::initializer_list<const char *> keys) {
    for (const char *k : keys)
      if (!results.count(k)) return false;
    return true;
  };
  bench_print_goal_header("kernel");
  if (have({"baseline start"}))
    bench_print_goal("stop at once, ms", at("baseline start") * 1e3, bench_goal::at_most, 10,
                     "(wall time)");
  if (have({"true"}))
    bench_print_goal("/bin/true, ms", at("true") * 1e3, bench_goal::none, 0,
                     "(wall time: the machine's load)");
  if (have({"sdl"}))
    bench_print_goal("minimal SDL program, ms", at("sdl") * 1e3, bench_goal::none, 0,
                     "(wall time: SDL systems and audio device)");
  if (have({"baseline start", "sdl"}))
    bench_print_goal("stop at once / SDL program", at("baseline start") / at("sdl"),
                     bench_goal::none, 0, "minimal SDL program");
  if (have({"baseline peak"}))
    bench_print_goal("stop at once, peak MiB", at("baseline peak"), bench_goal::at_most, 20,
                     "(resident)");
  if (have({"first frame", "baseline start"}))
    bench_print_goal("first frame / stop at once", at("first frame") / at("baseline start"),
                     bench_goal::at_most, 1.2, "stop at once");
  if (have({"idle frame"}))
    bench_print_goal("idle frame, us of CPU", at("idle frame") * 1e6, bench_goal::at_most, 30,
                     "(steady state, all threads)");
  if (have({"idle frame main"}))
    bench_print_goal("idle frame, main thread, us", at("idle frame main") * 1e6, bench_goal::none,
                     0, "(one frame's work and sleep)");
  if (have({"idle frame audio"}))
    bench_print_goal("idle frame, audio thread, us", at("idle frame audio") * 1e6, bench_goal::none,
                     0, "(a silent buffer every 11.6 ms)");
  if (have({"one sleep"}))
    bench_print_goal("one sleep a frame, us of CPU", at("one sleep") * 1e6, bench_goal::none, 0,
                     "(the host's floor for a paced frame)");
  if (have({"idle frame main", "one sleep"}))
    bench_print_goal("idle main thread / one sleep", at("idle frame main") / at("one sleep"),
                     bench_goal::none, 0, "one sleep a frame");
  if (have({"idle process"}))
    bench_print_goal("idle process, us a frame", at("idle process") * 1e6, bench_goal::at_most, 1,
                     "(main thread: 100 idle processes less none)");
  return bench_exit_code();
}
