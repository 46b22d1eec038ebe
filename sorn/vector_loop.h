// Loops built twice, for AVX2 and for any x86-64, the copy chosen at each call
// by one switch that is on where the processor has AVX2. Integer only, so both
// copies give the same samples; tests turn the switch off to run the plain
// copies on a processor that has AVX2.
#pragma once

#if defined(__x86_64__) && defined(__ELF__)
#define SORN_AVX2 __attribute__((target("avx2")))
#else
#define SORN_AVX2
#endif

// Whether the AVX2 copies (and the oscillator's AVX2 loop) run from now on:
// on asks for them, which holds only where the processor has AVX2. Returns
// whether they now run.
bool sorn_use_avx2(bool on);
bool sorn_avx2_on();

// Body is an always-inline function; each of these holds a copy of it.
template <auto Body, typename... A>
SORN_AVX2 void sorn_vector_avx2(A... a) {
  Body(a...);
}
template <auto Body, typename... A>
void sorn_vector_plain(A... a) {
  Body(a...);
}

// Runs Body(a...) in the copy the switch chooses.
template <auto Body, typename... A>
inline void sorn_vector_run(A... a) {
  if (sorn_avx2_on())
    sorn_vector_avx2<Body>(a...);
  else
    sorn_vector_plain<Body>(a...);
}

// A loop body for sorn_vector_run, inlined into both copies.
#define SORN_LOOP_BODY [[gnu::always_inline]] static inline
