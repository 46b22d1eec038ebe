// Node trees: loading an instrument into a channel, starting and releasing
// notes, and resetting channels.
#include "sorn/node_tree.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "base/debug_log.h"
#include "sorn/music.h"
#include "sorn/mval.h"
#include "sorn/sorn.h"

uint32_t sorn_inst_addr(const sorn_channel *ch) {
  return (uint32_t(ch->inst) << 9) + uint32_t(ch->base_addr) + AUDIO_INSTRUMENTS;
}

void grab_node_tree(sorn_channel *ch) {
  ch->max_depth = 0;
  if (ch->inst == SORN_NOT_GIVEN) {
    for (int i = 0; i < SORN_INST_NODES; i++) ch->node_state[i].kind = NODE_OFF;
    return;
  }
  uint32_t a = sorn_inst_addr(ch);
  ch->inst_flags = sorn_ram8(a + INST_FLAGS);
  ch->stereo = ch->inst_flags & INST_FLAG_STEREO;
  for (int i = 0; i < SORN_INST_NODES; i++) {
    sorn_node_state *n = &ch->node_state[i];
    uint32_t d = a + INST_NODE_DEF_SIZE * uint32_t(i);
    uint8_t b0 = sorn_ram8(d), b1 = sorn_ram8(d + 1);
    n->def_addr = int32_t(d & (RAM_SIZE - 1));
    n->parent = b0 & 15;
    n->op = b0 >> 4;
    n->kind = b1 & 15;
    n->wt_slot = b1 >> 4;
    n->flags = sorn_ram8(d + 2);
    n->reserved = sorn_ram8(d + 3);
    n->is_clone = 0;
    n->clone = -1;
    n->depth = i > n->parent ? ch->node_state[n->parent].depth + 1 : 0;
    ch->max_depth = std::max(ch->max_depth, n->depth);
    INVARIANT(n->depth >= 0 && n->depth <= i);
    if (n->kind == NODE_OSC) {
      uint32_t s = a + INST_WAVETABLE_SLOTS + 4 * uint32_t(n->wt_slot & 3);
      n->wt_addr = int32_t((uint32_t(sorn_ram8(s)) | uint32_t(sorn_ram8(s + 1)) << 8) << 8);
      // Width bits beyond 15 would leave no room in the 32-bit phase.
      n->wt_width_bits = std::min<int32_t>(sorn_ram8(s + 2), 15);
      n->wt_width = 1 << n->wt_width_bits;
      n->wt_height = sorn_ram8(s + 3) ? sorn_ram8(s + 3) : 256;
    }
  }
  sorn_node_state *right = &ch->node_state[STEREO_NODE_INDEX];
  std::memset(right, 0, sizeof *right);
  right->output = mixer.node_output[ch->index * SORN_MAX_CHANNEL_NODES + STEREO_NODE_INDEX];
  if (!ch->stereo) return;
  for (int i = 0; i < SORN_INST_NODES - 1; i++) {
    sorn_node_state *n = &ch->node_state[i];
    if (n->depth != 1 || n->kind < NODE_FILTER || n->is_clone) continue;
    for (int j = i + 1; j < SORN_INST_NODES; j++) {
      sorn_node_state *t = &ch->node_state[j];
      if (t->kind != NODE_OFF) continue;
      std::memcpy(t, n, offsetof(sorn_node_state, flt_low));
      t->is_clone = 1;
      t->parent = STEREO_NODE_INDEX;
      n->clone = j;
      break;
    }
  }
}

void prepare_nodes_for_new_instrument(sorn_channel *ch) {
  ch->echo_synced = 0;
  for (auto &n : ch->node_state) {
    if (n.kind == NODE_ECHO) std::memset(n.output, 0, SORN_NODE_BUFFER * sizeof(int16_t));
    n.echo_pos = 0;
    n.echo_prev_delay = -1;
    n.echo_prev_feedback = -1;
  }
}

void reset_channel_state(sorn_channel *ch) {
  ch->inst = SORN_NOT_GIVEN;
  ch->vol = 0;
  ch->pan = 0;
  ch->pitch = 48;
  ch->ticks_since_note = 0;
  ch->pitch_fx = 48 << 16;
  ch->note_on = 0;
  ch->vol_fx = 0;
  ch->given_inst = SORN_NOT_GIVEN;
  ch->mix_vol = 64;
}

void release_note(sorn_channel *ch) {
  sorn_set_note(ch->index, SORN_NOT_GIVEN, SORN_NOT_GIVEN, SORN_NOT_GIVEN, SORN_NOT_GIVEN,
                SORN_NOT_GIVEN, 0, SORN_NO_PAN);
}

void kill_channel(sorn_channel *ch, int full) {
  release_note(ch);
  ch->track_playing = 0;
  ch->note_on = 0;
  if (!full) return;
  reset_channel_state(ch);
  grab_node_tree(ch);
  prepare_nodes_for_new_instrument(ch);
}

static int32_t fx_alias(int32_t fx) {
  switch (fx) {
    case '1':
      return 's';
    case '2':
      return 'v';
    case '3':
      return '-';
    case '4':
      return '<';
    case '5':
      return '>';
    default:
      return fx;
  }
}

static void retrigger(sorn_channel *ch) {
  ch->ticks_since_note = 0;
  ch->fx_phase = 0;
  for (int k = 0; k < SORN_INST_NODES; k++) {
    sorn_node_state *n = &ch->node_state[k];
    if (!(n->flags & NODE_FLAG_KEEP_PHASE)) n->phase = 0;
    for (int i = 0; i < SORN_PARAMS; i++) {
      uint8_t m[4];
      sorn_read_mval(ch, k, i, m);
      if ((m[0] & 4) && !(m[0] & 8)) retrigger_mval_env_tick(ch, k, i, m);
      n->rnd[i] = std::rand() % 65280;
    }
  }
}

void sorn_set_note(int32_t c, int32_t pitch, int32_t inst, int32_t vol, int32_t fx, int32_t fxp,
                   int32_t retrig, int32_t pan) {
  if (c == -1) {
    for (int i = 0; i < SORN_CHANNELS; i++) {
      sorn_channel *ch = &mixer.channel[i];
      release_note(ch);
      ch->track_playing = 0;
      reset_channel_state(ch);
      grab_node_tree(ch);
      prepare_nodes_for_new_instrument(ch);
    }
    sorn_stop_music();
    return;
  }
  if (c < 0 || c >= SORN_CHANNELS) return;
  sorn_channel *ch = &mixer.channel[c];
  int32_t old_inst = ch->inst, old_pitch = ch->pitch, was_on = ch->note_on;
  ch->samples_per_tick = SORN_SAMPLES_PER_TICK;
  if (inst < 0 || inst >= 256) {
    // Not an instrument: the channel is reset.
    release_note(ch);
    ch->track_playing = 0;
    reset_channel_state(ch);
    grab_node_tree(ch);
    prepare_nodes_for_new_instrument(ch);
    return;
  }
  ch->prev_vol = ch->vol;
  ch->prev_pan = ch->pan;
  ch->prev_pitch = ch->pitch;
  ch->prev_ticks_since_note = ch->ticks_since_note;
  ch->given_vol = vol;
  ch->given_pitch = pitch;
  ch->given_inst = inst;
  if (pitch != SORN_NOT_GIVEN) ch->pitch = pitch;
  if (inst != SORN_NOT_GIVEN) ch->inst = inst;
  if (vol != SORN_NOT_GIVEN) ch->vol = vol;
  if (fx == SORN_NOT_GIVEN) {
    ch->fx = fx_alias(ch->fx);
  } else {
    ch->fx = fx_alias(fx);
    ch->fxp = fxp & 255;
  }
  ch->note_on = pitch != SORN_NOT_GIVEN;
  if (pitch == SORN_NOT_GIVEN && was_on) ch->ticks_released = 0;
  if (pitch != SORN_NOT_GIVEN && !was_on) ch->ticks_held = 0;
  if (ch->inst != old_inst) {
    grab_node_tree(ch);
    prepare_nodes_for_new_instrument(ch);
  }
  if (!ch->track_playing) {
    ch->pitch_fx = int32_t(uint32_t(ch->pitch) << 16);
    ch->vol_fx = int32_t(uint32_t(ch->vol) << 16);
  } else if (ch->tick_in_row == 0 && ch->fx != 's') {
    if (pitch != SORN_NOT_GIVEN) ch->pitch_fx = int32_t(uint32_t(ch->pitch) << 16);
    if (vol != SORN_NOT_GIVEN && ch->fx != 'f') ch->vol_fx = int32_t(uint32_t(ch->vol) << 16);
  }
  if (ch->note_on) {
    bool none = inst == SORN_NOT_GIVEN;
    bool keep = (was_on || none) && (ch->pitch == old_pitch || ch->fx == 's' || none) &&
                (!(ch->inst_flags & INST_FLAG_RETRIGGER) || none) && ch->inst == old_inst &&
                retrig == 0 && ch->fx != 'r';
    if (!keep) retrigger(ch);
  }
  if (pan != SORN_NO_PAN) ch->pan = std::clamp(pan, -127, 127);
  if (ch->fx == 'p') ch->pan = ch->fxp - 128;
}
