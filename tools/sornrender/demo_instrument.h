// Small instruments written straight into the synthesiser's mirror, for the
// render tool, the benchmark and the tests: a container at node 0 whose
// volume follows the note, with oscillators and effects below it.
#pragma once

#include <cstdint>
#include <cstring>

#include "base/config.h"
#include "base/ram_layout.h"
#include "machine/app.h"
#include "machine/memory.h"
#include "machine/process.h"
#include "sorn/sorn.h"
#include "kernel/process_life.h"

struct demo_node {
  uint8_t parent, op, kind, slot, flags;
  uint8_t mval[7][4];
};

// Parameter encodings: absolute a, add to the parent, multiply with it (64 = 1).
inline constexpr uint8_t DEMO_PASS[4] = {0x01, 0, 0, 0};

inline demo_node demo_container() {
  demo_node n{};
  n.kind = 1;
  n.mval[0][0] = 0x02, n.mval[0][1] = 64;  // volume: the note's
  for (int i = 1; i < 6; i++) std::memcpy(n.mval[i], DEMO_PASS, 4);
  return n;
}

// An oscillator at full volume (relative to its parent) reading row `row` of
// slot `slot`, at the parent's pitch plus `semitones`.
inline demo_node demo_osc(uint8_t parent, uint8_t row, uint8_t op = 0, int8_t semitones = 0,
                          uint8_t slot = 0) {
  demo_node n{};
  n.parent = parent, n.op = op, n.kind = 2, n.slot = slot;
  n.mval[0][0] = 0x02, n.mval[0][1] = 64;
  for (int i = 1; i < 4; i++) std::memcpy(n.mval[i], DEMO_PASS, 4);
  n.mval[2][1] = uint8_t(semitones);
  n.mval[4][1] = row;
  return n;
}

// An effect node of kind 8, 9 or 10 with absolute parameters a0..a3.
inline demo_node demo_fx(uint8_t parent, uint8_t kind, uint8_t a0, uint8_t a1, uint8_t a2 = 0,
                         uint8_t a3 = 64) {
  demo_node n{};
  n.parent = parent, n.kind = kind;
  n.mval[0][1] = a0, n.mval[1][1] = a1, n.mval[2][1] = a2, n.mval[3][1] = a3;
  return n;
}

// Writes up to 8 nodes (the rest off) at instrument address addr, with slot 0
// on the default table of 256 rows of 1024 and slot 1 on the noise.
inline void demo_write_instrument(uint32_t addr, const demo_node *nodes, int count,
                                  uint8_t flags = 0) {
  uint8_t rec[AUDIO_INSTRUMENT_SIZE] = {};
  for (int i = 0; i < count && i < 8; i++) {
    uint8_t *d = rec + 32 * i;
    d[0] = uint8_t(nodes[i].parent | nodes[i].op << 4);
    d[1] = uint8_t(nodes[i].kind | nodes[i].slot << 4);
    d[2] = nodes[i].flags;
    std::memcpy(d + 4, nodes[i].mval, 28);
  }
  rec[INST_FLAGS] = flags;
  const uint8_t slots[8] = {0x00, 0xF8, 0x0A, 0x00, 0x80, 0xF7, 0x0D, 0x01};
  std::memcpy(rec + INST_WAVETABLE_SLOTS, slots, 8);
  sorn_memcpy(int32_t(addr), rec, int32_t(sizeof rec));
}

// Copies the default audio data of a fresh root process (its wavetables and
// the default instrument page) into the mirror. Resets the process table.
inline bool demo_mirror_defaults() {
  config.headless = 1;
  processes_init();
  std::memset(&app, 0, sizeof app);
  app.audio_owner = -2;
  proc *root = create_process_from_code("--", "[root]", "[root]", "");
  if (!root) return false;
  static uint8_t page[RAM_PAGE_SIZE];
  auto copy = [&](uint32_t from, uint32_t to) {
    for (uint32_t a = from; a < to; a += RAM_PAGE_SIZE) {
      for (uint32_t i = 0; i < RAM_PAGE_SIZE; i++)
        page[i] = uint8_t(peek_proc(root, int32_t(a + i)));
      sorn_memcpy(int32_t(a), page, int32_t(RAM_PAGE_SIZE));
    }
  };
  copy(RAM_DEFAULT_INSTRUMENT, RAM_DEFAULT_INSTRUMENT + RAM_PAGE_SIZE);
  copy(RAM_WAVETABLES, RAM_SIZE);
  processes_init();
  return true;
}
