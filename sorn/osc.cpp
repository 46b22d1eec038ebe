// Wavetable oscillator, note steps and buffer operations.
#include "sorn/osc.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "base/debug_log.h"
#include "sorn/vector_loop.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

static_assert(std::endian::native == std::endian::little, "wavetables are read in place");

// One octave of note frequencies, C to C.
static const uint32_t sorn_note_dx[13] = {523, 554, 587, 622, 659, 698, 740,
                                          784, 831, 880, 932, 985, 1046};

uint64_t sorn_get_dx_for_note(int32_t pitch, int32_t fine) {
  int64_t s = int64_t(pitch) & ~int64_t(0xFFFF);
  int64_t f = (int64_t(pitch & 0xFFFF) << 8) + fine;
  // Whole semitones move from the fraction into s in one step.
  int64_t carry = f >= 0 ? f >> 24 : -((-f + 0xFFFFFF) >> 24);
  f -= carry << 24;
  s += carry << 16;
  int64_t note = s >> 16;
  int64_t octave = note >= 0 ? note / 12 : -((-note + 11) / 12);
  int64_t k = note - 12 * octave;
  // 1046 << 52 stays below 2^63 and the blend below below 2^64.
  int shift = int(std::clamp<int64_t>(octave + 21, 0, 52));
  uint64_t lo = (uint64_t(sorn_note_dx[k]) << shift) / 44100;
  uint64_t hi = (uint64_t(sorn_note_dx[k + 1]) << shift) / 44100;
  uint64_t w = uint64_t(f >> 8);
  return (w * hi + (0x10000 - w) * lo) >> 16;
}

void render_node_tick(sorn_node_state *node, int32_t n) {
  if ((node->flags & NODE_FLAG_MUTE) || node->kind == NODE_OFF) {
    std::memset(node->output, 0, size_t(n) * sizeof(int16_t));
  } else if (node->kind == NODE_OSC) {
    render_node_tick_osc(node, n);
  }
}

// An oscillator sample: a value that fits 16 bits is kept as it is; a louder
// one (an amplitude above unity) saturates instead of folding over.
static inline int16_t osc_sample(int64_t v) {
  return int16_t(v > SORN_SAMPLE_MAX ? SORN_SAMPLE_MAX : v < INT16_MIN ? -SORN_SAMPLE_MAX : v);
}

// The oscillator loop over a row read by `at` (sample index -> sample), with
// or without a modulation input.
template <bool Fm, typename Read>
static uint32_t osc_loop(sorn_node_state *node, int32_t from, int32_t n, uint32_t pos,
                         uint32_t mask, int64_t amp, Read at) {
  int16_t *out = node->output;
  const uint32_t dx = uint32_t(node->dx);
  const int16_t *fm = node->fm_input;
  const int m = node->mod_shift < -4 ? 2 : node->mod_shift + 6;
  for (int32_t i = from; i < n; i++) {
    pos &= mask;
    int32_t s0 = at(pos >> 16), s1 = at(((pos + 0x10000) & mask) >> 16);
    int32_t v = s0 + int32_t((int64_t(pos & 0xFFFF) * (s1 - s0)) >> 16);
    out[i] = osc_sample((int64_t(v) * amp) >> 14);
    pos += dx;
    if constexpr (Fm) pos += uint32_t(int32_t(fm[i])) << m;
  }
  return pos;
}

template <typename Read>
static uint32_t osc_row(sorn_node_state *node, int32_t from, int32_t n, uint32_t pos, uint32_t mask,
                        int32_t amp, Read at) {
  return node->fm_input ? osc_loop<true>(node, from, n, pos, mask, amp, at)
                        : osc_loop<false>(node, from, n, pos, mask, amp, at);
}

#if defined(__x86_64__)
// Eight samples at a time, in 32-bit lanes, with the same results as
// osc_loop: the interpolation product frac * (s1 - s0) (up to 2^32) is taken
// as frac * s1 - frac * s0, whose halves each fit, and the amplitude
// product as v * (amp >> 14) + (v * (amp & 0x3FFF) >> 14). Needs the row
// wholly inside the mirror with two bytes after it (each lane reads 32 bits).
// Returns the number of samples written, a multiple of 8.
__attribute__((target("avx2"))) static int32_t osc_avx2(sorn_node_state *node, int32_t n,
                                                        uint32_t &pos, uint32_t mask, int32_t amp,
                                                        const uint8_t *row) {
  int16_t *out = node->output;
  const uint32_t dx = uint32_t(node->dx);
  const int16_t *fm = node->fm_input;
  const int m = node->mod_shift < -4 ? 2 : node->mod_shift + 6;
  const int *base = reinterpret_cast<const int *>(row);
  const __m256i vmask = _mm256_set1_epi32(int(mask)), last = _mm256_set1_epi32(int(mask >> 16));
  int16_t first_sample;
  std::memcpy(&first_sample, row, 2);
  const __m256i first = _mm256_set1_epi32(first_sample);
  const __m256i low16 = _mm256_set1_epi32(0xFFFF);
  const __m256i amp_hi = _mm256_set1_epi32(amp >> 14), amp_lo = _mm256_set1_epi32(amp & 0x3FFF);
  const __m256i top = _mm256_set1_epi32(SORN_SAMPLE_MAX), bottom = _mm256_set1_epi32(INT16_MIN);
  const __m256i floor_out = _mm256_set1_epi32(-SORN_SAMPLE_MAX);
  const __m256i vdx = _mm256_set1_epi32(int(dx));
  INVARIANT(m >= 0 && m < 32);
  const __m128i fm_shift = _mm_cvtsi32_si128(m);
  const __m256i steps =
      _mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), _mm256_set1_epi32(int(dx)));
  int32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m256i p;
    if (fm) {
      // Each sample's step, dx + (fm << m), summed across the lanes: a lane's
      // position is pos plus the steps of the lanes before it.
      __m128i f16 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(fm + i));
      __m256i step = _mm256_add_epi32(vdx, _mm256_sll_epi32(_mm256_cvtepi16_epi32(f16), fm_shift));
      __m256i sum = _mm256_add_epi32(step, _mm256_slli_si256(step, 4));
      sum = _mm256_add_epi32(sum, _mm256_slli_si256(sum, 8));
      sum = _mm256_add_epi32(sum,
                             _mm256_shuffle_epi32(_mm256_permute2x128_si256(sum, sum, 0x08), 0xFF));
      __m256i at = _mm256_add_epi32(_mm256_set1_epi32(int(pos)), _mm256_sub_epi32(sum, step));
      pos += uint32_t(_mm256_extract_epi32(sum, 7));
      p = _mm256_and_si256(at, vmask);
    } else {
      p = _mm256_and_si256(_mm256_add_epi32(_mm256_set1_epi32(int(pos)), steps), vmask);
      pos += 8 * dx;
    }
    // One read of 32 bits holds both samples, but at the row's last sample
    // the second one is the row's first.
    __m256i i0 = _mm256_srli_epi32(p, 16);
    __m256i pair = _mm256_i32gather_epi32(base, i0, 2);
    __m256i s0 = _mm256_srai_epi32(_mm256_slli_epi32(pair, 16), 16);
    __m256i s1 =
        _mm256_blendv_epi8(_mm256_srai_epi32(pair, 16), first, _mm256_cmpeq_epi32(i0, last));
    __m256i frac = _mm256_and_si256(p, low16);
    __m256i a = _mm256_mullo_epi32(frac, s1), b = _mm256_mullo_epi32(frac, s0);
    __m256i borrow = _mm256_cmpgt_epi32(_mm256_and_si256(b, low16), _mm256_and_si256(a, low16));
    __m256i v = _mm256_add_epi32(
        s0, _mm256_add_epi32(_mm256_sub_epi32(_mm256_srai_epi32(a, 16), _mm256_srai_epi32(b, 16)),
                             borrow));
    __m256i y = _mm256_add_epi32(_mm256_mullo_epi32(v, amp_hi),
                                 _mm256_srai_epi32(_mm256_mullo_epi32(v, amp_lo), 14));
    y = _mm256_min_epi32(y, top);
    y = _mm256_blendv_epi8(y, floor_out, _mm256_cmpgt_epi32(bottom, y));
    __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(y, y), 0xD8);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), _mm256_castsi256_si128(packed));
  }
  return i;
}

// The same samples with the SSE2 every x86-64 has, for amplitudes inside 16
// bits. The positions and table reads run one sample after another (they
// chain through the phase) into a block of pairs; the interpolation and the
// amplitude then run eight samples a step in 16-bit lanes: frac * s, with
// frac unsigned, is the signed product of frac's bits plus s << 16 where
// frac's top bit is set, and the interpolation's floor is hi1 - hi0 less a
// borrow where the low halves go down. Needs what osc_avx2 needs. Returns
// the number of samples written, a multiple of 8.
static int32_t osc_sse2(sorn_node_state *node, int32_t n, uint32_t &pos, uint32_t mask, int32_t amp,
                        const uint8_t *row) {
  INVARIANT(amp >= INT16_MIN && amp <= INT16_MAX);
  constexpr int32_t block = 256;
  alignas(16) uint32_t pair[block], at[block];
  int16_t *out = node->output;
  const uint32_t dx = uint32_t(node->dx);
  const int16_t *fm = node->fm_input;
  const int m = node->mod_shift < -4 ? 2 : node->mod_shift + 6;
  int16_t first_sample;
  std::memcpy(&first_sample, row, 2);
  const __m128i first = _mm_set1_epi16(first_sample), last = _mm_set1_epi32(int(mask >> 16));
  const __m128i vamp = _mm_set1_epi16(int16_t(amp)), sign16 = _mm_set1_epi16(INT16_MIN);
  const __m128i bottom = _mm_set1_epi32(INT16_MIN), floor_out = _mm_set1_epi32(-SORN_SAMPLE_MAX);
  int32_t done = 0;
  while (n - done >= 8) {
    int32_t count = std::min(block, (n - done) & ~7);
    // The phase in a local, which the stores into the block cannot alias.
    uint32_t q = pos;
    if (fm) {
      const int16_t *fmb = fm + done;
      for (int32_t i = 0; i < count; i++) {
        q &= mask;
        at[i] = q;
        std::memcpy(&pair[i], row + 2 * (q >> 16), 4);
        q += dx + (uint32_t(int32_t(fmb[i])) << m);
      }
    } else {
      // Masking commutes with the steps, so the positions need no chain.
      __m128i v = _mm_add_epi32(_mm_set1_epi32(int(q)),
                                _mm_setr_epi32(0, int(dx), int(2 * dx), int(3 * dx)));
      const __m128i step4 = _mm_set1_epi32(int(4 * dx)), vmask = _mm_set1_epi32(int(mask));
      for (int32_t i = 0; i < count; i += 4) {
        _mm_store_si128(reinterpret_cast<__m128i *>(at + i), _mm_and_si128(v, vmask));
        v = _mm_add_epi32(v, step4);
      }
      for (int32_t i = 0; i < count; i++) std::memcpy(&pair[i], row + 2 * (at[i] >> 16), 4);
      q += uint32_t(count) * dx;
    }
    pos = q;
    for (int32_t i = 0; i < count; i += 8) {
      __m128i pa = _mm_load_si128(reinterpret_cast<const __m128i *>(pair + i));
      __m128i pb = _mm_load_si128(reinterpret_cast<const __m128i *>(pair + i + 4));
      __m128i qa = _mm_load_si128(reinterpret_cast<const __m128i *>(at + i));
      __m128i qb = _mm_load_si128(reinterpret_cast<const __m128i *>(at + i + 4));
      __m128i s0 = _mm_packs_epi32(_mm_srai_epi32(_mm_slli_epi32(pa, 16), 16),
                                   _mm_srai_epi32(_mm_slli_epi32(pb, 16), 16));
      __m128i s1 = _mm_packs_epi32(_mm_srai_epi32(pa, 16), _mm_srai_epi32(pb, 16));
      // At the row's last sample the second one is the row's first.
      __m128i wrap = _mm_packs_epi32(_mm_cmpeq_epi32(_mm_srli_epi32(qa, 16), last),
                                     _mm_cmpeq_epi32(_mm_srli_epi32(qb, 16), last));
      s1 = _mm_or_si128(_mm_andnot_si128(wrap, s1), _mm_and_si128(wrap, first));
      __m128i frac = _mm_packs_epi32(_mm_srai_epi32(_mm_slli_epi32(qa, 16), 16),
                                     _mm_srai_epi32(_mm_slli_epi32(qb, 16), 16));
      __m128i top = _mm_srai_epi16(frac, 15);
      __m128i hi1 = _mm_add_epi16(_mm_mulhi_epi16(frac, s1), _mm_and_si128(top, s1));
      __m128i hi0 = _mm_add_epi16(_mm_mulhi_epi16(frac, s0), _mm_and_si128(top, s0));
      __m128i lo1 = _mm_mullo_epi16(frac, s1), lo0 = _mm_mullo_epi16(frac, s0);
      __m128i borrow = _mm_cmpgt_epi16(_mm_xor_si128(lo0, sign16), _mm_xor_si128(lo1, sign16));
      __m128i v = _mm_add_epi16(_mm_add_epi16(s0, _mm_sub_epi16(hi1, hi0)), borrow);
      __m128i ylo = _mm_mullo_epi16(v, vamp), yhi = _mm_mulhi_epi16(v, vamp);
      __m128i ya = _mm_srai_epi32(_mm_unpacklo_epi16(ylo, yhi), 14);
      __m128i yb = _mm_srai_epi32(_mm_unpackhi_epi16(ylo, yhi), 14);
      // Below -32768 saturates to -32767; packing takes the top to 32767.
      __m128i ma = _mm_cmpgt_epi32(bottom, ya), mb = _mm_cmpgt_epi32(bottom, yb);
      ya = _mm_or_si128(_mm_andnot_si128(ma, ya), _mm_and_si128(ma, floor_out));
      yb = _mm_or_si128(_mm_andnot_si128(mb, yb), _mm_and_si128(mb, floor_out));
      _mm_storeu_si128(reinterpret_cast<__m128i *>(out + done + i), _mm_packs_epi32(ya, yb));
    }
    done += count;
  }
  return done;
}
#endif

void render_node_tick_osc(sorn_node_state *node, int32_t n) {
  int32_t bits = std::clamp(node->wt_width_bits, 0, 15);
  int32_t width = 1 << bits;
  int32_t height = std::clamp(node->wt_height, 1, 256);
  uint32_t row = uint32_t(((node->val[4] >> 16) & 0xFF) * height >> 8);
  uint32_t table = uint32_t(node->wt_addr) + row * uint32_t(width) * 2;
  uint32_t mask = (uint32_t(1) << (bits + 16)) - 1;
  uint32_t offset = uint32_t(int32_t(int16_t(node->val[5] >> 16)) + 128) << (bits + 8);
  // 64.0 gives 16384; a larger amplitude is kept whole (not cut to 16 bits)
  // and its samples saturate.
  int32_t amp = node->val[0] >> 8;
  uint32_t pos = (uint32_t(node->phase) - offset) & mask;
  if (const uint8_t *p = sorn_ram_span(table, uint32_t(width) * 2 + 2)) {
    int32_t done = 0;
#if defined(__x86_64__)
    if (sorn_avx2_on())
      done = osc_avx2(node, n, pos, mask, amp, p);
    else if (amp >= INT16_MIN && amp <= INT16_MAX)
      done = osc_sse2(node, n, pos, mask, amp, p);
#endif
    pos = osc_row(node, done, n, pos, mask, amp, [p](uint32_t i) {
      int16_t s;  // samples are little-endian, as is every host we build for
      std::memcpy(&s, p + 2 * i, 2);
      return int32_t(s);
    });
  } else {
    pos = osc_row(node, 0, n, pos, mask, amp,
                  [table](uint32_t i) { return int32_t(sorn_ram16(table + 2 * i)); });
  }
  node->phase = (pos + offset) & mask;
  INVARIANT(node->phase <= mask && mask <= 0x7FFFFFFF);
}

SORN_LOOP_BODY void add_body(int16_t *dst, const int16_t *src, int32_t n) {
  for (int32_t i = 0; i < n; i++) dst[i] = int16_t(sorn_clamp_sample(int32_t(dst[i]) + src[i]));
}

SORN_LOOP_BODY void mul_body(int16_t *dst, const int16_t *src, int32_t n, int32_t shift) {
  int sh = std::clamp(15 - shift, 0, 31);
  for (int32_t i = 0; i < n; i++)
    dst[i] = int16_t(sorn_clamp_sample((int64_t(src[i]) * dst[i]) >> sh));
}

SORN_LOOP_BODY void xor_body(int16_t *dst, const int16_t *src, int32_t n) {
  for (int32_t i = 0; i < n; i++) dst[i] = int16_t(dst[i] ^ src[i]);
}

SORN_LOOP_BODY void or_body(int16_t *dst, const int16_t *src, int32_t n) {
  for (int32_t i = 0; i < n; i++) dst[i] = int16_t(dst[i] | src[i]);
}

// Applies op(dst, src * gain / 4096) to the left buffer, then the right.
template <typename Op>
SORN_LOOP_BODY void split(int16_t *dl, int16_t *dr, int32_t gl, int32_t gr, const int16_t *src,
                          int32_t n, Op op) {
  for (int32_t i = 0; i < n; i++) dl[i] = op(dl[i], int32_t(int64_t(src[i]) * gl / 4096));
  for (int32_t i = 0; i < n; i++) dr[i] = op(dr[i], int32_t(int64_t(src[i]) * gr / 4096));
}

SORN_LOOP_BODY void add_split_body(int16_t *dl, int16_t *dr, int32_t gl, int32_t gr,
                                   const int16_t *src, int32_t n) {
  split(dl, dr, gl, gr, src, n,
        [](int16_t d, int32_t c) { return int16_t(sorn_clamp_sample(int64_t(d) + c)); });
}

SORN_LOOP_BODY void mul_split_body(int16_t *dl, int16_t *dr, int32_t gl, int32_t gr,
                                   const int16_t *src, int32_t n, int32_t shift) {
  int sh = std::clamp(15 - shift, 0, 31);
  split(dl, dr, gl, gr, src, n,
        [sh](int16_t d, int32_t c) { return int16_t(sorn_clamp_sample((int64_t(c) * d) >> sh)); });
}

SORN_LOOP_BODY void xor_split_body(int16_t *dl, int16_t *dr, int32_t gl, int32_t gr,
                                   const int16_t *src, int32_t n) {
  split(dl, dr, gl, gr, src, n, [](int16_t d, int32_t c) { return int16_t(d ^ int16_t(c)); });
}

SORN_LOOP_BODY void or_split_body(int16_t *dl, int16_t *dr, int32_t gl, int32_t gr,
                                  const int16_t *src, int32_t n) {
  split(dl, dr, gl, gr, src, n, [](int16_t d, int32_t c) { return int16_t(d | int16_t(c)); });
}

void add_buffer(int16_t *dst, const int16_t *src, int32_t n) {
  int32_t done = 0;
#if defined(__x86_64__)
  // SSE2's saturating add stops at -32768, one below the floor.
  if (!sorn_avx2_on()) {
    const __m128i floor_out = _mm_set1_epi16(-SORN_SAMPLE_MAX);
    for (; done + 8 <= n; done += 8) {
      __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(dst + done));
      __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + done));
      _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + done),
                       _mm_max_epi16(_mm_adds_epi16(a, b), floor_out));
    }
  }
#endif
  sorn_vector_run<add_body>(dst + done, src + done, n - done);
}
void mul_buffer(int16_t *dst, const int16_t *src, int32_t n, int32_t shift) {
  sorn_vector_run<mul_body>(dst, src, n, shift);
}
void xor_buffer(int16_t *dst, const int16_t *src, int32_t n) {
  sorn_vector_run<xor_body>(dst, src, n);
}
void or_buffer(int16_t *dst, const int16_t *src, int32_t n) {
  sorn_vector_run<or_body>(dst, src, n);
}
void add_buffer_split(int16_t *dl, int16_t *dr, int32_t gl, int32_t gr, const int16_t *src,
                      int32_t n) {
  sorn_vector_run<add_split_body>(dl, dr, gl, gr, src, n);
}
void mul_buffer_split(int16_t *dl, int16_t *dr, int32_t gl, int32_t gr, const int16_t *src,
                      int32_t n, int32_t shift) {
  sorn_vector_run<mul_split_body>(dl, dr, gl, gr, src, n, shift);
}
void xor_buffer_split(int16_t *dl, int16_t *dr, int32_t gl, int32_t gr, const int16_t *src,
                      int32_t n) {
  sorn_vector_run<xor_split_body>(dl, dr, gl, gr, src, n);
}
void or_buffer_split(int16_t *dl, int16_t *dr, int32_t gl, int32_t gr, const int16_t *src,
                     int32_t n) {
  sorn_vector_run<or_split_body>(dl, dr, gl, gr, src, n);
}
