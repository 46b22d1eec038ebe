// Per-tick parameter evaluation and rendering of a channel's node tree.
#include "sorn/tick_render.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "base/debug_log.h"
#include "sorn/effects.h"
#include "sorn/mval.h"
#include "sorn/osc.h"
#include "sorn/sorn.h"

// Effect tables, indexed by a nibble of the effect parameter.
static const int32_t vib_mag[16] = {16, 20, 24, 28, 32, 36,  40,  44,
                                    48, 56, 64, 80, 96, 128, 192, 256};
static const int32_t trem_mag[16] = {16, 24,  32,  40,  48,  56,  64,  80,
                                     96, 112, 128, 144, 160, 192, 224, 256};
static const int32_t vib_spd[16] = {0, 1, 2, 3, 4, 6, 8, 10, 12, 14, 16, 20, 24, 32, 48, 64};
static const int32_t fade_spd[16] = {0, 1, 2, 3, 4, 5, 6, 8, 10, 12, 16, 20, 24, 32, 48, 64};

// The parent of every top-level node, rebuilt from the channel each tick.
static sorn_node_state root_node;
// The previous tick of a node, re-rendered to crossfade when an echo is present.
static int16_t node_ramp_buf[SORN_NODE_BUFFER];

uint32_t get_stereo_contributions(int32_t pan, uint32_t *left, uint32_t *right) {
  pan = std::clamp(pan, -127, 127);
  *left = stereo_contrib[pan + 128];
  *right = stereo_contrib[128 - pan];
  return *right;
}

void apply_fx_node(sorn_node_state *target, sorn_node_state *fx, int32_t n) {
  switch (fx->kind) {
    case NODE_GAIN:
      apply_fx_gain(target, fx, n);
      break;
    case NODE_ECHO:
      apply_fx_echo(target, fx, n);
      break;
    case NODE_FILTER:
      apply_fx_filter(target, fx, n);
      break;
    default:
      break;
  }
}

static int32_t fold_lower(int32_t c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

// Fade in "<" and fade out ">" over the row.
static void fade_effect(sorn_channel *ch, int32_t f) {
  int64_t v = int64_t(ch->vol) << 16, hi = f >> 4, lo = f & 15, t = ch->tick_in_row;
  int32_t spd = get_channel_spd(ch);
  int64_t level = (hi * v) >> 4;
  int64_t step = lo ? (int64_t(ch->vol) * fade_spd[lo]) << 8 : (v - level) / spd;
  int64_t amp = ch->fx == '<' ? std::min(v, level + step * t) : std::max(level, v - step * t);
  root_node.val[0] = int32_t(amp);
  if (t == spd - 1) {
    ch->vol = int32_t(amp >> 16);
    ch->vol_fx = int32_t(amp);
  }
}

// Vibrato "v", tremolo "t" and both "w".
static void vibrato_effect(sorn_channel *ch, int32_t f) {
  int32_t speed = f ? f >> 4 : 10, depth = f ? f & 15 : 6;
  // The product is taken in floating point, so the phase (which wraps as a
  // 32-bit count) can never overflow it; below 2^30 the value is the same as
  // the integer product's.
  int64_t s = int64_t(std::sin(2.0 * double(ch->fx_phase) * 3.141562 / 65536) * 65536.0);
  if (ch->fx != 't')
    root_node.val[3] = int32_t((int64_t(ch->pitch_fx & 0xFFFF) << 8) + vib_mag[depth] * s * 2);
  if (ch->fx != 'v')
    root_node.val[0] =
        int32_t(ch->vol_fx + (int64_t(ch->vol_fx >> 8) * (s >> 8) * trem_mag[depth]) / 256);
  int32_t add = f && speed == 0 ? 65536 / get_channel_spd(ch) : vib_spd[speed] << 8;
  ch->fx_phase = int32_t(uint32_t(ch->fx_phase) + uint32_t(add));
}

static void arpeggio_effect(sorn_channel *ch, int32_t f, int32_t code) {
  ch->alt_state = ch->alt_tick = 0;
  if (!ch->track_playing) {
    ch->arp_step = ch->arp_tick = 0;
    return;
  }
  int32_t per = code == 'n' ? 2 : code == 'm' ? 1 : code == 'b' ? 8 : 4;
  if (per >= 2 && get_channel_spd(ch) < 9) per /= 2;
  if (f) {
    if (ch->arp_step == 1) root_node.val[2] += (f << 12) & 0xF0000;
    bool lower = ch->fx == code;
    if (ch->arp_step == (lower ? 2 : 0)) root_node.val[2] += (f & 15) << 16;
    if (++ch->arp_tick >= per) {
      ch->arp_tick = 0;
      ch->arp_step = (ch->arp_step + 1) % 3;
    }
    return;
  }
  int32_t k = (std::max(ch->ticks_played, 0) / per) % 4;
  int32_t row = (ch->row & ~3) + k;
  uint8_t p = sorn_ram8(uint32_t(ch->track_addr) + 8 + uint32_t(row));
  if (p == SORN_NOT_GIVEN) {
    root_node.val[0] = 0;
    root_node.val[2] = 0;
  } else {
    root_node.val[2] = p << 16;
  }
}

static void alternation_effect(sorn_channel *ch, int32_t f) {
  ch->arp_step = ch->arp_tick = 0;
  if (fold_lower(ch->fx) != 'o' || !ch->track_playing) {
    ch->alt_state = ch->alt_tick = 0;
    return;
  }
  int32_t lo = f & 15;
  if (lo >= 2 && get_channel_spd(ch) < 9) lo /= 2;
  int32_t period = std::max(1, lo);
  if (ch->alt_state == (ch->fx == 'o' ? 1 : 0)) {
    if (f > 15)
      root_node.val[2] += (f >> 4) << 16;
    else
      root_node.val[0] = 0;
  }
  if (++ch->alt_tick >= period) {
    ch->alt_tick = 0;
    ch->alt_state ^= 1;
  }
}

static bool has_phase_step(const sorn_node_state *n) {
  return n->kind == NODE_CONTAINER || n->kind == NODE_OSC;
}

void evaluate_channel_node_parameters(sorn_channel *ch) {
  std::memset(&root_node, 0, sizeof root_node);
  root_node.val[0] = ch->vol_fx;
  root_node.val[1] = int32_t(uint32_t(ch->pan) << 16);
  root_node.val[2] = ((ch->pitch_fx >> 16) & 0xFF) << 16;
  root_node.val[3] = (ch->pitch_fx & 0xFFFF) << 8;
  root_node.freq_num = root_node.freq_den = 1;

  int32_t f = ch->fxp & 255;
  if (ch->track_playing && (ch->fx == '<' || ch->fx == '>')) fade_effect(ch, f);
  if (ch->fx == 'v' || ch->fx == 't' || ch->fx == 'w') vibrato_effect(ch, f);
  int32_t code = fold_lower(ch->fx);
  if (code == 'a' || code == 'b' || code == 'm' || code == 'n')
    arpeggio_effect(ch, f, code);
  else
    alternation_effect(ch, f);

  for (int k = 0; k < SORN_INST_NODES; k++) {
    sorn_node_state *n = &ch->node_state[k];
    if (n->kind == NODE_OFF) continue;
    n->fm_input = nullptr;
    const sorn_node_state *parent = n->parent < k ? &ch->node_state[n->parent] : &root_node;
    if (has_phase_step(n)) {
      n->freq_num = parent->freq_num ? parent->freq_num : 1;
      n->freq_den = parent->freq_den ? parent->freq_den : 1;
    }
    for (int i = 0; i < SORN_PARAMS; i++) {
      int64_t base = parent->val[i];
      if (n->kind == NODE_FILTER && i == 2) base = n->val[0];
      if (n->kind == NODE_GAIN && i == 3) base = ch->node_state[0].val[0];
      uint8_t m[4];
      sorn_read_mval(ch, k, i, m);
      int64_t v = i == 2 && has_phase_step(n) && (m[0] & 2) ? eval_freq_ratio(ch, k, m, base)
                                                            : eval_mval(ch, k, i, m, base);
      n->val[i] = int32_t(v);
      advance_env_tick(ch, k, i, m);
    }
    if (has_phase_step(n)) {
      // A ratio that wrapped to 0 over a deep tree is read as 1.
      unsigned __int128 dx = sorn_get_dx_for_note(n->val[2], n->val[3]);
      n->dx = uint64_t(dx * (n->freq_num ? n->freq_num : 1) / (n->freq_den ? n->freq_den : 1));
    }
  }
}

// The node's own signal for this tick: silence when muted or off, the
// oscillator for kind 2; other kinds keep their buffer.
static void render_own(sorn_node_state *n, int32_t count) { render_node_tick(n, count); }

enum : uint8_t { OWN_KEEP, OWN_SILENT, OWN_OSC };
static uint8_t own_signal(const sorn_node_state *n) {
  if ((n->flags & NODE_FLAG_MUTE) || n->kind == NODE_OFF) return OWN_SILENT;
  return n->kind == NODE_OSC ? OWN_OSC : OWN_KEEP;
}

// True when the previous tick's state of a node renders the same first
// samples as its new state (both fed the same modulation), so that the ramp
// between them would give back the new samples unchanged.
static bool renders_alike(const sorn_node_state *now, const sorn_node_state *prev) {
  uint8_t own = own_signal(now);
  if (own != own_signal(prev)) return false;
  if (own != OWN_OSC) return true;
  return now->phase == prev->phase && now->dx == prev->dx && now->val[0] == prev->val[0] &&
         now->val[4] == prev->val[4] && now->val[5] == prev->val[5] &&
         now->wt_addr == prev->wt_addr && now->wt_width_bits == prev->wt_width_bits &&
         now->wt_height == prev->wt_height && (!now->fm_input || now->mod_shift == prev->mod_shift);
}

// Folds a child oscillator into node 0 and node 8 with its pan.
static void combine_split(sorn_channel *ch, sorn_node_state *u, int32_t n) {
  uint32_t gl, gr;
  get_stereo_contributions(u->val[1] / 65536, &gl, &gr);
  int16_t *l = ch->node_state[0].output, *r = ch->node_state[STEREO_NODE_INDEX].output;
  switch (u->op) {
    case OP_ADD:
      add_buffer_split(l, r, int32_t(gl), int32_t(gr), u->output, n);
      break;
    case OP_MUL:
      mul_buffer_split(l, r, int32_t(gl), int32_t(gr), u->output, n, u->mod_shift);
      break;
    case OP_XOR:
      xor_buffer_split(l, r, int32_t(gl), int32_t(gr), u->output, n);
      break;
    case OP_OR:
      or_buffer_split(l, r, int32_t(gl), int32_t(gr), u->output, n);
      break;
    default:
      break;
  }
}

static void combine(sorn_node_state *v, sorn_node_state *u, int32_t n) {
  switch (u->op) {
    case OP_ADD:
      add_buffer(v->output, u->output, n);
      break;
    case OP_MUL:
      mul_buffer(v->output, u->output, n, u->mod_shift);
      break;
    case OP_XOR:
      xor_buffer(v->output, u->output, n);
      break;
    case OP_OR:
      or_buffer(v->output, u->output, n);
      break;
    default:
      break;
  }
}

void render_channel_tick(sorn_channel *ch, int32_t n) {
  n = std::clamp(n, 1, SORN_NODE_BUFFER);
  sorn_node_state *ns = ch->node_state;
  INVARIANT(ch->index >= 0 && ch->index < 2 * SORN_CHANNELS);
  INVARIANT(ns[STEREO_NODE_INDEX].output ==
            mixer.node_output[ch->index * SORN_MAX_CHANNEL_NODES + STEREO_NODE_INDEX]);
  INVARIANT(ch->max_depth >= 0 && ch->max_depth < SORN_INST_NODES);
  bool echo = false;
  for (int k = 0; k < SORN_INST_NODES; k++) echo |= ns[k].kind == NODE_ECHO;
  std::memset(ns[STEREO_NODE_INDEX].output, 0, size_t(n) * sizeof(int16_t));
  std::memset(ns[0].output, 0, size_t(n) * sizeof(int16_t));
  for (int d = SORN_INST_NODES - 1; d >= 0; d--) {
    for (int v = 0; v < SORN_INST_NODES; v++) {
      sorn_node_state *node = &ns[v];
      if (node->depth != d) continue;
      sorn_node_state *prev = &ch->prev_node_state[v];
      bool ramp = echo && prev->def_addr == node->def_addr && !renders_alike(node, prev);
      if (ramp) std::memcpy(node_ramp_buf, node->output, SORN_CROSSFADE * sizeof(int16_t));
      render_own(node, n);
      if (ramp) {
        prev->output = node_ramp_buf;
        prev->fm_input = node->fm_input;
        render_own(prev, SORN_CROSSFADE);
        int16_t *out = node->output;
        for (int i = 0; i < SORN_CROSSFADE; i++)
          out[i] = int16_t((out[i] * i + node_ramp_buf[i] * (SORN_CROSSFADE - i)) >> 6);
      }
      if (node->kind == NODE_OSC && node->op == OP_FM && node->parent < v) {
        ns[node->parent].fm_input = node->output;
        ns[node->parent].mod_shift = node->mod_shift;
      }
      for (int u = v + 1; u < SORN_INST_NODES; u++) {
        sorn_node_state *child = &ns[u];
        if (child->parent != v || (child->flags & NODE_FLAG_MUTE)) continue;
        if (child->kind == NODE_OSC) {
          if (v == 0 && ch->stereo)
            combine_split(ch, child, n);
          else
            combine(node, child, n);
        } else if (child->kind == NODE_FILTER || child->kind == NODE_ECHO ||
                   child->kind == NODE_GAIN) {
          apply_fx_node(node, child, n);
          INVARIANT(child->clone == -1 || (child->clone > u && child->clone < SORN_INST_NODES));
          if (child->clone != -1) apply_fx_node(&ns[STEREO_NODE_INDEX], &ns[child->clone], n);
        }
      }
    }
  }
  // The counters stop at their top instead of wrapping (after about 206 days).
  int32_t &ticks = ch->note_on ? ch->ticks_held : ch->ticks_released;
  if (ticks < INT32_MAX) ticks++;
  std::memcpy(ch->prev_node_state, ch->node_state, sizeof ch->node_state);
}
