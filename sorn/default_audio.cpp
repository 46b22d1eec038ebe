// The default wavetables and instrument 0 that every new process starts with.
#include <bit>
#include <cmath>
#include <cstdint>

#include "base/ram_layout.h"
#include "machine/memory.h"
#include "machine/process.h"
#include "machine/rng.h"
#include "sorn/sorn.h"

static constexpr uint32_t WT0_SAMPLES = WAVE_NOISE_SAMPLES + WAVE_ROWS * WAVE_ROW_SAMPLES;
static int16_t wt0[WT0_SAMPLES];
static bool generated_wt0;

// Builds the block with the current process's generator for the noise.
static void build_wt0() {
  int16_t *s = wt0;
  xoshiro256ss_srand(0x12345678);
  for (uint32_t i = 0; i < WAVE_NOISE_SAMPLES; i++) *s++ = int16_t(xoshiro256ss_rand());
  // Sine to triangle (the sine of each step worked out once for all rows).
  double sine[1024];
  for (int i = 0; i < 1024; i++) sine[i] = std::sin(i * 3.141562 * 2 * 0.0009765625);
  for (int r = 0; r < 64; r++) {
    for (int i = 0; i < 1024; i++) {
      int t = (i + 768) & 1023;
      t = (t < 512 ? t : 1024 - t) - 256;
      double x = sine[i] * -32767.0 * (64 - r) + t * 127.99 * r;
      *s++ = int16_t(int32_t(x) / 64);
    }
  }
  // Triangle to sawtooth.
  for (int r = 0; r < 64; r++) {
    int k = int(r * 512 * 0.015625 + 512), z = ((64 - r) * (64 - r)) >> 4;
    for (int i = 0; i < 1024; i++) {
      int j = (i - z) & 1023;
      double v = j < k ? double(j) / k : j > k ? double(1024 - j) / (1024 - k) : 1.0;
      *s++ = int16_t(int32_t(v * 65535.0 - 32768.0));
    }
  }
  // Sawtooth to square.
  for (int r = 0; r < 64; r++) {
    double m = r * r * 0.000244140625;
    for (int i = 0; i < 1024; i++) {
      double x = i * 0.0009765625, y = (1 - m) * x;
      if (x >= 0.5) y += m;
      *s++ = int16_t(int32_t(y * 65534.0 - 32767.0));
    }
  }
  // Pulse widths from one half towards one.
  for (int r = 0; r < 64; r++) {
    double h = r * 0.0078125 + 0.5;
    for (int i = 0; i < 1024; i++) *s++ = int16_t(i * 0.0009765625 <= h ? -32767 : 32767);
  }
}

void generate_default_wavetable(proc *p) {
  if (!p) return;
  if (p->id >= PID_ROOT + 1) {
    // Later processes share the root's tables; with no root they build their own.
    if (proc *root = get_process(PID_ROOT)) {
      kvd_pmemcpy_pages(root, p, int32_t(RAM_WAVETABLES), int32_t(RAM_SIZE));
      return;
    }
  }
  if (!generated_wt0) {
    generated_wt0 = true;
    proc *previous = cproc;
    cproc = p;
    build_wt0();
    cproc = previous;
  }
  // Samples are little-endian in memory, as on every host we build for.
  static_assert(std::endian::native == std::endian::little);
  kvd_pwrite(p, int32_t(RAM_WAVE_NOISE), wt0, int32_t(sizeof wt0));
}

void generate_default_audio_data(proc *p) {
  static const uint8_t inst0_nodes[64] = {
      // node 0: container; volume = envelope 0 times the parent's; the rest passed through
      0x00, 0x01, 0x00, 0x00, 0x06, 0x20, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,
      0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x02,
      0x00, 0x00,
      // node 1: off, parent 2, slot 2
      0x02, 0x20, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x21, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,
      0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x00, 0x00};
  // Slot 0: the 256 rows of 1024 at 0xF80000 (255 rows used); slot 1: noise, 8192 wide.
  static const uint8_t inst0_slots[8] = {0x00, 0xF8, 0x0A, 0xFF, 0x80, 0xF7, 0x0D, 0x01};
  for (int32_t i = 0; i < 64; i++)
    poke_proc(p, int32_t(RAM_DEFAULT_INSTRUMENT) + i, inst0_nodes[i]);
  for (int32_t i = 0; i < 8; i++)
    poke_proc(p, int32_t(RAM_DEFAULT_INSTRUMENT + INST_WAVETABLE_SLOTS) + i, inst0_slots[i]);
}
