// The sound functions of the Lua API: note, sfx and music. Each asks the
// kernel for the audio (audio_op_start with the calling process's id), acts
// under the audio lock and returns no values. None raises an error: an
// argument that is a number or a string is truncated to 32 bits (a string
// that is no numeral gives 0), anything else takes the default; a refused
// audio request does nothing.
#pragma once

struct lua_State;

// note(pitch = 48, inst = 0, vol = 64, fx = 0, fxp = 0, channel, retrig, pan):
// channel 0, or -1 (stop everything) when called with no arguments; retrig
// the truth of argument 7 when 7 or more are given, else true; no pan.
int lua54_play_note(lua_State *L);
// sfx(n = 0, channel = -1, offset_rows = 0, num_rows = 0, pan, mix_vol):
// plays track n of the caller's audio base, or runs control code -1..-4 (stop,
// stop and reset, end the loop, mix volume = offset_rows).
int lua54_play_track(lua_State *L);
// music(pattern = 0, fade_ms = 0, mask = 255, base, tick_offset = 0): starts
// music; pattern -1 fades it out over fade_ms (0: stops it); a pattern below
// -1 does nothing.
int lua54_play_music(lua_State *L);
