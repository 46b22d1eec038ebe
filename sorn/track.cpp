// Tracks: starting one on a channel, its rows turned into notes tick by tick
// with the tick effects, and the row counter with its loop and end.
#include "sorn/track.h"

#include <algorithm>

#include "sorn/mval.h"
#include "sorn/node_tree.h"
#include "sorn/sorn.h"

// v << 16 without the undefined shift of a negative value.
static int32_t fixed16(int32_t v) { return int32_t(uint32_t(v) << 16); }

static bool in_music_mask(int32_t c) { return (mixer.music_mask >> c) & 1; }

// The channel a search picks for track n: one already playing n outside the
// music, then a free one of 8..15 outside the music, then any outside it.
static int32_t choose_channel(int32_t n) {
  int32_t c0 = (mixer.choose_offset + 1) & 15;
  mixer.choose_offset = c0;
  for (int32_t i = 0; i < SORN_CHANNELS; i++) {
    const sorn_channel *ch = &mixer.channel[(c0 + i) & 15];
    if (!ch->music_channel && ch->track_playing && ch->track == n) return ch->index;
  }
  for (int32_t i = 0; i < 8; i++) {
    int32_t c = ((c0 + i) & 7) | 8;
    if (!in_music_mask(c) && !mixer.channel[c].track_playing) return c;
  }
  for (int32_t i = 0; i < SORN_CHANNELS; i++) {
    int32_t c = (c0 - i) & 15;
    if (!in_music_mask(c)) return c;
  }
  return -1;
}

static void track_control(int32_t code, int32_t channel, int32_t value) {
  int32_t first = channel < 0 ? 0 : std::min(channel, SORN_CHANNELS - 1);
  int32_t last = channel < 0 ? SORN_CHANNELS - 1 : first;
  for (int32_t c = first; c <= last; c++) {
    sorn_channel *ch = &mixer.channel[c];
    switch (code) {
      case TRACK_STOP:
        kill_channel(ch, 0);
        break;
      case TRACK_STOP_RESET:
        kill_channel(ch, 1);
        break;
      case TRACK_END_LOOP:
        ch->loop_end = 0;
        break;
      case TRACK_SET_MIX_VOLUME:
        ch->mix_vol = std::clamp(value, 0, 255);
        break;
    }
  }
}

int32_t sorn_play_track(int32_t n, int32_t channel, int32_t offset_rows, int32_t num_rows,
                        int32_t keep, int32_t pan, int32_t mix_vol, int32_t base,
                        int32_t tick_offset) {
  if (n < 0) {
    if (n >= TRACK_SET_MIX_VOLUME) track_control(n, channel, offset_rows);
    return -1;
  }
  int64_t addr = int64_t(base) + AUDIO_TRACKS + int64_t(n) * AUDIO_TRACK_SIZE;
  if (addr < 0 || addr + AUDIO_TRACK_SIZE > RAM_SIZE) return -1;
  int32_t c = channel;
  if (channel == -1) {
    c = choose_channel(n);
    if (c < 0) return -1;
  } else if (uint32_t(channel) >= SORN_CHANNELS) {
    return -1;
  }
  sorn_channel *ch = &mixer.channel[c];
  if (!keep) reset_channel_state(ch);

  uint32_t a = uint32_t(addr);
  ch->track_playing = 1;
  ch->track = n;
  ch->base_addr = base;
  ch->track_addr = int32_t(a);
  int32_t rows = uint16_t(sorn_ram16(a + TRACK_ROWS));
  ch->track_rows = rows ? rows : 1;
  ch->spd = sorn_ram8(a + TRACK_SPEED) ? sorn_ram8(a + TRACK_SPEED) : 16;
  ch->loop_start = sorn_ram8(a + TRACK_LOOP_START);
  ch->loop_end = sorn_ram8(a + TRACK_LOOP_END);
  ch->skip_rows = sorn_ram8(a + TRACK_SKIP_ROWS);
  ch->track_b6 = sorn_ram8(a + TRACK_B6);
  ch->ticks_played = 0;
  ch->ticks_since_note = 0;
  int64_t end = num_rows ? int64_t(offset_rows) + num_rows : 0;
  ch->end_row = int32_t(std::clamp<int64_t>(end, INT32_MIN, INT32_MAX));
  int64_t row = int64_t(offset_rows) + tick_offset / ch->spd;
  ch->row = int32_t(std::clamp<int64_t>(row, INT32_MIN, INT32_MAX));
  ch->tick_in_row = tick_offset % ch->spd;
  // A track with a loop start that does not loop ends at that row.
  bool ends_at_loop_start = ch->loop_start != 0 && ch->loop_start >= ch->loop_end;
  ch->pattern_rows = ends_at_loop_start ? std::min(ch->track_rows, ch->loop_start) : ch->track_rows;
  if (pan != SORN_NO_PAN) ch->pan = std::clamp(pan, -128, 127);
  if (!keep) ch->mix_vol = mix_vol & 255;
  return c;
}

// Starts the note of the current row, which must lie inside the track.
static void start_row_note(sorn_channel *ch, int32_t retrig) {
  if (ch->row < 0 || ch->row >= ch->pattern_rows) return;
  uint32_t r = uint32_t(ch->track_rows),
           at = uint32_t(ch->track_addr) + TRACK_COLUMNS + uint32_t(ch->row);
  sorn_set_note(ch->index, sorn_ram8(at), sorn_ram8(at + r), sorn_ram8(at + 2 * r),
                sorn_ram8(at + 3 * r), sorn_ram8(at + 4 * r), retrig, SORN_NO_PAN);
}

// value moved by |step| toward target, never past it.
static int32_t slide_toward(int32_t value, int32_t target, int32_t step) {
  int64_t s = step < 0 ? -int64_t(step) : int64_t(step);
  if (value < target) return int32_t(std::min<int64_t>(int64_t(value) + s, target));
  return int32_t(std::max<int64_t>(int64_t(value) - s, target));
}

// The row's note at a new row or a delayed or retriggered start; false when
// the track ended here.
static bool step_row(sorn_channel *ch) {
  int32_t t = ch->tick_in_row;
  if (t > 0) {
    bool delayed = ch->row_fx == 'd' && t == ch->row_fxp;
    bool retriggered = ch->fx == 'r' && ch->fxp >= 1 && t % ch->fxp == 0;
    if (delayed || retriggered) start_row_note(ch, 1);
    return true;
  }
  if (t < 0) return true;  // still inside a negative tick offset
  if (ch->skip_rows > 0) {
    ch->skip_rows--;
    return true;
  }
  if (ch->row < 0 || ch->row >= ch->pattern_rows) {
    release_note(ch);
    ch->row_fx = ch->row_fxp = 0;
    if (ch->row >= ch->pattern_rows && ch->loop_start >= ch->loop_end) {
      kill_channel(ch, 0);
      return false;
    }
    return true;
  }
  uint32_t r = uint32_t(ch->track_rows),
           at = uint32_t(ch->track_addr) + TRACK_COLUMNS + uint32_t(ch->row);
  ch->row_fx = sorn_ram8(at + 3 * r);
  ch->row_fxp = sorn_ram8(at + 4 * r);
  if (!(ch->row_fx == 'd' && ch->row_fxp != 0)) start_row_note(ch, 0);
  return true;
}

void update_channel_track_tick(sorn_channel *ch) {
  grab_node_tree(ch);
  if (!ch->track_playing || !step_row(ch)) return;
  int32_t f = ch->fx, p = ch->fxp, t = ch->tick_in_row;
  if (f == 'c' && t == p) {
    ch->inst = SORN_NOT_GIVEN;
    grab_node_tree(ch);
    prepare_nodes_for_new_instrument(ch);
    return;
  }
  int32_t pitch = fixed16(ch->pitch), vol = fixed16(ch->vol);
  if (t == 0 && (f == 's' || f == 'f')) {
    int32_t spd = ch->spd > 0 ? ch->spd : 16;
    int32_t vol_to_go = int32_t((int64_t(vol) - ch->vol_fx) / spd);
    if (p == 0) {
      ch->pitch_step = int32_t((int64_t(pitch) - ch->pitch_fx) / spd);
      ch->vol_step = vol_to_go;
    } else if (f == 's') {
      int32_t d = get_env_duration(p) << 8;
      ch->pitch_step = pitch < ch->pitch_fx ? -d : d;
      ch->vol_step = vol_to_go;
    } else {
      int32_t d = get_env_duration(p) << 10;
      ch->vol_step = vol < ch->vol_fx ? -d : d;
    }
  }
  if (f == '+') {
    int32_t d = get_env_duration(p ? p : 16) << 7;
    ch->pitch_fx = int32_t(std::min<int64_t>(int64_t(ch->pitch_fx) + d, 0xFFFFFF));
  } else if (f == '-') {
    int32_t d = get_env_duration(p ? p : 240) << 7;
    int64_t v = int64_t(ch->pitch_fx) - d;
    ch->pitch_fx = v < 1 ? 0 : int32_t(v);
  } else if (f == 's') {
    ch->pitch_fx = slide_toward(ch->pitch_fx, pitch, ch->pitch_step);
    if (ch->given_vol != SORN_NOT_GIVEN) ch->vol_fx = slide_toward(ch->vol_fx, vol, ch->vol_step);
  } else {
    if (ch->given_pitch != SORN_NOT_GIVEN) ch->pitch_fx = pitch;
    if (f == 'f') ch->vol_fx = slide_toward(ch->vol_fx, vol, ch->vol_step);
  }
  if (f != 's' && f != 'f' && ch->given_vol != SORN_NOT_GIVEN) ch->vol_fx = vol;
}

void advance_channel_track_row(sorn_channel *ch) {
  // The counters stop at the top of their range (a row given far past a
  // loop, a track left playing for months) instead of overflowing.
  ch->tick_in_row++;
  if (ch->ticks_played < INT32_MAX) ch->ticks_played++;
  if (ch->tick_in_row < (ch->spd > 0 ? ch->spd : 16)) return;
  if (ch->row < INT32_MAX) ch->row++;
  if (ch->end_row != 0 && ch->row == ch->end_row) {
    release_note(ch);
    ch->track_playing = 0;
    ch->note_on = 0;
  }
  if (ch->row >= ch->loop_end && ch->loop_end > ch->loop_start) ch->row = ch->loop_start;
  ch->tick_in_row = 0;
}

int32_t get_leftmost_nonlooping_channel() {
  for (int32_t c = 0; c < 8; c++) {
    const sorn_channel *ch = &mixer.channel[c];
    if (ch->track_playing && in_music_mask(c) && ch->loop_start >= ch->loop_end) return c;
  }
  return -1;
}
