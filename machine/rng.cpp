// xoshiro256** on the current process's state.
#include "machine/rng.h"

#include "machine/process.h"

static uint64_t rotl(uint64_t x, int k) { return x << k | x >> (64 - k); }

uint64_t xoshiro256ss_step(uint64_t s[4]) {
  uint64_t result = rotl(s[1] * 5, 7) * 9;
  uint64_t t = s[1] << 17;
  s[2] ^= s[0];
  s[3] ^= s[1];
  s[1] ^= s[2];
  s[0] ^= s[3];
  s[2] ^= t;
  s[3] = rotl(s[3], 45);
  return result;
}

uint64_t xoshiro256ss_rand() { return cproc ? xoshiro256ss_step(cproc->random_state) : 0; }

void xoshiro256ss_srand(uint64_t seed) {
  if (!cproc) return;
  uint64_t *s = cproc->random_state;
  s[0] = seed ^ 0xdeadbeefull;
  s[1] = 0xff;
  s[2] = rotl(seed, 32);
  s[3] = 0;
  for (int i = 0; i < 8; i++) xoshiro256ss_step(s);
}
