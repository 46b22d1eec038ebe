// The switch between the AVX2 and the plain copies of the mixer's loops.
#include "sorn/vector_loop.h"

#if defined(__x86_64__) && defined(__ELF__)
static bool detect_avx2() {
  __builtin_cpu_init();  // this may run before the run-time's own constructors
  return __builtin_cpu_supports("avx2");
}
static const bool cpu_has_avx2 = detect_avx2();
#else
static const bool cpu_has_avx2 = false;
#endif

static bool avx2_on = cpu_has_avx2;

bool sorn_use_avx2(bool on) {
  avx2_on = on && cpu_has_avx2;
  return avx2_on;
}

bool sorn_avx2_on() { return avx2_on; }
