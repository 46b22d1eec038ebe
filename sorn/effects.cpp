// Filter, echo and waveshaping gain.
#include "sorn/effects.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/debug_log.h"
#include "sorn/vector_loop.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

// Resonance is taken as 0 or more: a negative value could bring the divisor to
// zero. Returns the feedback factor k, 1..65536: at the top of the resonance
// range the divisor passes 2^32, and a k of 0 would leave the band state
// without damping, growing until the 64-bit state overflows.
static int64_t resonance_k(int64_t r) {
  r = std::clamp<int64_t>(r, 0, int64_t(1) << 30);
  return std::max<int64_t>(1, (int64_t(1) << 32) / (65536 + 128 * ((((r * r) >> 16) + r) / 2)));
}

static int64_t cutoff_f(int32_t v0) {
  int64_t c0 = (v0 >> 8) & 0xFFFF;
  return ((65536 - c0) * (65536 - c0)) >> 16;
}

// a * b / 65536 rounded toward zero, for b >= 0: the product then has a's
// sign (or is zero), so the rounding bias comes from a while the multiply
// runs, and the state's chain from one sample to the next is shorter.
static inline int64_t mul_div16(int64_t a, int64_t b) {
  return (a * b + ((a >> 63) & 0xFFFF)) >> 16;
}

// Bound of the filter's three state values. Held at any one setting the
// filter is stable (its damping k and cutoff f are both positive): from
// silence a full-scale input drives no state past about 2^23, and a state
// left by one setting grows under the next by at most about sqrt(f / k) <=
// 256, to about 2^31. Settings that change from tick to tick, though, can
// pump energy in without limit, so the state is saturated: beyond anything
// those reach (their sound is unchanged), and near enough that every product
// stays far inside 64 bits.
static constexpr int64_t filter_state_max = int64_t(1) << 33;

static inline int64_t filter_sat(int64_t v) {
  return v > filter_state_max ? filter_state_max : v < -filter_state_max ? -filter_state_max : v;
}

// One call holds one setting, under which the low and band states started
// within the bound grow at most some 2^9 times (to about 2^42), so their
// products stay inside 64 bits without a test on every sample; they are
// saturated as the call ends. The high state has no such limit (where the
// low state passes 32 bits, what it adds each sample does not cancel), so it
// is saturated on every sample, off the low and band states' chain.
void apply_fx_filter(sorn_node_state *parent, sorn_node_state *fx, int32_t n) {
  int16_t *x = parent->output;
  int64_t c1 = (fx->val[1] >> 8) & 0xFFFF;
  int64_t k = resonance_k(fx->val[2] >> 8), f = cutoff_f(fx->val[0]);
  int64_t d = 65536 - int64_t(uint32_t(c1 * c1) >> 16);
  INVARIANT(k > 0 && f >= 0 && d > 0);
  // A state from anywhere else (a test, a node record written whole) is
  // brought inside first.
  int64_t low = filter_sat(fx->flt_low), band = filter_sat(fx->flt_band);
  int64_t high = filter_sat(fx->flt_high);
  for (int32_t i = 0; i < n; i++) {
    int64_t l0 = low;
    band += mul_div16(x[i] - band - l0, k);
    low = l0 + mul_div16(band, f);
    high = filter_sat(mul_div16(high - int32_t(l0) + low, d));
    x[i] = int16_t(std::clamp<int64_t>(high, -SORN_SAMPLE_MAX, SORN_SAMPLE_MAX));
  }
  fx->flt_low = filter_sat(low), fx->flt_band = filter_sat(band), fx->flt_high = high;
}

// x[i] += tap[i] * g_i / 2^24 rounded toward zero, saturated, where every
// g_i = g + i * gstep lies in 0..2^24 (the caller's feedback values do). The
// magnitude's product is taken over the 12-bit halves of g_i, each product
// inside 32 bits, so that the loop runs eight samples a step.
SORN_LOOP_BODY void echo_sum(int16_t *x, const int16_t *tap, int64_t g, int64_t gstep, int32_t n) {
  uint32_t g0 = uint32_t(g), step = uint32_t(gstep);
  for (int32_t i = 0; i < n; i++) {
    uint32_t gi = g0 + uint32_t(i) * step;  // exact: the true value is below 2^24
    int32_t t = tap[i], mag = t < 0 ? -t : t;
    int32_t q = (mag * int32_t(gi >> 12) + ((mag * int32_t(gi & 0xFFF)) >> 12)) >> 12;
    x[i] = int16_t(sorn_clamp_sample(x[i] + (t < 0 ? -q : q)));
  }
}

#if defined(__x86_64__)
// echo_sum eight samples a step with the SSE2 every x86-64 has: |tap| (up to
// 32768) and the 12-bit halves of g_i fit unsigned 16-bit lanes, whose
// products are put together whole in 32 bits. Returns the samples done, a
// multiple of 8.
static int32_t echo_sum_sse2(int16_t *x, const int16_t *tap, int64_t g, int64_t gstep, int32_t n) {
  uint32_t step = uint32_t(gstep);
  __m128i ga = _mm_add_epi32(_mm_set1_epi32(int(uint32_t(g))),
                             _mm_setr_epi32(0, int(step), int(2 * step), int(3 * step)));
  __m128i gb = _mm_add_epi32(ga, _mm_set1_epi32(int(4 * step)));
  const __m128i step8 = _mm_set1_epi32(int(8 * step)), low12 = _mm_set1_epi32(0xFFF);
  const __m128i floor_out = _mm_set1_epi16(-SORN_SAMPLE_MAX);
  int32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m128i ghi = _mm_packs_epi32(_mm_srli_epi32(ga, 12), _mm_srli_epi32(gb, 12));
    __m128i glo = _mm_packs_epi32(_mm_and_si128(ga, low12), _mm_and_si128(gb, low12));
    __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i *>(tap + i));
    __m128i sign = _mm_srai_epi16(t, 15);
    __m128i mag = _mm_sub_epi16(_mm_xor_si128(t, sign), sign);
    __m128i h_lo = _mm_mullo_epi16(mag, ghi), h_hi = _mm_mulhi_epu16(mag, ghi);
    __m128i l_lo = _mm_mullo_epi16(mag, glo), l_hi = _mm_mulhi_epu16(mag, glo);
    __m128i qa = _mm_srli_epi32(_mm_add_epi32(_mm_unpacklo_epi16(h_lo, h_hi),
                                              _mm_srli_epi32(_mm_unpacklo_epi16(l_lo, l_hi), 12)),
                                12);
    __m128i qb = _mm_srli_epi32(_mm_add_epi32(_mm_unpackhi_epi16(h_lo, h_hi),
                                              _mm_srli_epi32(_mm_unpackhi_epi16(l_lo, l_hi), 12)),
                                12);
    __m128i sa = _mm_unpacklo_epi16(sign, sign), sb = _mm_unpackhi_epi16(sign, sign);
    qa = _mm_sub_epi32(_mm_xor_si128(qa, sa), sa);
    qb = _mm_sub_epi32(_mm_xor_si128(qb, sb), sb);
    __m128i xv = _mm_loadu_si128(reinterpret_cast<const __m128i *>(x + i));
    __m128i xa = _mm_srai_epi32(_mm_unpacklo_epi16(xv, xv), 16);
    __m128i xb = _mm_srai_epi32(_mm_unpackhi_epi16(xv, xv), 16);
    __m128i y = _mm_packs_epi32(_mm_add_epi32(xa, qa), _mm_add_epi32(xb, qb));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(x + i), _mm_max_epi16(y, floor_out));
    ga = _mm_add_epi32(ga, step8);
    gb = _mm_add_epi32(gb, step8);
  }
  return i;
}
#endif

// Copies n samples (at most a ring) between x and the ring from ring
// position p on, wrapping at its end: into the ring, or out of it.
static void ring_copy(int16_t *ring, int32_t p, int16_t *x, int32_t n, bool into) {
  INVARIANT(p >= 0 && p < SORN_NODE_BUFFER && n >= 0 && n <= SORN_NODE_BUFFER);
  int32_t first = std::min(n, SORN_NODE_BUFFER - p);
  if (into) {
    std::memcpy(ring + p, x, size_t(first) * sizeof(int16_t));
    std::memcpy(ring, x + first, size_t(n - first) * sizeof(int16_t));
  } else {
    std::memcpy(x, ring + p, size_t(first) * sizeof(int16_t));
    std::memcpy(x + first, ring, size_t(n - first) * sizeof(int16_t));
  }
}

// Samples one echo block takes through its independent path.
static constexpr int32_t echo_tap_block = 2048;

// x[i] += ring[read_i] * g_i / 2^24, saturated, for reads that all lie
// outside the samples being written.
static void echo_block(int16_t *ring, int16_t *x, int64_t read, int64_t dstep, int64_t g,
                       int64_t gstep, int32_t n) {
  int16_t tap[echo_tap_block];
  if (dstep == 0) {
    // A steady delay reads one ring sample after another.
    ring_copy(ring, int32_t((read >> 16) & 0x7FFF), tap, n, false);
  } else {
    for (int32_t i = 0; i < n; i++) {
      tap[i] = ring[(read >> 16) & 0x7FFF];
      read = (read - dstep + 0x10000) & 0x7FFFFFFF;
    }
  }
  INVARIANT(g >= 0 && g < 0x1000000 && g + (n - 1) * gstep >= 0 && g + (n - 1) * gstep < 0x1000000);
  int32_t done = 0;
#if defined(__x86_64__)
  if (!sorn_avx2_on()) done = echo_sum_sse2(x, tap, g, gstep, n);
#endif
  sorn_vector_run<echo_sum>(x + done, tap + done, g + done * gstep, gstep, n - done);
}

void apply_fx_echo(sorn_node_state *parent, sorn_node_state *fx, int32_t n) {
  if (n <= 0) return;
  int16_t *x = parent->output, *ring = fx->output;
  int64_t delay = fx->val[0], gain = fx->val[1] & 0xFFFFFF;
  int64_t d0 = fx->echo_prev_delay == -1 ? delay : fx->echo_prev_delay;
  int64_t g0 = fx->echo_prev_feedback == -1 ? gain : fx->echo_prev_feedback;
  int32_t p = fx->echo_pos & 0x7FFF;
  ring_copy(ring, p, x, n, true);
  int64_t gstep = (gain - g0) / n;
  int64_t read = ((int64_t(p) << 16) - (d0 * 32256 >> 8)) & 0x7FFFFFFE;
  int64_t dstep = ((delay * 32256 >> 8) - (d0 * 32256 >> 8)) / n;
  int64_t g = g0;
  // The read point trails the write point by b (16.16), which moves by dstep
  // a sample. While it trails by more than the block on every sample, no read
  // sees a sample this block changes: the reads are taken first and the sum
  // formed on x (which the ring holds at the write points) without a chain.
  int64_t b0 = ((int64_t(p) << 16) - read) & 0x7FFFFFFF, b1 = b0 + (n - 1) * dstep;
  if (n <= echo_tap_block && std::min(b0, b1) > int64_t(n) << 16 &&
      std::max(b0, b1) < (int64_t(1) << 31)) {
    echo_block(ring, x, read, dstep, g, gstep, n);
    read = (read + n * (0x10000 - dstep)) & 0x7FFFFFFF;
    ring_copy(ring, p, x, n, true);
  } else {
    for (int32_t i = 0, q = p; i < n; i++, q = (q + 1) & 0x7FFF) {
      ring[q] = int16_t(sorn_clamp_sample(ring[q] + ring[(read >> 16) & 0x7FFF] * g / 0x1000000));
      read = (read - dstep + 0x10000) & 0x7FFFFFFF;
      g += gstep;
    }
    ring_copy(ring, p, x, n, false);
  }
  fx->echo_pos = (p + n) & 0x7FFF;
  INVARIANT(read >= 0 && read <= 0x7FFFFFFF);
  fx->echo_prev_delay = delay;
  fx->echo_prev_feedback = gain;
}

// Largest slope magnitude kept: (a - thr) stays below 2^25, so the per-sample
// product stays inside 64 bits. Only settings far outside the byte ranges
// reach it, and their result saturates at 65535 either way.
static constexpr int64_t max_gain_slope = int64_t(1) << 37;

// The gain's shaping below the fold setting: linear up to the threshold,
// then the slope from the knee. No branch, so that it vectorises.
SORN_LOOP_BODY void gain_shape(int16_t *x, int32_t n, int64_t thr, int64_t drive, int64_t slope,
                               int64_t knee, int64_t vol) {
  for (int32_t i = 0; i < n; i++) {
    int64_t a = 2 * std::abs(int32_t(x[i]));
    int64_t lin = (a * drive) >> 16, shaped = (((a - thr) * slope) >> 16) + knee;
    int64_t m = a < thr ? lin : shaped;
    m = m < 0 || m > 65535 ? 65535 : m;
    int64_t h = m >> 1;
    x[i] = int16_t(sorn_clamp_sample(((x[i] < 0 ? -h : h) * vol) >> 16));
  }
}

// gain_shape where every product fits 32 bits: the threshold in 0..65536, the
// slope's magnitude below 2^30 and the volume's at most unity (65536). The
// drive and slope products are taken over their whole and fractional 16-bit
// parts, so that the loop runs eight samples a step; lanes below the
// threshold compute a shaped value they then drop.
SORN_LOOP_BODY void gain_shape_narrow(int16_t *x, int32_t n, int32_t thr, int32_t drive,
                                      int32_t slope, int32_t knee, int32_t vol) {
  int32_t dh = drive >> 16, sh = slope >> 16;
  uint32_t dl = uint32_t(drive) & 0xFFFF, sl = uint32_t(slope) & 0xFFFF;
  for (int32_t i = 0; i < n; i++) {
    int32_t a = 2 * std::abs(int32_t(x[i])), d = a - thr;
    int32_t lin = a * dh + int32_t((uint32_t(a) * dl) >> 16);
    int32_t shaped = d * sh + int32_t((uint32_t(d) * sl) >> 16) + knee;
    int32_t m = a < thr ? lin : shaped;
    m = m < 0 || m > 65535 ? 65535 : m;
    int32_t h = m >> 1;
    x[i] = int16_t(sorn_clamp_sample(((x[i] < 0 ? -h : h) * vol) >> 16));
  }
}

#if defined(__x86_64__)
// The low 32 bits of each lane's product, which SSE2 takes two lanes at a time.
static inline __m128i mul_lo32(__m128i a, __m128i b) {
  __m128i even = _mm_mul_epu32(a, b);
  __m128i odd = _mm_mul_epu32(_mm_srli_epi64(a, 32), _mm_srli_epi64(b, 32));
  return _mm_unpacklo_epi32(_mm_shuffle_epi32(even, 0x08), _mm_shuffle_epi32(odd, 0x08));
}

// gain_shape_narrow on four samples held in 32-bit lanes, the same products
// taken the same way.
static inline __m128i gain_lanes(__m128i xs, __m128i thr, __m128i dh, __m128i dl, __m128i sh,
                                 __m128i sl, __m128i knee, __m128i vol) {
  const __m128i top = _mm_set1_epi32(65535);
  __m128i sign = _mm_srai_epi32(xs, 31);
  __m128i a = _mm_slli_epi32(_mm_sub_epi32(_mm_xor_si128(xs, sign), sign), 1);
  __m128i d = _mm_sub_epi32(a, thr);
  __m128i lin = _mm_add_epi32(mul_lo32(a, dh), _mm_srli_epi32(mul_lo32(a, dl), 16));
  __m128i shaped =
      _mm_add_epi32(_mm_add_epi32(mul_lo32(d, sh), _mm_srli_epi32(mul_lo32(d, sl), 16)), knee);
  __m128i below = _mm_cmpgt_epi32(thr, a);
  __m128i m = _mm_or_si128(_mm_and_si128(below, lin), _mm_andnot_si128(below, shaped));
  __m128i out = _mm_or_si128(_mm_cmpgt_epi32(_mm_setzero_si128(), m), _mm_cmpgt_epi32(m, top));
  m = _mm_or_si128(_mm_andnot_si128(out, m), _mm_and_si128(out, top));
  __m128i h = _mm_srai_epi32(m, 1);
  h = _mm_sub_epi32(_mm_xor_si128(h, sign), sign);
  return _mm_srai_epi32(mul_lo32(h, vol), 16);
}

// gain_shape_narrow eight samples a step with the SSE2 every x86-64 has (the
// plain copy of the loop stays scalar). Returns the samples done, a multiple
// of 8.
static int32_t gain_shape_sse2(int16_t *x, int32_t n, int32_t thr, int32_t drive, int32_t slope,
                               int32_t knee, int32_t vol) {
  const __m128i vthr = _mm_set1_epi32(thr), vknee = _mm_set1_epi32(knee);
  const __m128i vvol = _mm_set1_epi32(vol);
  const __m128i dh = _mm_set1_epi32(drive >> 16), dl = _mm_set1_epi32(drive & 0xFFFF);
  const __m128i sh = _mm_set1_epi32(slope >> 16), sl = _mm_set1_epi32(slope & 0xFFFF);
  int32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m128i xv = _mm_loadu_si128(reinterpret_cast<const __m128i *>(x + i));
    __m128i xa = _mm_srai_epi32(_mm_unpacklo_epi16(xv, xv), 16);
    __m128i xb = _mm_srai_epi32(_mm_unpackhi_epi16(xv, xv), 16);
    __m128i ya = gain_lanes(xa, vthr, dh, dl, sh, sl, vknee, vvol);
    __m128i yb = gain_lanes(xb, vthr, dh, dl, sh, sl, vknee, vvol);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(x + i), _mm_packs_epi32(ya, yb));
  }
  return i;
}
#endif

void apply_fx_gain(sorn_node_state *parent, sorn_node_state *fx, int32_t n) {
  int16_t *x = parent->output;
  // Only a negative drive can bring the divisor to zero; every other value is
  // taken as given, so a drive above 255.0 drives harder.
  int64_t v0 = std::max(fx->val[0], 0), v1 = fx->val[1], v2 = fx->val[2];
  int64_t drive = 65536 + (7 * v0) / 255, q = v1 / 255, knee = 65536 - v2 / 255;
  int64_t vol = fx->val[3] / 64, thr = (knee << 16) / drive;
  int64_t slope = 0;
  if (thr != 65536) {
    // Taken in 128 bits: s1 reaches 2^40 and q 2^23 at the extremes.
    __int128 s1 = ((__int128(1) << 32) - (__int128(knee) << 16)) / (65536 - thr);
    __int128 s2 = (__int128(drive - knee) << 16) / (65536 - thr);
    __int128 s = v1 <= 0x7F7FFF ? (s1 * 2 * q + s2 * (65536 - 2 * q)) >> 16
                                : ((0x20000 - 2 * __int128(q)) * s1) >> 16;
    slope = int64_t(std::clamp<__int128>(s, -max_gain_slope, max_gain_slope));
  }
  if (v1 < 0xFF0000) {
    INVARIANT(drive >= 65536 && drive < (int64_t(1) << 26) && std::abs(knee) < (1 << 24));
    if (thr >= 0 && thr <= 65536 && std::abs(slope) < (int64_t(1) << 30) &&
        std::abs(vol) <= 65536) {
      int32_t done = 0;
#if defined(__x86_64__)
      if (!sorn_avx2_on())
        done = gain_shape_sse2(x, n, int32_t(thr), int32_t(drive), int32_t(slope), int32_t(knee),
                               int32_t(vol));
#endif
      sorn_vector_run<gain_shape_narrow>(x + done, n - done, int32_t(thr), int32_t(drive),
                                         int32_t(slope), int32_t(knee), int32_t(vol));
    } else
      sorn_vector_run<gain_shape>(x, n, thr, drive, slope, knee, vol);
    return;
  }
  for (int32_t i = 0; i < n; i++) {
    int64_t a = 2 * std::abs(int32_t(x[i])), y = a * drive;
    if (a >= thr) {
      uint32_t idx = (uint32_t((y >> 16) - knee) * uint32_t(q + 0x7FFF0000)) >> 17;
      y = int64_t(gain_tri[idx & 0x3FFF]) * 2 * knee;
    }
    int64_t m = y >> 16;
    if (m < 0 || m > 65535) m = 65535;
    int64_t h = m >> 1;
    x[i] = int16_t(sorn_clamp_sample(((x[i] < 0 ? -h : h) * vol) >> 16));
  }
}
