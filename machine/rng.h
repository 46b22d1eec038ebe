// The per-process random-number generator: xoshiro256** on the four state
// words of the current process, with the workstation's own seeding.
#pragma once

#include <cstdint>

// One xoshiro256** step on a state: returns the output and advances it.
uint64_t xoshiro256ss_step(uint64_t s[4]);

// The next output of the current process's generator (0 without a current
// process).
uint64_t xoshiro256ss_rand();

// Reseeds the current process's generator: s0 = seed ^ 0xdeadbeef, s1 = 0xff,
// s2 = seed with its 32-bit halves swapped, s3 = 0, then 8 steps discarded.
void xoshiro256ss_srand(uint64_t seed);
