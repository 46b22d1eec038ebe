// Music: patterns started across the music channels, the move to the next
// pattern, stops and fades.
#include "sorn/music.h"

#include <algorithm>

#include "sorn/mixer.h"
#include "sorn/node_tree.h"
#include "sorn/sorn.h"
#include "sorn/track.h"

inline constexpr int32_t PATTERN_FOREVER = 0x7FFFFFFF;
inline constexpr int32_t LAST_CHAINED_PATTERN = 255;  // the music never moves on from here
inline constexpr int32_t FADE_FULL = 256;

int32_t sorn_ms_to_fade_ticks(int32_t ms) {
  if (ms < 1) return 0;
  return int32_t(std::max<int64_t>(1, int64_t(ms) * 120 / 1000));
}

// Address of pattern p's record, or -1 when it does not lie wholly inside
// the mirror.
static int64_t pattern_addr(int64_t base, int64_t p) {
  int64_t a = base + MUSIC_PATTERNS + p * MUSIC_PATTERN_SIZE;
  return a >= 0 && a + MUSIC_PATTERN_SIZE <= RAM_SIZE ? a : -1;
}

static uint8_t pattern_byte(int32_t p, uint32_t offset) {
  return sorn_ram8(uint32_t(mixer.music_base) + MUSIC_PATTERNS + uint32_t(p) * MUSIC_PATTERN_SIZE +
                   offset);
}

int32_t calc_pattern_ticks_to_play() {
  int32_t c = get_leftmost_nonlooping_channel();
  if (c < 0) return PATTERN_FOREVER;
  const sorn_channel *ch = &mixer.channel[c];
  int64_t ticks = int64_t(std::max(1, ch->spd)) * ch->pattern_rows;
  return int32_t(std::min<int64_t>(ticks, PATTERN_FOREVER));
}

void sorn_play_pattern(int32_t p, int32_t, int32_t tick_offset) {
  if (p < 0) return;
  mixer.music_playing = 1;
  mixer.pattern = p;
  uint8_t mask = pattern_byte(p, PATTERN_MASK);
  int32_t was_music[SORN_CHANNELS];
  for (int32_t c = 0; c < SORN_CHANNELS; c++) {
    was_music[c] = mixer.channel[c].music_channel;
    mixer.channel[c].music_channel = 0;
  }
  for (int32_t c = 0; c < 8; c++) {
    if (!((mixer.music_mask >> c) & 1)) continue;
    sorn_channel *ch = &mixer.channel[c];
    bool started = false;
    if ((mask >> c) & 1) {
      started = sorn_play_track(pattern_byte(p, uint32_t(c)), c, 0, 0, was_music[c], SORN_NO_PAN,
                                64, mixer.music_base, tick_offset) >= 0;
      ch->music_channel = 1;
    }
    if (!started) kill_channel(ch, 0);
  }
  int32_t ticks = calc_pattern_ticks_to_play();
  mixer.pattern_ticks = ticks;
  // A pattern started part-way ends when its timing track does, not
  // tick_offset ticks later.
  int32_t left =
      ticks == PATTERN_FOREVER
          ? ticks
          : int32_t(std::clamp<int64_t>(int64_t(ticks) - tick_offset, 0, PATTERN_FOREVER));
  for (int32_t c = 0; c < 8; c++)
    if (mixer.channel[c].music_channel) mixer.channel[c].pattern_ticks_left = left;
}

void sorn_play_music(int32_t p, int32_t fade_ms, int32_t mask, int32_t base, int32_t tick_offset) {
  if (p < 0 || pattern_addr(base, p) < 0) return;
  mixer.music_mask = mask;
  mixer.music_playing = 1;
  mixer.pattern = p;
  mixer.music_base = base;
  sorn_play_pattern(p, fade_ms, tick_offset);
  if (fade_ms < 1) {
    mixer.fade_len = 0;
    mixer.fade_vol = FADE_FULL;
    return;
  }
  int32_t start = mixer.fade_len ? mixer.fade_vol : 0;
  mixer.fade_tick = 0;
  mixer.fade_from = start;
  mixer.fade_to = FADE_FULL;
  mixer.fade_len = sorn_ms_to_fade_ticks(fade_ms);
  mixer.fade_vol = start;
}

void advance_pattern() {
  if (!mixer.music_playing) return;
  int32_t p = mixer.pattern;
  uint8_t flags = pattern_byte(p, PATTERN_FLAGS);
  if (flags & PATTERN_STOP) {
    sorn_stop_music();
    return;
  }
  if (flags & PATTERN_LOOP_BACK) {
    if (!(flags & PATTERN_LOOP_START) && p > 0) {
      p--;
      while (p > 0 && !(pattern_byte(p, PATTERN_FLAGS) & PATTERN_LOOP_START)) p--;
    }
    sorn_play_pattern(p, 0, 0);
    return;
  }
  if (p == LAST_CHAINED_PATTERN || pattern_addr(mixer.music_base, int64_t(p) + 1) < 0) {
    sorn_stop_music();
    return;
  }
  sorn_play_pattern(p + 1, 0, 0);
}

void sorn_stop_music() {
  for (int32_t c = 0; c < 8; c++) {
    sorn_channel *ch = &mixer.channel[c];
    if (!ch->music_channel) continue;
    kill_channel(ch, 1);
    ch->music_channel = 0;
    ch->pattern_ticks_left = 0;
  }
  mixer.music_mask = 0;
  mixer.music_playing = 0;
  mixer.pattern = 0;
  mixer.pattern_ticks = 0;
}

void sorn_fade_out_music(int32_t ms) {
  if (ms < 1) {
    mixer.fade_len = 0;
    mixer.fade_vol = 0;
    sorn_stop_music();
    return;
  }
  int32_t start = mixer.fade_len ? mixer.fade_vol : FADE_FULL;
  mixer.fade_from = start;
  mixer.fade_to = 0;
  mixer.fade_tick = 0;
  mixer.fade_len = sorn_ms_to_fade_ticks(ms);
  mixer.fade_vol = start;
}
