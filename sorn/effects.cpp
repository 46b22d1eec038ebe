// Filter, echo and waveshaping gain.
#include "sorn/effects.h"

#include <algorithm>
#include <cstdlib>

// Resonance is taken as 0 or more: a negative value could bring the divisor to
// zero. Returns the feedback factor k (at most 65536).
static int64_t resonance_k(int64_t r) {
  r = std::clamp<int64_t>(r, 0, int64_t(1) << 30);
  return (int64_t(1) << 32) / (65536 + 128 * ((((r * r) >> 16) + r) / 2));
}

static int64_t cutoff_f(int32_t v0) {
  int64_t c0 = (v0 >> 8) & 0xFFFF;
  return ((65536 - c0) * (65536 - c0)) >> 16;
}

void apply_fx_filter(sorn_node_state *parent, sorn_node_state *fx, int32_t n) {
  int16_t *x = parent->output;
  int64_t c1 = (fx->val[1] >> 8) & 0xFFFF;
  int64_t k = resonance_k(fx->val[2] >> 8), f = cutoff_f(fx->val[0]);
  int64_t d = 65536 - int64_t(uint32_t(c1 * c1) >> 16);
  int64_t low = fx->flt_low, band = fx->flt_band, high = fx->flt_high;
  for (int32_t i = 0; i < n; i++) {
    int64_t l0 = low;
    band += (x[i] - (band + l0)) * k / 65536;
    low = l0 + band * f / 65536;
    high = (high - int32_t(l0) + low) * d / 65536;
    x[i] = int16_t(high <= -32768 ? -SORN_SAMPLE_MAX : high >= 32767 ? SORN_SAMPLE_MAX : high);
  }
  fx->flt_low = low, fx->flt_band = band, fx->flt_high = high;
}

void apply_fx_2pole_filter(sorn_node_state *parent, sorn_node_state *fx, int32_t n) {
  int16_t *x = parent->output;
  int64_t r = std::clamp<int64_t>(fx->val[2] >> 8, -0xFFFFFF, 0xFFFFFF);
  int64_t k = resonance_k((r * r) >> 16), f = cutoff_f(fx->val[0]);
  int64_t a = fx->flt2_a, b = fx->flt2_b, t = fx->flt2_c;
  for (int32_t i = 0; i < n; i++) {
    t = x[i] - a - b * k / 65536;
    b += t * f / 65536;
    a += b * f / 65536;
    x[i] = int16_t(sorn_clamp_sample(a));
  }
  fx->flt2_a = a, fx->flt2_b = b, fx->flt2_c = t;
}

void apply_fx_echo(sorn_node_state *parent, sorn_node_state *fx, int32_t n) {
  if (n <= 0) return;
  int16_t *x = parent->output, *ring = fx->output;
  int64_t delay = fx->val[0], gain = fx->val[1] & 0xFFFFFF;
  int64_t d0 = fx->echo_prev_delay == -1 ? delay : fx->echo_prev_delay;
  int64_t g0 = fx->echo_prev_feedback == -1 ? gain : fx->echo_prev_feedback;
  int32_t p = fx->echo_pos & 0x7FFF;
  for (int32_t i = 0; i < n; i++) ring[(p + i) & 0x7FFF] = x[i];
  int64_t gstep = (gain - g0) / n;
  int64_t read = ((int64_t(p) << 16) - (d0 * 32256 >> 8)) & 0x7FFFFFFE;
  int64_t dstep = ((delay * 32256 >> 8) - (d0 * 32256 >> 8)) / n;
  int64_t g = g0;
  for (int32_t i = 0, q = p; i < n; i++, q = (q + 1) & 0x7FFF) {
    ring[q] = int16_t(sorn_clamp_sample(ring[q] + ring[(read >> 16) & 0x7FFF] * g / 0x1000000));
    read = (read - dstep + 0x10000) & 0x7FFFFFFF;
    g += gstep;
  }
  for (int32_t i = 0; i < n; i++) x[i] = ring[(p + i) & 0x7FFF];
  fx->echo_pos = (p + n) & 0x7FFF;
  fx->echo_prev_delay = delay;
  fx->echo_prev_feedback = gain;
}

void apply_fx_gain(sorn_node_state *parent, sorn_node_state *fx, int32_t n) {
  int16_t *x = parent->output;
  // Drive 1.0..8.0, knee and shape within their byte ranges.
  int64_t v0 = std::clamp(fx->val[0], 0, 0xFF0000), v1 = std::clamp(fx->val[1], 0, 0xFF0000);
  int64_t v2 = std::clamp(fx->val[2], 0, 0xFF0000);
  int64_t drive = 65536 + (7 * v0) / 255, q = v1 / 255, knee = 65536 - v2 / 255;
  int64_t vol = fx->val[3] / 64, thr = (knee << 16) / drive;
  int64_t slope = 0;
  if (thr != 65536) {
    int64_t s1 = ((int64_t(1) << 32) - (knee << 16)) / (65536 - thr);
    int64_t s2 = ((drive - knee) << 16) / (65536 - thr);
    slope =
        v1 <= 0x7F7FFF ? (s1 * 2 * q + s2 * (65536 - 2 * q)) >> 16 : ((0x20000 - 2 * q) * s1) >> 16;
  }
  bool fold = v1 >= 0xFF0000;
  for (int32_t i = 0; i < n; i++) {
    int64_t a = 2 * std::abs(int32_t(x[i])), m;
    if (!fold) {
      m = a < thr ? (a * drive) >> 16 : (((a - thr) * slope) >> 16) + knee;
    } else {
      int64_t y = a * drive;
      if (a >= thr) {
        uint32_t idx = uint32_t(((y >> 16) - knee) * (q + 0x7FFF0000)) >> 17;
        y = int64_t(gain_tri[idx & 0x3FFF]) * 2 * knee;
      }
      m = y >> 16;
    }
    if (m < 0 || m > 65535) m = 65535;
    int64_t h = m >> 1;
    x[i] = int16_t(sorn_clamp_sample(((x[i] < 0 ? -h : h) * vol) >> 16));
  }
}
