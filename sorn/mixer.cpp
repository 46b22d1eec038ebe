// The mixer: initialisation, the memory mirror, music fade ticks and the sum
// of the 16 channels into the device's buffer.
#include "sorn/mixer.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "base/debug_log.h"
#include "sorn/channel_mix.h"
#include "sorn/music.h"
#include "sorn/node_tree.h"
#include "sorn/sorn.h"

sorn_mixer mixer;
uint16_t gain_tri[16384];
int16_t last_mixed_out[2 * SORN_MAX_MIX_FRAMES];
int32_t last_num_samples_mixed;

// The pan law in 1/4096 units: left is entry pan + 128, right 128 - pan.
const uint32_t stereo_contrib[256] = {
    4096, 4095, 4093, 4092, 4090, 4089, 4087, 4086, 4084, 4083, 4081, 4080, 4078, 4077, 4075, 4074,
    4072, 4070, 4069, 4067, 4065, 4063, 4062, 4060, 4058, 4056, 4054, 4052, 4050, 4048, 4045, 4043,
    4041, 4038, 4036, 4034, 4031, 4028, 4026, 4023, 4020, 4017, 4014, 4011, 4008, 4005, 4002, 3999,
    3995, 3992, 3988, 3984, 3980, 3977, 3973, 3969, 3964, 3960, 3956, 3951, 3946, 3942, 3937, 3932,
    3927, 3922, 3916, 3911, 3905, 3900, 3894, 3888, 3882, 3875, 3869, 3862, 3856, 3849, 3842, 3835,
    3828, 3820, 3813, 3805, 3797, 3789, 3781, 3772, 3764, 3755, 3746, 3737, 3728, 3719, 3709, 3699,
    3690, 3679, 3669, 3659, 3648, 3637, 3626, 3615, 3604, 3592, 3580, 3569, 3556, 3544, 3532, 3519,
    3506, 3493, 3480, 3466, 3452, 3439, 3424, 3410, 3396, 3381, 3366, 3351, 3336, 3320, 3304, 3289,
    3272, 3256, 3240, 3223, 3206, 3189, 3172, 3154, 3136, 3118, 3100, 3082, 3064, 3045, 3026, 3007,
    2988, 2968, 2948, 2929, 2908, 2888, 2868, 2847, 2826, 2805, 2784, 2763, 2741, 2719, 2698, 2675,
    2653, 2631, 2608, 2585, 2562, 2539, 2516, 2492, 2469, 2445, 2421, 2397, 2373, 2348, 2324, 2299,
    2274, 2249, 2224, 2198, 2173, 2147, 2122, 2096, 2070, 2043, 2017, 1991, 1964, 1938, 1911, 1884,
    1857, 1830, 1802, 1775, 1748, 1720, 1692, 1664, 1636, 1608, 1580, 1552, 1524, 1495, 1467, 1438,
    1410, 1381, 1352, 1323, 1294, 1265, 1236, 1207, 1178, 1148, 1119, 1089, 1060, 1030, 1000, 971,
    941,  911,  881,  851,  821,  791,  761,  731,  701,  671,  641,  610,  580,  550,  519,  489,
    458,  428,  398,  367,  336,  306,  275,  245,  214,  184,  153,  122,  92,   61,   31,   0};

static int32_t out32[2 * SORN_MAX_MIX_FRAMES];
static int sorn_inited;

void sorn_point_node_outputs(sorn_channel *ch, int32_t record) {
  INVARIANT(record >= 0 && record < 2 * SORN_CHANNELS && ch == &mixer.channel[record]);
  for (int k = 0; k < SORN_MAX_CHANNEL_NODES; k++)
    ch->node_state[k].output = mixer.node_output[record * SORN_MAX_CHANNEL_NODES + k];
}

void sorn_init() {
  if (sorn_inited) return;
  sorn_inited = 1;
  // `mixer` is static and so starts zeroed. Only the channel records and
  // scalars are cleared here: the mirror and the sample buffers (some 38 MB)
  // are left untouched, so the host gives them memory only as they are used.
  std::memset(static_cast<void *>(&mixer), 0, offsetof(sorn_mixer, ram_touched));
  // Shadows get their numbers too, so that every record's node outputs are in
  // place from here on (mixing re-points them on every call anyway).
  for (int c = 0; c < 2 * SORN_CHANNELS; c++) {
    mixer.channel[c].index = c;
    sorn_point_node_outputs(&mixer.channel[c], c);
  }
  for (int i = 0; i < 16384; i++) gain_tri[i] = uint16_t(i < 8192 ? 32767 - 4 * i : 4 * (i - 8192));
}

void sorn_kill_all_audio() {
  for (int c = 0; c < SORN_CHANNELS; c++) {
    kill_channel(&mixer.channel[c], 1);
    mixer.channel[c].samples_per_tick = SORN_SAMPLES_PER_TICK;
  }
  sorn_stop_music();
}

void sorn_set_volume(int32_t volume) { mixer.master_vol = std::clamp(volume, 0, 256); }
void sorn_set_stereo_swap(int32_t swap) { mixer.stereo_swap = swap; }

static bool page_touched(uint32_t page) {
  return (mixer.ram_touched[page / 64] >> (page % 64)) & 1;
}

// Marks the mirror pages of [at, at + length) (modulo 16 MiB) as touched.
static void touch_pages(uint32_t at, int64_t length) {
  if (length <= 0) return;
  uint64_t first = at / RAM_PAGE_SIZE, last = (at + uint64_t(length) - 1) / RAM_PAGE_SIZE;
  if (last - first >= RAM_PAGES) last = first + RAM_PAGES - 1;
  for (uint64_t p = first; p <= last; p++) {
    uint32_t q = uint32_t(p % RAM_PAGES);
    mixer.ram_touched[q / 64] |= uint64_t(1) << (q % 64);
  }
}

void sorn_memset(int32_t offset, int32_t value, int32_t length) {
  uint32_t at = uint32_t(offset) & (RAM_SIZE - 1);
  if (length <= 0) return;
  if (value & 255) touch_pages(at, length);
  if (uint32_t(length) <= RAM_SIZE - at) {
    std::memset(mixer.ram + at, value, size_t(length));
    return;
  }
  for (int32_t i = 0; i < length; i++)
    mixer.ram[(at + uint32_t(i)) & (RAM_SIZE - 1)] = uint8_t(value);
}

void sorn_memcpy(int32_t offset, const void *source, int32_t length) {
  const uint8_t *s = static_cast<const uint8_t *>(source);
  uint32_t at = uint32_t(offset) & (RAM_SIZE - 1);
  if (length <= 0) return;
  touch_pages(at, length);
  if (uint32_t(length) <= RAM_SIZE - at) {
    std::memcpy(mixer.ram + at, s, size_t(length));
    return;
  }
  for (int32_t i = 0; i < length; i++) mixer.ram[(at + uint32_t(i)) & (RAM_SIZE - 1)] = s[i];
}

int32_t sorn_mirror_page(uint32_t page, const uint8_t *mapped, int32_t mapped_length,
                         const uint8_t *own) {
  page %= RAM_PAGES;
  uint8_t *m = mixer.ram + page * RAM_PAGE_SIZE;
  int32_t split = std::clamp<int32_t>(mapped ? mapped_length : 0, 0, int32_t(RAM_PAGE_SIZE));
  int32_t rest = int32_t(RAM_PAGE_SIZE) - split;
  if (!page_touched(page)) {
    // The mirror page is all zero: only non-zero source bytes need a copy.
    if (split == 0 && !own) return 0;
  } else if ((split == 0 || std::memcmp(m, mapped, size_t(split)) == 0) &&
             (rest == 0 || (own ? std::memcmp(m + split, own + split, size_t(rest)) == 0
                                : std::all_of(m + split, m + RAM_PAGE_SIZE,
                                              [](uint8_t b) { return b == 0; })))) {
    return 0;
  }
  if (split > 0) std::memcpy(m, mapped, size_t(split));
  if (rest > 0) {
    if (own)
      std::memcpy(m + split, own + split, size_t(rest));
    else
      std::memset(m + split, 0, size_t(rest));
  }
  mixer.ram_touched[page / 64] |= uint64_t(1) << (page % 64);
  return int32_t(RAM_PAGE_SIZE);
}

void sorn_mirror_clear() {
  for (uint32_t w = 0; w < RAM_PAGES / 64; w++) {
    for (uint64_t bits = mixer.ram_touched[w]; bits; bits &= bits - 1) {
      uint32_t page = w * 64 + uint32_t(__builtin_ctzll(bits));
      std::memset(mixer.ram + page * RAM_PAGE_SIZE, 0, RAM_PAGE_SIZE);
    }
    mixer.ram_touched[w] = 0;
  }
}

static void fade_step() {
  if (mixer.fade_len == 0) return;
  int64_t v =
      int64_t(mixer.fade_to - mixer.fade_from) * mixer.fade_tick / mixer.fade_len + mixer.fade_from;
  mixer.fade_vol = int32_t(std::clamp<int64_t>(v, 0, 256));
  if (++mixer.fade_tick >= mixer.fade_len) {
    mixer.fade_len = 0;
    mixer.fade_vol = mixer.fade_to;
  }
}

// Renders every channel's n frames into its out_buf, music channels first,
// moving the music on whenever a music channel runs out of pattern ticks.
static void mix_channels(int32_t n) {
  int32_t left[SORN_CHANNELS], pos[SORN_CHANNELS];
  for (int c = 0; c < SORN_CHANNELS; c++) left[c] = n, pos[c] = 0;
  for (int cycle = 1; cycle <= 1024; cycle++) {
    int32_t cap = n;
    bool stopped = false;
    for (int pass = 0; pass < 2; pass++) {
      for (int c = 0; c < SORN_CHANNELS; c++) {
        sorn_channel *ch = &mixer.channel[c];
        if ((ch->music_channel != 0) != (pass == 0)) continue;
        int32_t want = std::min(cap, left[c]);
        int32_t got = mix_channel(ch, want, mixer.out_buf[c] + pos[c]);
        INVARIANT(got >= 0 && got <= want);
        got = std::clamp(got, 0, want);
        pos[c] += 2 * got;
        left[c] -= got;
        INVARIANT(pos[c] == 2 * (n - left[c]) && left[c] >= 0);
        if (left[c] > 0) {
          stopped = true;
          cap = std::min(cap, got);
        }
      }
    }
    if (!stopped) return;
    advance_pattern();
  }
  // Still short after every cycle: what a channel did not reach is silence,
  // not the samples an earlier call left in its buffer.
  for (int c = 0; c < SORN_CHANNELS; c++)
    std::memset(mixer.out_buf[c] + pos[c], 0, size_t(2 * n - pos[c]) * sizeof(int16_t));
}

static void mix_pass(int16_t *out, int32_t n) {
  if (sorn_ram8(RAM_PROCESS_FLAGS) & PFLAG_MUTE_AUDIO) {
    std::memset(out, 0, size_t(n) * 4);
    std::memset(last_mixed_out, 0, size_t(n) * 4);
    return;
  }
  last_num_samples_mixed = n;
  int32_t t = mixer.tick_phase + n;
  while (t >= SORN_SAMPLES_PER_TICK) {
    t -= SORN_SAMPLES_PER_TICK;
    fade_step();
  }
  mixer.tick_phase = t;

  INVARIANT(n >= 0 && n <= SORN_MAX_MIX_FRAMES);
  INVARIANT(mixer.fade_vol >= 0 && mixer.fade_vol <= 256 && mixer.tick_phase >= 0 &&
            mixer.tick_phase < SORN_SAMPLES_PER_TICK);
  if (n > 0) mix_channels(n);

  std::memset(out32, 0, size_t(n) * 2 * sizeof(int32_t));
  for (int c = 0; c < SORN_CHANNELS; c++) {
    const int16_t *src = mixer.out_buf[c];
    for (int32_t i = 0; i < 2 * n; i++) out32[i] += src[i];
  }
  int32_t master = mixer.master_vol, swap = mixer.stereo_swap;
  if (master == 0) {
    std::memset(out, 0, size_t(n) * 4);
  } else {
    int x = swap ? 1 : 0;
    for (int32_t k = 0; k < n; k++) {
      out[2 * k] = int16_t(sorn_clamp_sample(out32[2 * k + x]));
      out[2 * k + 1] = int16_t(sorn_clamp_sample(out32[2 * k + 1 - x]));
    }
  }
  std::memcpy(last_mixed_out, out, size_t(n) * 4);
}

int sorn_mix(int16_t *out, int32_t frames) {
  // A call of no frames still counts as the last mix (of 0 frames).
  do {
    int32_t n = std::clamp(frames, 0, SORN_MAX_MIX_FRAMES);
    mix_pass(out, n);
    out += 2 * n;
    frames -= n;
  } while (frames > 0);
  return 0;
}
