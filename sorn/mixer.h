// The synthesiser's state: one static record `mixer` with the 16 live channels,
// their shadows, the memory mirror of the audio-owning process and every
// sample buffer, plus the fixed gain tables. Nothing here allocates; every
// buffer is sized for the largest mix call.
//
// Contract:
// - After sorn_init every node state of every channel record (live and shadow)
//   has `output` pointing at its own buffer, so nothing ever writes through a
//   null or stale pointer, even before the first mix.
// - Every read of the mirror goes through sorn_ram8 / sorn_ram16 /
//   sorn_ram_span, which take the address modulo 16 MiB.
#pragma once

#include <cstdint>

#include "base/ram_layout.h"

inline constexpr int SORN_CHANNELS = 16;
inline constexpr int SORN_MAX_CHANNEL_NODES = 9;
inline constexpr int SORN_INST_NODES = 8;
inline constexpr int STEREO_NODE_INDEX = 8;
inline constexpr int SORN_PARAMS = 7;
inline constexpr int SORN_NODE_BUFFER = 32768;    // samples in a node buffer
inline constexpr int SORN_MAX_MIX_FRAMES = 8192;  // frames one mixing pass sums
inline constexpr int SORN_SAMPLES_PER_TICK = 367;
inline constexpr int SORN_CROSSFADE = 64;  // samples of the tick-boundary crossfade
inline constexpr int32_t SORN_NOT_GIVEN = 255;
inline constexpr int32_t SORN_NO_PAN = 0x7FFFFFFF;
inline constexpr int32_t SORN_SAMPLE_MAX = 32767;  // samples are clamped to +-this

// Node kinds and combining ops.
enum : uint8_t {
  NODE_OFF = 0,
  NODE_CONTAINER = 1,
  NODE_OSC = 2,
  NODE_FILTER = 8,
  NODE_ECHO = 9,
  NODE_GAIN = 10
};
enum : uint8_t { OP_ADD = 0, OP_FM = 1, OP_MUL = 2, OP_XOR = 3, OP_OR = 4 };

struct sorn_node_state {
  // Leading part: a stereo twin copies exactly these fields (up to flt_low).
  int32_t def_addr;
  uint64_t phase;  // 16.16 samples within the row
  uint64_t dx;     // 16.16 phase step per output sample
  uint32_t freq_num, freq_den;
  int32_t val[SORN_PARAMS];  // evaluated parameters of this tick, 16.16
  int32_t env_tick[SORN_PARAMS];
  int32_t rnd[SORN_PARAMS];        // 0..65279, redrawn at each retrigger
  int64_t env_level[SORN_PARAMS];  // last envelope level while held
  uint8_t parent, op, kind, wt_slot, flags, reserved;
  int32_t is_clone;
  int32_t clone;  // index of the right-hand twin, -1 for none
  int32_t depth;
  int32_t mod_shift;
  int32_t wt_addr;
  int32_t wt_width_bits;  // 0..15
  int32_t wt_width;
  int32_t wt_height;  // 1..256
  // Own effect state.
  int64_t flt_low, flt_high, flt_band;
  int32_t echo_pos;
  int64_t echo_prev_delay, echo_prev_feedback;  // -1 for none
  int16_t *fm_input;
  int16_t *output;  // SORN_NODE_BUFFER samples
};

struct sorn_channel {
  int32_t index;  // 0..15 live, 16..31 shadow
  int32_t mix_vol;
  int32_t base_addr;
  int32_t inst;
  int32_t vol;
  int32_t pan;
  int32_t pitch;
  int32_t ticks_since_note;
  int32_t pitch_fx, pitch_step;  // 16.16
  int32_t vol_fx, vol_step;      // 16.16
  int32_t prev_vol, prev_pan, prev_pitch, prev_ticks_since_note;
  int32_t fx, fxp;
  int32_t note_on;
  int32_t ticks_held, ticks_released;
  int32_t fx_phase;  // 65536 = one turn
  int32_t arp_step, arp_tick, alt_state, alt_tick;
  int32_t max_depth;
  int32_t inst_flags;
  int32_t stereo;
  int32_t given_pitch, given_vol, given_inst;
  int32_t row_fx, row_fxp;
  int32_t prev_gain_l, prev_gain_r;
  sorn_node_state node_state[SORN_MAX_CHANNEL_NODES];
  sorn_node_state prev_node_state[SORN_MAX_CHANNEL_NODES];
  int32_t track_playing;
  int32_t ticks_played;
  int32_t row;
  int32_t tick_in_row;
  int32_t end_row;
  int32_t track;
  int32_t track_addr;
  int32_t track_rows;
  int32_t spd;
  int32_t loop_start, loop_end;
  int32_t skip_rows, track_b6;
  int32_t pattern_rows;
  int32_t music_channel;
  int32_t pattern_ticks_left;
  int32_t samples_per_tick;
  int32_t tick_pos, tick_end;
  // Bit k: the shadow's node k echo ring equals this channel's as of the last
  // tick boundary, and neither has been cleared since.
  int32_t echo_synced;
};

struct sorn_mixer {
  sorn_channel channel[2 * SORN_CHANNELS];  // 16 + c is the shadow of c
  int32_t master_vol;
  int32_t stereo_swap;
  int32_t music_base;
  int32_t music_mask;
  int32_t music_playing;
  int32_t pattern;
  int32_t pattern_ticks;
  int32_t fade_len, fade_tick, fade_from, fade_to, fade_vol;
  int32_t tick_phase;
  int32_t choose_offset;  // 0..15, the rotating start of sorn_play_track's channel search
  // Bit p: mirror page p may hold non-zero bytes. Pages never written stay
  // zero without ever being cleared (or touched).
  uint64_t ram_touched[RAM_PAGES / 64];
  uint8_t ram[RAM_SIZE];
  int16_t node_output[2 * SORN_CHANNELS * SORN_MAX_CHANNEL_NODES][SORN_NODE_BUFFER];
  int16_t out_buf[SORN_CHANNELS][2 * SORN_NODE_BUFFER];
};

extern sorn_mixer mixer;
extern uint16_t gain_tri[16384];
extern const uint32_t stereo_contrib[256];
extern int16_t last_mixed_out[2 * SORN_MAX_MIX_FRAMES];
extern int32_t last_num_samples_mixed;

// The mirror, read modulo 16 MiB.
inline uint8_t sorn_ram8(uint32_t addr) { return mixer.ram[addr & (RAM_SIZE - 1)]; }
inline int16_t sorn_ram16(uint32_t addr) {
  return int16_t(sorn_ram8(addr) | sorn_ram8(addr + 1) << 8);
}
// The len bytes from addr when they lie wholly inside the mirror, else null
// (the caller then reads through sorn_ram8 / sorn_ram16, which wrap).
inline const uint8_t *sorn_ram_span(uint32_t addr, uint32_t len) {
  addr &= RAM_SIZE - 1;
  return len <= RAM_SIZE - addr ? mixer.ram + addr : nullptr;
}

inline int32_t sorn_clamp_sample(int64_t v) {
  return v > SORN_SAMPLE_MAX    ? SORN_SAMPLE_MAX
         : v < -SORN_SAMPLE_MAX ? -SORN_SAMPLE_MAX
                                : int32_t(v);
}

// Points node k's output of channel record c at node_output[c * 9 + k].
void sorn_point_node_outputs(sorn_channel *ch, int32_t record);
