// Track stepping and music, as channel mixing and the mixer call them.
#pragma once
#include "sorn/mixer.h"

// New row, effect set-up and slides of a channel's playing track, once per tick.
void update_channel_track_tick(sorn_channel *ch);
// Moves the music to its next pattern, or stops it.
void advance_pattern();
// Stops the music.
void sorn_stop_music();
