// Throughput of the byte codecs and hashes, each beside a baseline measured
// in the same run: zlib's crc32 for CRC-32, a plain memcpy of the same bytes
// for the others. Prints the ratio (ours / baseline throughput) at the end.
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <zlib.h>

#include "base/crc32.h"
#include "base/pbuffer.h"
#include "pod/base64.h"
#include "pod/delta.h"
#include "pod/host_text.h"
#include "pod/md5.h"
#include "pod/murmur3.h"
#include "pod/pxa.h"
#include "tools/bench/bench_ratio.h"

namespace {

const size_t sample_size = size_t(bench_size(1 << 20, 1 << 14));

// Source-like text with some bytes of every value.
const std::vector<uint8_t> &sample() {
  static std::vector<uint8_t> s = [] {
    static const char *words[] = {"local ",     "function ", "end\n", "x = x + 1\n",
                                  "print(x)\n", "-- note\n", "\t"};
    std::mt19937 rng(1);
    std::vector<uint8_t> v;
    while (v.size() < sample_size) {
      if (rng() % 8 == 0) {
        v.push_back(uint8_t(1 + rng() % 255));
      } else {
        const char *w = words[rng() % 7];
        v.insert(v.end(), w, w + std::strlen(w));
      }
    }
    v.resize(sample_size);
    return v;
  }();
  return s;
}

void run_memcpy(benchmark::State &state) {
  const auto &in = sample();
  std::vector<uint8_t> out(in.size());
  for (auto _ : state) {
    std::memcpy(out.data(), in.data(), in.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}
BENCHMARK(run_memcpy)->Name("baseline/memcpy");

// Runs f over the whole sample each iteration, counting the sample's bytes.
template <typename F>
void over_sample(benchmark::State &state, F f) {
  const auto &in = sample();
  for (auto _ : state) f(in.data(), in.size());
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}

void run_zlib_crc32(benchmark::State &state) {
  over_sample(state,
              [](const uint8_t *p, size_t n) { benchmark::DoNotOptimize(crc32(0, p, uInt(n))); });
}
BENCHMARK(run_zlib_crc32)->Name("baseline/zlib_crc32");

void run_crc32b(benchmark::State &state) {
  over_sample(state,
              [](const uint8_t *p, size_t n) { benchmark::DoNotOptimize(crc32b(p, int64_t(n))); });
}
BENCHMARK(run_crc32b)->Name("crc32b");

void run_md5(benchmark::State &state) {
  over_sample(state, [](const uint8_t *p, size_t n) {
    char text[33];
    md5(p, int64_t(n), text);
    benchmark::DoNotOptimize(text);
  });
}
BENCHMARK(run_md5)->Name("md5");

void run_murmur32(benchmark::State &state) {
  over_sample(state, [](const uint8_t *p, size_t n) {
    uint32_t h[1];
    murmurhash3_x86_32(p, int(n), 0, h);
    benchmark::DoNotOptimize(h);
  });
}
BENCHMARK(run_murmur32)->Name("murmurhash3_x86_32");

void run_murmur128(benchmark::State &state) {
  over_sample(state, [](const uint8_t *p, size_t n) {
    uint64_t h[2];
    murmurhash3_x64_128(p, int(n), 0, h);
    benchmark::DoNotOptimize(h);
  });
}
BENCHMARK(run_murmur128)->Name("murmurhash3_x64_128");

void run_base64_encode(benchmark::State &state) {
  const auto &in = sample();
  std::vector<char> out(in.size() / 3 * 4 + 8);
  for (auto _ : state) {
    base64_encodestate s;
    base64_init_encodestate(&s);
    int64_t n = base64_encode_block(in.data(), int64_t(in.size()), out.data(), &s);
    n += base64_encode_blockend(out.data() + n, &s);
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}
BENCHMARK(run_base64_encode)->Name("base64_encode");

void run_base64_decode(benchmark::State &state) {
  const auto &in = sample();
  std::vector<char> text(in.size() / 3 * 4 + 8);
  base64_encodestate e;
  base64_init_encodestate(&e);
  int64_t n = base64_encode_block(in.data(), int64_t(in.size()), text.data(), &e);
  n += base64_encode_blockend(text.data() + n, &e);
  std::vector<uint8_t> out(in.size() + 8);
  for (auto _ : state) {
    base64_decodestate d;
    base64_init_decodestate(&d);
    benchmark::DoNotOptimize(base64_decode_block(text.data(), n, out.data(), &d));
  }
  // Measured in decoded bytes, like the baseline's copy.
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}
BENCHMARK(run_base64_decode)->Name("base64_decode");

void run_host_encode(benchmark::State &state) {
  std::vector<uint8_t> q7 = sample();
  for (auto &c : q7)
    if (!c) c = ' ';
  q7.push_back(0);
  for (auto _ : state) destroy_buffer(encode_host_text(reinterpret_cast<const char *>(q7.data())));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(q7.size() - 1));
}
BENCHMARK(run_host_encode)->Name("encode_host_text");

void run_host_decode(benchmark::State &state) {
  std::vector<uint8_t> q7 = sample();
  for (auto &c : q7)
    if (!c) c = ' ';
  q7.push_back(0);
  pbuffer *host = encode_host_text(reinterpret_cast<const char *>(q7.data()));
  for (auto _ : state) destroy_buffer(decode_host_text(host));
  // Measured in q7scii bytes produced.
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(q7.size() - 1));
  destroy_buffer(host);
}
BENCHMARK(run_host_decode)->Name("decode_host_text");

// A mutated copy of the sample: a few insertions, deletions and changes.
std::vector<uint8_t> mutated() {
  std::vector<uint8_t> d = sample();
  std::mt19937 rng(2);
  for (int i = 0; i < 40; i++) {
    size_t at = rng() % d.size();
    switch (i % 3) {
      case 0:
        d.insert(d.begin() + long(at), 100, uint8_t(rng()));
        break;
      case 1:
        d.erase(d.begin() + long(at), d.begin() + long(std::min(d.size(), at + 300)));
        break;
      default:
        d[at] ^= 0x55;
        break;
    }
  }
  return d;
}

void run_delta_generate(benchmark::State &state) {
  const auto &src = sample();
  std::vector<uint8_t> dst = mutated();
  for (auto _ : state)
    destroy_buffer(generate_diff(src.data(), int32_t(src.size()), dst.data(), int32_t(dst.size())));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(dst.size()));
}
BENCHMARK(run_delta_generate)->Name("generate_diff");

void run_delta_apply(benchmark::State &state) {
  const auto &src = sample();
  std::vector<uint8_t> dst = mutated();
  pbuffer *delta = generate_diff(src.data(), int32_t(src.size()), dst.data(), int32_t(dst.size()));
  for (auto _ : state)
    destroy_buffer(apply_diff(src.data(), int32_t(src.size()), delta->data, delta->length));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(dst.size()));
  destroy_buffer(delta);
}
BENCHMARK(run_delta_apply)->Name("apply_diff");

// A block of literals and back-references (the format's two main paths),
// built bit by bit: repeats of the last 64 bytes with fresh literals between.
std::vector<uint8_t> pxa_block(size_t *raw_length) {
  std::vector<uint8_t> bits;
  auto put = [&](uint32_t v, int n) {
    for (int i = 0; i < n; i++) bits.push_back(uint8_t((v >> i) & 1));
  };
  size_t out = 0;
  std::mt19937 rng(3);
  while (out < 60000) {
    for (int i = 0; i < 8; i++) {
      put(1, 1);  // literal: prefix 1, 0 then 4 bits (index 0-15)
      put(0, 1);
      put(rng() % 16, 4);
      out++;
    }
    if (out >= 64) {
      put(0, 2);  // back-reference, 15-bit offset field 63, length 3 + 7 + 2
      put(63, 15);
      put(7, 3);
      put(2, 3);
      out += 12;
    }
  }
  std::vector<uint8_t> block = {0, 'p', 'x', 'a', uint8_t(out >> 8), uint8_t(out), 0, 0};
  block.resize(8 + (bits.size() + 7) / 8);
  for (size_t i = 0; i < bits.size(); i++) block[8 + i / 8] |= uint8_t(bits[i] << (i % 8));
  block[6] = uint8_t(block.size() >> 8);
  block[7] = uint8_t(block.size());
  *raw_length = out;
  return block;
}

void run_pxa(benchmark::State &state) {
  size_t raw_length;
  std::vector<uint8_t> block = pxa_block(&raw_length);
  std::vector<uint8_t> out(0x10001);
  int64_t n = 0;
  for (auto _ : state) {
    n = pxa_decompress(block.data(), int64_t(block.size()), out.data(), 0x10000);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * n);
}
BENCHMARK(run_pxa)->Name("pxa_decompress");

}  // namespace

int main(int argc, char **argv) {
  bench_initialize(&argc, argv);
  ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  double copy = reporter.rate["baseline/memcpy"], zlib = reporter.rate["baseline/zlib_crc32"];
  bench_print_goal_header("codec (throughput ratio)");
  for (const auto &[name, rate] : reporter.rate) {
    if (name.rfind("baseline/", 0) == 0) continue;
    bool crc = name == "crc32b";
    double base = crc ? zlib : copy;
    // CRC-32 is zlib's own CRC, so it must match zlib's speed.
    bench_print_goal(name.c_str(), base > 0 ? rate / base : 0.0,
                     crc ? bench_goal::at_least : bench_goal::none, 1.0,
                     crc ? "zlib crc32" : "memcpy");
  }
  benchmark::Shutdown();
  return bench_exit_code();
}
