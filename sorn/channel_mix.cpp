// Channel mixing: ticks rendered on demand, crossfaded from the channel's
// shadow at each boundary, and copied out with gain and pan.
#include "sorn/channel_mix.h"

#include <algorithm>
#include <cstring>

#include "base/debug_log.h"
#include "sorn/sorn.h"
#include "sorn/tick_render.h"
#include "sorn/vector_loop.h"
#include "sorn/track.h"

void sorn_set_channel_mix_vol(uint32_t c, int32_t v) {
  if (c < SORN_CHANNELS) mixer.channel[c].mix_vol = v & 255;
}

void sorn_set_channel_base_addr(uint32_t c, int32_t addr) {
  if (c < SORN_CHANNELS) mixer.channel[c].base_addr = std::clamp(addr, 0, int32_t(AUDIO_MAX_BASE));
}

// Points the shadow of ch at its own record number and buffers.
static sorn_channel *shadow_of(sorn_channel *ch) {
  INVARIANT(ch->index >= 0 && ch->index < SORN_CHANNELS && ch == &mixer.channel[ch->index]);
  int32_t s = ch->index + SORN_CHANNELS;
  sorn_channel *sh = &mixer.channel[s];
  sh->index = s;
  sorn_point_node_outputs(sh, s);
  return sh;
}

static void crossfade(int16_t *now, const int16_t *old) {
  for (int i = 0; i < SORN_CROSSFADE; i++)
    now[i] = int16_t((old[i] * (SORN_CROSSFADE - i) + now[i] * i) >> 6);
}

// Copies ring samples [at, at + n) (wrapping) from one echo ring to another.
static void copy_ring(int16_t *to, const int16_t *from, int32_t at, int32_t n) {
  int32_t first = std::min(n, SORN_NODE_BUFFER - at);
  std::memcpy(to + at, from + at, size_t(first) * sizeof(int16_t));
  std::memcpy(to, from, size_t(n - first) * sizeof(int16_t));
}

// Brings the shadow's echo rings level with the channel's. A ring still in
// step since the last boundary differs at most where this tick wrote: from
// its write position on and, through clearing and combining, from sample 0,
// each for at most a tick (or the crossfade); other rings are copied whole.
static void sync_echo_rings(sorn_channel *ch, sorn_channel *sh, const int32_t *start, int32_t spt) {
  int32_t w = std::max(spt, SORN_CROSSFADE), synced = 0;
  for (int k = 0; k < SORN_MAX_CHANNEL_NODES; k++) {
    if (ch->node_state[k].kind != NODE_ECHO) continue;
    int16_t *to = sh->node_state[k].output;
    const int16_t *from = ch->node_state[k].output;
    if ((ch->echo_synced >> k & 1) && 2 * w < SORN_NODE_BUFFER) {
      copy_ring(to, from, start[k], w);
      copy_ring(to, from, 0, w);
    } else {
      std::memcpy(to, from, SORN_NODE_BUFFER * sizeof(int16_t));
    }
    synced |= 1 << k;
  }
  ch->echo_synced = sh->echo_synced = synced;
}

// Renders the next tick; false when a music channel has no pattern ticks left.
static bool tick_boundary(sorn_channel *ch) {
  if (ch->music_channel) {
    if (ch->pattern_ticks_left <= 0) return false;
    ch->pattern_ticks_left--;
  }
  int32_t spt = ch->samples_per_tick;
  INVARIANT(spt >= SORN_CROSSFADE && spt <= SORN_NODE_BUFFER);
  int32_t start[SORN_MAX_CHANNEL_NODES];
  for (int k = 0; k < SORN_MAX_CHANNEL_NODES; k++) start[k] = ch->node_state[k].echo_pos & 0x7FFF;
  update_channel_track_tick(ch);
  evaluate_channel_node_parameters(ch);
  render_channel_tick(ch, spt);
  if (ch->track_playing) advance_channel_track_row(ch);

  sorn_channel *sh = shadow_of(ch);
  render_channel_tick(sh, SORN_CROSSFADE);
  crossfade(ch->node_state[0].output, sh->node_state[0].output);
  if (ch->stereo)
    crossfade(ch->node_state[STEREO_NODE_INDEX].output, sh->node_state[STEREO_NODE_INDEX].output);
  ch->tick_pos = 0;
  ch->tick_end = spt;

  std::memcpy(static_cast<void *>(sh), ch, sizeof *ch);
  shadow_of(ch);
  sync_echo_rings(ch, sh, start, spt);
  return true;
}

template <bool Clamp>
static int16_t out_sample(int64_t v) {
  return int16_t(Clamp ? sorn_clamp_sample(v) : v);
}

template <bool Clamp>
static void frames_stereo(const sorn_channel *ch, int32_t g, int32_t count, int16_t *dest) {
  const int16_t *l = ch->node_state[0].output + ch->tick_pos;
  const int16_t *r = ch->node_state[STEREO_NODE_INDEX].output + ch->tick_pos;
  for (int32_t i = 0; i < count; i++) {
    dest[2 * i] = out_sample<Clamp>(l[i] * g / 256);
    dest[2 * i + 1] = out_sample<Clamp>(r[i] * g / 256);
  }
}

// The mono loop when both factors stay in 0..2^32 over the chunk: their top
// 16 bits times a sample then fit 32 bits, and the loop vectorises.
template <bool Clamp>
[[gnu::always_inline]] inline void narrow_loop(const int16_t *s, uint64_t fl, uint64_t fr,
                                               int64_t sl, int64_t sr, int32_t count,
                                               int16_t *dest) {
  for (int32_t i = 0; i < count; i++) {
    int32_t l = int32_t((fl + uint64_t(i * sl)) >> 16), r = int32_t((fr + uint64_t(i * sr)) >> 16);
    dest[2 * i] = out_sample<Clamp>(l * s[i] / 4096);
    dest[2 * i + 1] = out_sample<Clamp>(r * s[i] / 4096);
  }
}

SORN_LOOP_BODY void frames_mono_narrow(bool clamp, const int16_t *s, uint64_t fl, uint64_t fr,
                                       int64_t sl, int64_t sr, int32_t count, int16_t *dest) {
  if (clamp)
    narrow_loop<true>(s, fl, fr, sl, sr, count, dest);
  else
    narrow_loop<false>(s, fl, fr, sl, sr, count, dest);
}

// Mono: the pan contributions move linearly from where the last chunk ended;
// factors are 16.16 in 64 bits, since gains reach 16192.
template <bool Clamp>
static void frames_mono(sorn_channel *ch, int32_t g, int32_t count, int16_t *dest) {
  const int16_t *s = ch->node_state[0].output + ch->tick_pos;
  int32_t p = std::clamp(ch->node_state[0].val[1] / 65536, -127, 127);
  INVARIANT(count > 0 && ch->prev_gain_l >= 0 && ch->prev_gain_r >= 0);
  int64_t gl = stereo_contrib[p + 128], gr = stereo_contrib[128 - p];
  int64_t fl = int64_t(ch->prev_gain_l) * g * 256, fr = int64_t(ch->prev_gain_r) * g * 256;
  int64_t sl = (gl - ch->prev_gain_l) * g * 256 / count,
          sr = (gr - ch->prev_gain_r) * g * 256 / count;
  int64_t last_l = fl + (count - 1) * sl, last_r = fr + (count - 1) * sr;
  if (std::min({fl, fr, last_l, last_r}) >= 0 &&
      std::max({fl, fr, last_l, last_r}) < (int64_t(1) << 32)) {
    sorn_vector_run<frames_mono_narrow>(Clamp, s, uint64_t(fl), uint64_t(fr), sl, sr, count, dest);
  } else {
    for (int32_t i = 0; i < count; i++) {
      dest[2 * i] = out_sample<Clamp>((fl >> 16) * s[i] / 4096);
      dest[2 * i + 1] = out_sample<Clamp>((fr >> 16) * s[i] / 4096);
      fl += sl;
      fr += sr;
    }
  }
  ch->prev_gain_l = int32_t(gl);
  ch->prev_gain_r = int32_t(gr);
}

template <bool Clamp>
static void frames_out(sorn_channel *ch, int32_t g, int32_t count, int16_t *dest) {
  if (ch->stereo)
    frames_stereo<Clamp>(ch, g, count, dest);
  else
    frames_mono<Clamp>(ch, g, count, dest);
}

int32_t mix_channel(sorn_channel *ch, int32_t max, int16_t *dest) {
  sorn_point_node_outputs(ch, ch->index);
  if (ch->samples_per_tick <= 0 || ch->samples_per_tick > SORN_NODE_BUFFER)
    ch->samples_per_tick = SORN_SAMPLES_PER_TICK;
  int32_t g = (sorn_ram8(RAM_SFX_VOLUME) * ch->mix_vol) >> 4;
  if (ch->music_channel)
    g = int32_t(int64_t(g) * sorn_ram8(RAM_MUSIC_VOLUME) * mixer.fade_vol / 16384);
  if (max <= 0) return max;
  int32_t remaining = max;
  while (remaining > 0) {
    if (ch->tick_pos < 0 || ch->tick_end > SORN_NODE_BUFFER || ch->tick_pos > ch->tick_end)
      ch->tick_pos = ch->tick_end = 0;
    if (ch->tick_end - ch->tick_pos == 0 && !tick_boundary(ch)) return max - remaining;
    int32_t count = std::min(ch->tick_end - ch->tick_pos, remaining);
    INVARIANT(count > 0 && ch->tick_pos >= 0 && ch->tick_pos + count <= ch->tick_end &&
              ch->tick_end <= SORN_NODE_BUFFER);
    if (g > 256)
      frames_out<true>(ch, g, count, dest);
    else
      frames_out<false>(ch, g, count, dest);
    ch->tick_pos += count;
    dest += 2 * count;
    remaining -= count;
  }
  return max;
}
