// The synthesiser on one core: 16 busy channels, each playing an 8-node
// instrument (oscillators with frequency modulation, filter, echo, gain),
// mixed 512 frames a call as the audio device asks, once with the AVX2 loops
// and once with the plain ones every processor runs. Prints the real-time
// factors (audio time mixed per second of work) and the slowest single call,
// beside a baseline measured in the same run: summing 16 stereo buffers of
// 512 frames, the least any mixer of 16 channels does. Also the settle step's
// mirror pass for an owner with 8 MiB mapped onto a record it leaves alone,
// against the same owner with nothing mapped: what an idle mapping adds to a
// frame.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "machine/app.h"
#include "machine/process.h"
#include "sorn/mixer.h"
#include "sorn/sorn.h"
#include "sorn/vector_loop.h"
#include "kernel/process_life.h"
#include "tools/bench/bench_ratio.h"
#include "tools/sornrender/demo_instrument.h"

namespace {

constexpr int frames = 512;
const int worst_case_calls = int(bench_size(2000, 10));

// The channels' notes are started again whenever something (the settle
// benchmark's change of owner) stopped them.
void busy_channels() {
  static bool ready = false;
  if (ready && sorn_anything_is_playing()) return;
  ready = true;
  sorn_init();
  demo_mirror_defaults();
  demo_node nodes[8] = {demo_container(),        demo_osc(0, 10),
                        demo_osc(1, 0, 1, 12),   demo_osc(0, 100, 0, 7),
                        demo_osc(0, 0, 0, 0, 1), demo_fx(0, 8, 40, 30, 20),
                        demo_fx(0, 9, 20, 100),  demo_fx(0, 10, 60, 40, 30, 64)};
  nodes[4].mval[0][1] = 8;  // quiet noise
  uint32_t inst = AUDIO_DEFAULT_BASE + AUDIO_INSTRUMENTS + AUDIO_INSTRUMENT_SIZE;
  demo_write_instrument(inst, nodes, 8);
  uint8_t sfx_volume = 64;
  sorn_memcpy(int32_t(RAM_SFX_VOLUME), &sfx_volume, 1);
  sorn_set_volume(256);
  sorn_kill_all_audio();
  for (int c = 0; c < SORN_CHANNELS; c++) {
    sorn_set_channel_base_addr(uint32_t(c), AUDIO_DEFAULT_BASE);
    sorn_set_channel_mix_vol(uint32_t(c), 16);
    sorn_set_note(c, 36 + 3 * c, 1, 64, 'v', 0x46, 0, c * 16 - 120);
  }
}

// The AVX2 loops or the plain ones (registered in main, the AVX2 run only
// where the processor has AVX2); the switch is put back afterwards.
void run_mix(benchmark::State &state, bool avx2) {
  busy_channels();
  bool was = sorn_avx2_on();
  sorn_use_avx2(avx2);
  std::vector<int16_t> out(2 * frames);
  for (auto _ : state) {
    sorn_mix(out.data(), frames);
    benchmark::DoNotOptimize(out.data());
  }
  sorn_use_avx2(was);
  state.SetItemsProcessed(int64_t(state.iterations()) * frames);
}

void run_sum(benchmark::State &state) {
  static int16_t in[SORN_CHANNELS][2 * frames];
  for (int c = 0; c < SORN_CHANNELS; c++)
    for (int i = 0; i < 2 * frames; i++) in[c][i] = int16_t(c * 1000 + i);
  std::vector<int32_t> sum(2 * frames);
  std::vector<int16_t> out(2 * frames);
  for (auto _ : state) {
    std::fill(sum.begin(), sum.end(), 0);
    for (int c = 0; c < SORN_CHANNELS; c++)
      for (int i = 0; i < 2 * frames; i++) sum[i] += in[c][i];
    for (int i = 0; i < 2 * frames; i++) out[i] = int16_t(std::clamp(sum[i], -32767, 32767));
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * frames);
}
BENCHMARK(run_sum)->Name("baseline/sum_16_buffers");

// An owner process with, when `mapped`, 8 MiB of its memory mapped onto a
// record's bytes that nothing writes; each iteration is one settle step.
void run_settle(benchmark::State &state, bool mapped) {
  static std::vector<uint8_t> record(size_t(8) << 20, 1);
  processes_init();
  std::memset(&app, 0, sizeof app);
  app.audio_owner = AUDIO_NO_OWNER;
  proc *owner = create_process_from_code("--", "[root]", "[root]", "");
  if (!owner) {
    state.SkipWithError("no process");
    return;
  }
  const uint32_t first = 0x800000 / RAM_PAGE_SIZE, pages = uint32_t(record.size() / RAM_PAGE_SIZE);
  for (uint32_t k = 0; mapped && k < pages; k++) {
    owner->mem.page_pointer[first + k] = record.data() + size_t(k) * RAM_PAGE_SIZE;
    owner->mem.mapped_length[first + k] = int32_t(RAM_PAGE_SIZE);
    owner->mem.mapped_page_bits[(first + k) / 64] |= uint64_t(1) << ((first + k) % 64);
    owner->mem.page_flags[first + k] = PAGE_WRITTEN;
  }
  if (audio_op_start(owner->id, 1) == 0) audio_op_end();  // takes in everything once
  for (auto _ : state) {
    if (audio_op_start(0, 1) == 0) audio_op_end();
  }
  state.SetItemsProcessed(int64_t(state.iterations()));
  processes_init();
}

}  // namespace

int main(int argc, char **argv) {
  bench_initialize(&argc, argv);
  if (sorn_use_avx2(true)) benchmark::RegisterBenchmark("mix/16ch_8node_512", run_mix, true);
  benchmark::RegisterBenchmark("mix/16ch_8node_512_plain", run_mix, false);
  benchmark::RegisterBenchmark("settle/nothing_mapped", run_settle, false);
  benchmark::RegisterBenchmark("settle/8MiB_mapped_idle", run_settle, true);
  ratio_reporter reporter("items_per_second");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  // The slowest of many single calls, as the audio callback would see them.
  busy_channels();
  std::vector<int16_t> out(2 * frames);
  double worst = 0;
  for (int i = 0; i < worst_case_calls; i++) {
    auto t0 = std::chrono::steady_clock::now();
    sorn_mix(out.data(), frames);
    auto t1 = std::chrono::steady_clock::now();
    worst = std::max(worst, std::chrono::duration<double, std::milli>(t1 - t0).count());
  }
  // Rates not measured (no AVX2, or a name filter) are NaN: "not run".
  auto rate = [&](const char *name) {
    auto it = reporter.rate.find(name);
    return it != reporter.rate.end() && it->second > 0 ? it->second : std::nan("");
  };
  double mix = rate("mix/16ch_8node_512"), plain = rate("mix/16ch_8node_512_plain");
  double sum = rate("baseline/sum_16_buffers");
  auto ms = [&](const char *name) { return 1e3 / rate(name); };  // a settle step each
  double idle_mapping = ms("settle/8MiB_mapped_idle") - ms("settle/nothing_mapped");
  std::printf(
      "\nreal-time factor %.1f with the AVX2 loops, %.1f with the plain ones (44100 frames "
      "a second of audio)\n",
      mix / 44100, plain / 44100);
  std::printf("mean 512-frame mix %.3f ms, slowest of %d calls %.3f ms\n",
              mix > 0 ? 1000.0 * frames / mix : 0.0, worst_case_calls, worst);
  bench_print_goal_header("synthesiser");
  // Mixing must keep well ahead of the sound it makes: sixteen busy
  // channels take at most a sixtieth of one core.
  bench_print_goal("real-time factor (AVX2)", mix / 44100, bench_goal::at_least, 60.0,
                   "44100 frames a second");
  bench_print_goal("real-time factor (plain)", plain / 44100, bench_goal::at_least, 60.0,
                   "44100 frames a second");
  // An idle mapping must not cost a frame anything worth measuring.
  bench_print_goal("8 MiB mapped and idle (ms)", idle_mapping, bench_goal::at_most, 0.1,
                   "settle/nothing_mapped, a frame");
  bench_print_goal("mix/16ch_8node_512", bench_ratio(mix, sum), bench_goal::none, 0,
                   "baseline/sum_16_buffers");
  bench_print_goal("mix/16ch_8node_512_plain", bench_ratio(plain, sum), bench_goal::none, 0,
                   "baseline/sum_16_buffers");
  benchmark::Shutdown();
  return bench_exit_code();
}
