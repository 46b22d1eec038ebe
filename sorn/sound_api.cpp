// The sound functions of the Lua API and the synthesiser's state queries.
#include "sorn/sound_api.h"

#include <algorithm>
#include <cstring>

#include "machine/memory.h"
#include "machine/process.h"
#include "lang/args.h"
#include "sorn/mixer.h"
#include "sorn/music.h"
#include "sorn/sorn.h"
#include "sorn/track.h"

// Argument i truncated to 32 bits when it is a number or a string, else def.
static int32_t sound_arg(lua_State *L, int i, int32_t def) {
  int t = lua_type(L, i);
  return t == LUA_TNUMBER || t == LUA_TSTRING ? kvd_truncp(L, i) : def;
}

static int32_t saturate_i32(int64_t v) {
  return int32_t(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

// The caller's base page of instruments and tracks, as an address.
static int32_t audio_base() { return peek(int32_t(RAM_AUDIO_BASE_PAGE)) << 16; }

int lua54_play_note(lua_State *L) {
  int n = lua_gettop(L);
  if (audio_op_start(get_cproc_id(), 1) != 0) return 0;
  int32_t channel = sound_arg(L, 6, n == 0 ? -1 : 0);
  int32_t retrig = n >= 7 ? lua_toboolean(L, 7) : 1;
  sorn_set_note(channel, sound_arg(L, 1, 48), sound_arg(L, 2, 0), sound_arg(L, 3, 64),
                sound_arg(L, 4, 0), sound_arg(L, 5, 0), retrig, sound_arg(L, 8, SORN_NO_PAN));
  if (channel >= 0) {
    sorn_set_channel_mix_vol(uint32_t(channel), peek(int32_t(RAM_MIX_VOLUME)));
    sorn_set_channel_base_addr(uint32_t(channel), audio_base());
  }
  audio_op_end();
  return 0;
}

int lua54_play_track(lua_State *L) {
  if (audio_op_start(get_cproc_id(), 1) != 0) return 0;
  int32_t base = audio_base();
  int32_t c = sorn_play_track(sound_arg(L, 1, 0), sound_arg(L, 2, -1), sound_arg(L, 3, 0),
                              sound_arg(L, 4, 0), 0, sound_arg(L, 5, SORN_NO_PAN),
                              sound_arg(L, 6, peek(int32_t(RAM_MIX_VOLUME))), base, 0);
  // Instruments stay below the highest base even when the tracks lie higher.
  if (c >= 0) sorn_set_channel_base_addr(uint32_t(c), base);
  audio_op_end();
  return 0;
}

int lua54_play_music(lua_State *L) {
  if (audio_op_start(get_cproc_id(), 1) != 0) return 0;
  int32_t pattern = sound_arg(L, 1, 0), fade_ms = sound_arg(L, 2, 0);
  if (pattern == -1) {
    sorn_fade_out_music(fade_ms);
  } else if (pattern >= 0) {
    int64_t base = kvd_intp(L, 4, int64_t(peek(int32_t(RAM_MUSIC_BASE_PAGE))) << 16);
    sorn_play_music(pattern, fade_ms, sound_arg(L, 3, 255), saturate_i32(base),
                    saturate_i32(kvd_intp(L, 5, 0)));
  }
  audio_op_end();
  return 0;
}

uint32_t sorn_anything_is_playing() {
  uint32_t mask = 0;
  for (int c = 0; c < SORN_CHANNELS; c++) {
    const sorn_channel *ch = &mixer.channel[c];
    if (ch->track_playing || (ch->inst != SORN_NOT_GIVEN && ch->note_on)) mask |= 1u << c;
  }
  return mask;
}

// Whether any node of the channel record renders or applies anything.
static bool tree_live(const sorn_channel *ch) {
  for (const sorn_node_state &n : ch->node_state)
    if (n.kind != NODE_OFF) return true;
  return false;
}

bool sorn_can_sound() {
  if (mixer.music_playing) return true;
  for (int c = 0; c < SORN_CHANNELS; c++) {
    const sorn_channel *ch = &mixer.channel[c];
    // The shadow is what the next tick boundary crossfades from.
    if (ch->track_playing || tree_live(ch) || tree_live(&mixer.channel[c + SORN_CHANNELS]))
      return true;
  }
  return false;
}

uint32_t sorn_get_active_channels() {
  uint32_t mask = 0;
  for (int c = 0; c < SORN_CHANNELS; c++)
    if (mixer.channel[c].track_playing) mask |= 1u << c;
  return mask;
}

// Fields of the channel queries.
enum : int32_t {
  CHANNEL_NOTE_ON = 0,
  CHANNEL_LAST_FIELD = 15,
  CHANNEL_OUTPUT = 19,
  CHANNEL_NODE_OUTPUT = 20,  // .. 27: nodes 0..7
};

static int64_t channel_field(const sorn_channel *ch, int32_t what) {
  switch (what) {
    case 1:
      return ch->inst;
    case 2:
      return ch->vol;
    case 3:
      return ch->pan;
    case 4:
      return ch->pitch;
    case 5:
      return ch->ticks_since_note;
    case 6:
      return ch->fx;
    case 7:
      return ch->fxp;
    case 8:
      return ch->samples_per_tick;
    case 9:
      return ch->row;
    case 10:
      return ch->tick_in_row;
    case 11:
      return ch->ticks_played;
    case 12:
      return ch->track_playing ? ch->track : -1;
    case 13:
      return ch->track;
    case 14:
      return ch->mix_vol;
    case 15:
      return ch->base_addr;
    default:
      return -1;
  }
}

int64_t sorn_get_channel_state(int32_t channel, int32_t what, int16_t *dest) {
  if (channel == -1 && what == -1) {
    if (!dest) return -1;
    int32_t n = std::clamp(last_num_samples_mixed, 0, SORN_MAX_MIX_FRAMES);
    std::memcpy(dest, last_mixed_out, size_t(n) * 4);
    return n;
  }
  if (channel < 0 || channel >= SORN_CHANNELS) return -1;
  const sorn_channel *ch = &mixer.channel[channel];
  if (what == CHANNEL_NOTE_ON) return ch->note_on;
  if (what >= 1 && what <= CHANNEL_LAST_FIELD)
    return !ch->track_playing && ch->inst == SORN_NOT_GIVEN ? -1 : channel_field(ch, what);
  int32_t count = std::clamp(ch->samples_per_tick, 0, SORN_NODE_BUFFER);
  if (what == CHANNEL_OUTPUT) {
    if (!dest) return -1;
    std::memcpy(dest, mixer.out_buf[channel], size_t(count) * 4);
    return count;
  }
  if (what >= CHANNEL_NODE_OUTPUT && what < CHANNEL_NODE_OUTPUT + SORN_INST_NODES) {
    if (!dest) return -1;
    int32_t k = what - CHANNEL_NODE_OUTPUT;
    std::memcpy(dest, mixer.node_output[channel * SORN_MAX_CHANNEL_NODES + k], size_t(count) * 2);
    return count;
  }
  return -1;
}

int32_t sorn_get_music_state(int32_t what) {
  if (what == 0) return mixer.music_playing ? mixer.pattern : -1;
  if (what == 1) return std::max(0, get_leftmost_nonlooping_channel());
  return -1;
}
