// Channel mixing: ticks rendered on demand, crossfaded from the channel's
// shadow at each boundary, and copied out with gain and pan.
#include "sorn/channel_mix.h"

#include <algorithm>
#include <cstring>

#include "base/debug_log.h"
#include "sorn/sorn.h"
#include "sorn/tick_render.h"
#include "sorn/track.h"
#include "sorn/vector_loop.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

#if defined(__x86_64__)
// One side's eight factors times eight samples, / 4096 toward zero: the
// factors' top 16 bits (unsigned) times a sample is the signed product of
// their bits plus the sample << 16 where the top bit is set.
template <bool Clamp>
static inline __m128i mono_side(__m128i fa, __m128i fb, __m128i s) {
  // Shifted with sign then packed, a factor's top 16 bits come through whole.
  __m128i f = _mm_packs_epi32(_mm_srai_epi32(fa, 16), _mm_srai_epi32(fb, 16));
  __m128i hi = _mm_add_epi16(_mm_mulhi_epi16(f, s), _mm_and_si128(_mm_srai_epi16(f, 15), s));
  __m128i lo = _mm_mullo_epi16(f, s);
  __m128i pa = _mm_unpacklo_epi16(lo, hi), pb = _mm_unpackhi_epi16(lo, hi);
  const __m128i round = _mm_set1_epi32(4095);
  pa = _mm_srai_epi32(_mm_add_epi32(pa, _mm_and_si128(_mm_srai_epi32(pa, 31), round)), 12);
  pb = _mm_srai_epi32(_mm_add_epi32(pb, _mm_and_si128(_mm_srai_epi32(pb, 31), round)), 12);
  if constexpr (Clamp)
    return _mm_max_epi16(_mm_packs_epi32(pa, pb), _mm_set1_epi16(-SORN_SAMPLE_MAX));
  // Unclamped samples keep their low 16 bits, as the scalar copy's cast does.
  return _mm_packs_epi32(_mm_srai_epi32(_mm_slli_epi32(pa, 16), 16),
                         _mm_srai_epi32(_mm_slli_epi32(pb, 16), 16));
}

// narrow_loop eight frames a step with the SSE2 every x86-64 has. Every
// factor lies in 0..2^32, so its 32-bit lane (taken modulo 2^32) holds it
// exactly. Returns the frames done, a multiple of 8.
template <bool Clamp>
static int32_t mono_narrow_sse2(const int16_t *s, uint64_t fl, uint64_t fr, int64_t sl, int64_t sr,
                                int32_t count, int16_t *dest) {
  uint32_t l = uint32_t(fl), r = uint32_t(fr), dl = uint32_t(sl), dr = uint32_t(sr);
  __m128i la =
      _mm_add_epi32(_mm_set1_epi32(int(l)), _mm_setr_epi32(0, int(dl), int(2 * dl), int(3 * dl)));
  __m128i ra =
      _mm_add_epi32(_mm_set1_epi32(int(r)), _mm_setr_epi32(0, int(dr), int(2 * dr), int(3 * dr)));
  const __m128i l4 = _mm_set1_epi32(int(4 * dl)), r4 = _mm_set1_epi32(int(4 * dr));
  int32_t i = 0;
  for (; i + 8 <= count; i += 8) {
    __m128i lb = _mm_add_epi32(la, l4), rb = _mm_add_epi32(ra, r4);
    __m128i sv = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
    __m128i yl = mono_side<Clamp>(la, lb, sv);
    __m128i yr = mono_side<Clamp>(ra, rb, sv);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dest + 2 * i), _mm_unpacklo_epi16(yl, yr));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dest + 2 * i + 8), _mm_unpackhi_epi16(yl, yr));
    la = _mm_add_epi32(lb, l4);
    ra = _mm_add_epi32(rb, r4);
  }
  return i;
}
#endif

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
    int32_t done = 0;
#if defined(__x86_64__)
    if (!sorn_avx2_on())
      done = mono_narrow_sse2<Clamp>(s, uint64_t(fl), uint64_t(fr), sl, sr, count, dest);
#endif
    sorn_vector_run<frames_mono_narrow>(Clamp, s + done, uint64_t(fl + done * sl),
                                        uint64_t(fr + done * sr), sl, sr, count - done,
                                        dest + 2 * done);
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
