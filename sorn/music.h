// Music: a chain of patterns, each naming a track for every music channel
// 0..7; the pattern lasts as long as its leftmost non-looping track, then the
// music moves on, loops back or stops. Fades scale the music channels and
// are stepped once a tick by the mixer.
#pragma once
#include <cstdint>

// Fade lengths in ticks: ms * 120 / 1000 in 64 bits; any fade of 1 ms or
// more lasts at least one tick, so it always reaches its level.
int32_t sorn_ms_to_fade_ticks(int32_t ms);
// Starts music at pattern p of the music data at base, on the channels of
// mask, fading in over fade_ms (below 1: full volume at once), the first
// pattern tick_offset ticks in. A negative p, or a pattern record that does
// not lie wholly inside the mirror, does nothing.
void sorn_play_music(int32_t p, int32_t fade_ms, int32_t mask, int32_t base, int32_t tick_offset);
// Starts pattern p of the playing music (a negative p does nothing); its
// length counts from tick_offset on. The second argument is not read.
void sorn_play_pattern(int32_t p, int32_t second, int32_t tick_offset);
// Moves the music on at a pattern end: stop, loop back, next pattern, or
// stop after pattern 255 or at the top of the mirror.
void advance_pattern();
// Stops the music and resets its channels; the fade is left as it is.
void sorn_stop_music();
// Fades the music out over ms from where it is; ms below 1 stops it at once.
void sorn_fade_out_music(int32_t ms);
// The current pattern's length in ticks: its timing channel's speed times
// its rows, or 0x7FFFFFFF when every music track loops.
int32_t calc_pattern_ticks_to_play();
