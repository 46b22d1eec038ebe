// Parameter values and envelopes.
#include "sorn/mval.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "base/debug_log.h"
#include "sorn/node_tree.h"

static constexpr int32_t LEVEL_FULL = 65280;

enum : uint8_t { ENV_ADSR = 0, ENV_LFO = 1, ENV_DATA = 2 };
enum : uint8_t { ENVF_INTERPOLATE = 1 << 0, ENVF_RANDOM_START = 1 << 3, ENVF_LOOP = 1 << 4 };
enum : uint8_t {
  MV_ADD = 1 << 0,
  MV_MUL = 1 << 1,
  MV_ENV = 1 << 2,
  MV_RANDOM = 1 << 4,
  MV_INTEGER = 1 << 5
};

int32_t get_env_duration(int32_t v) {
  v &= 255;
  if (v < 16) return v;
  if (v < 32) return 2 * v - 16;
  if (v < 64) return 4 * v - 80;
  if (v < 128) return 8 * v - 336;
  return 16 * v - 1360;
}

int32_t get_channel_spd(const sorn_channel *ch) {
  return ch->track_playing && ch->spd > 0 ? ch->spd : 16;
}

int32_t get_spd(int32_t v, const sorn_channel *ch) {
  return (v & 255) ? get_env_duration(v) : get_channel_spd(ch);
}

// Signed parameters by kind & 3 and index: pan and pitches of containers,
// those and the phase of oscillators.
static const uint32_t mval_signed_dat[4][8] = {
    {0, 0, 0, 0, 0, 0, 0, 0},
    {0, 1, 1, 1, 0, 0, 0, 0},
    {0, 1, 1, 1, 0, 1, 0, 0},
    {0, 0, 0, 0, 0, 0, 0, 0},
};

int is_mval_signed(int32_t kind, int32_t index) {
  if (kind < 0 || kind > 4 || index < 0 || index >= 8) return 0;
  return int(mval_signed_dat[kind & 3][index]);
}

void sorn_read_mval(const sorn_channel *ch, int32_t k, int32_t index, uint8_t m[4]) {
  uint32_t a = uint32_t(ch->node_state[k].def_addr) + 4 + 4 * uint32_t(index);
  for (int i = 0; i < 4; i++) m[i] = sorn_ram8(a + uint32_t(i));
}

static uint32_t env_addr(const sorn_channel *ch, const uint8_t m[4]) {
  return sorn_inst_addr(ch) + INST_ENVELOPES + INST_ENVELOPE_SIZE * (m[3] & 15u);
}

static int32_t evaluate_envelope_adsr(uint32_t e, int32_t t, const sorn_channel *ch, int64_t held) {
  int32_t a = get_env_duration(sorn_ram8(e + 8)), d = get_env_duration(sorn_ram8(e + 9));
  int32_t s = sorn_ram8(e + 10) << 8, r = get_env_duration(sorn_ram8(e + 11));
  if (ch->note_on) {
    if (t < a) return int32_t((int64_t(t) * LEVEL_FULL + LEVEL_FULL) / (a + 1));
    if (int64_t(t) - a > d) return s;
    return int32_t((int64_t(d + 1) - (int64_t(t) - a)) * (LEVEL_FULL - s) / (d + 1) + s);
  }
  if (r == 0) return 0;
  return int32_t(std::max<int64_t>(0, r - ch->ticks_released) * held / (r + 1));
}

static int32_t evaluate_envelope_lfo(uint32_t e, int32_t t, const sorn_channel *ch) {
  double p = get_spd(sorn_ram8(e + 12), ch);
  double angle = (t * 3.141562 * 2.0) / p + (sorn_ram8(e + 14) * 0.00390625) * 6.283124;
  int32_t w = int32_t(std::sin(angle) * 32640.0);
  return std::clamp(w, -32640, 32640) + 32640;
}

static int32_t evaluate_envelope_data(uint32_t e, int32_t t, const sorn_channel *ch) {
  int32_t period = get_spd(sorn_ram8(e + 2), ch);
  t = std::max(t, 0);
  int32_t step = t / period, r = t % period;
  int32_t v = step > 15 ? 0 : sorn_ram8(e + 8 + uint32_t(step));
  if (!(sorn_ram8(e + 1) & ENVF_INTERPOLATE)) return v << 8;
  int32_t ls = sorn_ram8(e + 3), le = sorn_ram8(e + 4);
  int32_t next = step + 1 == le && ls < le ? ls : step + 1;
  int32_t nv = next < 16 ? sorn_ram8(e + 8 + uint32_t(next)) : 0;
  return (r << 8) / period * (nv - v) + (v << 8);
}

int32_t evaluate_envelope(uint32_t e, int32_t t, const sorn_channel *ch, int64_t held) {
  switch (sorn_ram8(e)) {
    case ENV_ADSR:
      return evaluate_envelope_adsr(e, t, ch, held);
    case ENV_LFO:
      return evaluate_envelope_lfo(e, t, ch);
    case ENV_DATA:
      return evaluate_envelope_data(e, t, ch);
    default:
      return 0;
  }
}

// The level blend of step 2: a at full level, b at zero level.
static int64_t blend(sorn_channel *ch, int32_t k, int32_t index, const uint8_t m[4], int64_t a,
                     int64_t b) {
  sorn_node_state *n = &ch->node_state[k];
  int64_t e;
  if (m[0] & MV_ENV) {
    e = evaluate_envelope(env_addr(ch, m), n->env_tick[index], ch, n->env_level[index]);
    if (ch->note_on) n->env_level[index] = e;
  } else if (m[0] & MV_RANDOM) {
    e = n->rnd[index];
    INVARIANT(e >= 0 && e < LEVEL_FULL);
  } else {
    return a << 16;
  }
  return ((a * e + b * (LEVEL_FULL - e)) << 8) / 255;
}

int64_t evaluate_mval2(sorn_channel *ch, int32_t k, int32_t index, const uint8_t m[4], int32_t low,
                       int32_t high) {
  return blend(ch, k, index, m, high, low);
}

// The scale of byte 3: 0, or +-2, 4, 6.
static int32_t mval_scale(uint8_t b3) {
  if (b3 < 64) return 0;
  int32_t s = 2 * (b3 >> 6);
  return b3 & 0x20 ? -s : s;
}

int64_t eval_mval(sorn_channel *ch, int32_t k, int32_t index, const uint8_t m[4], int64_t parent) {
  sorn_node_state *n = &ch->node_state[k];
  bool sign = is_mval_signed(n->kind, index);
  int64_t a = sign ? int8_t(m[1]) : m[1], b = sign ? int8_t(m[2]) : m[2];
  int64_t v = blend(ch, k, index, m, a, b);
  int32_t s = mval_scale(m[3]);
  if (index == 0 && n->kind == NODE_OSC && (n->op == OP_FM || n->op == OP_MUL)) {
    n->mod_shift = s;
  } else if (s > 0) {
    v <<= s;
  } else if (s < 0) {
    v /= int64_t(1) << -s;
  }
  uint8_t mode = m[0] & (MV_ADD | MV_MUL);
  if (mode == MV_ADD) v += parent;
  if (mode == MV_MUL) v = (v >> 11) * (parent >> 11);
  if (m[0] & MV_INTEGER) v &= ~int64_t(0xFFFF);
  return v;
}

int64_t eval_freq_ratio(sorn_channel *ch, int32_t k, const uint8_t m[4], int64_t parent) {
  sorn_node_state *n = &ch->node_state[k];
  int64_t v = evaluate_mval2(ch, k, 2, m, m[2], m[1]);
  int32_t r = int32_t(std::clamp<int64_t>(v >> 16, 0, 255));
  uint32_t num = (r & 15) + 1, den = (r >> 4) + 1;
  if (m[3] >= 64) {
    int32_t s = 2 * (m[3] >> 6);
    if (m[3] & 0x20)
      den <<= s;
    else
      num <<= s;
  }
  n->freq_num *= num;
  n->freq_den *= den;
  return parent;
}

// Wraps env_tick into the envelope's loop, when it has one that applies.
static void wrap_env_loop(sorn_channel *ch, int32_t *tick, uint32_t e) {
  int32_t ls = sorn_ram8(e + 3), le = sorn_ram8(e + 4);
  if (le <= ls) return;
  int32_t period = get_spd(sorn_ram8(e + 2), ch);
  int64_t end = int64_t(period) * le, back = int64_t(le - ls) * period;
  if (*tick >= end) *tick = int32_t(*tick - ((*tick - end) / back + 1) * back);
}

void advance_env_tick(sorn_channel *ch, int32_t k, int32_t index, const uint8_t m[4]) {
  INVARIANT(k >= 0 && k < SORN_INST_NODES && index >= 0 && index < SORN_PARAMS);
  int32_t *tick = &ch->node_state[k].env_tick[index];
  if (*tick < INT32_MAX) *tick += 1;
  if (!ch->note_on) return;
  uint32_t e = env_addr(ch, m);
  if ((sorn_ram8(e + 1) & ENVF_LOOP) || (sorn_ram8(e) & 15) == ENV_DATA) wrap_env_loop(ch, tick, e);
}

void retrigger_mval_env_tick(sorn_channel *ch, int32_t k, int32_t index, const uint8_t m[4]) {
  int32_t *tick = &ch->node_state[k].env_tick[index];
  uint32_t e = env_addr(ch, m);
  uint8_t flags = sorn_ram8(e + 1);
  if (!(flags & ENVF_LOOP) && (sorn_ram8(e) & 15) != ENV_DATA) {
    *tick = 0;
    return;
  }
  int32_t start = sorn_ram8(e + 5) * get_spd(sorn_ram8(e + 2), ch);
  *tick = start;
  if ((flags & ENVF_RANDOM_START) && start > 0) *tick = std::rand() % start;
  wrap_env_loop(ch, tick, e);
}
