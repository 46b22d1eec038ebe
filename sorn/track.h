// Tracks: rows of notes with their effects, played on one channel. A track
// lies in the mirror at the channel's base + AUDIO_TRACKS + n * 328; the
// pitch, instrument, volume and effect cells hold 255 for "not given".
#pragma once
#include "sorn/mixer.h"

// Track control codes of sorn_play_track.
inline constexpr int32_t TRACK_STOP = -1;            // release the note, stop the track
inline constexpr int32_t TRACK_STOP_RESET = -2;      // as TRACK_STOP, then reset the channel
inline constexpr int32_t TRACK_END_LOOP = -3;        // the track plays on past its loop and ends
inline constexpr int32_t TRACK_SET_MIX_VOLUME = -4;  // mix volume = offset_rows, 0..255

// Starts track n (n >= 0) on channel 0..15, or on a free channel found by a
// rotating search when channel is -1; returns the channel, or -1 when no
// channel is free, the channel is above 15, or the track record does not lie
// wholly inside the mirror. keep (music) keeps the channel's note state and
// mix volume; pan SORN_NO_PAN gives no pan. n = -1..-4 runs a control code on
// channel min(channel, 15), or on all 16 for a negative channel, and returns
// -1, as does any lower n (which does nothing).
int32_t sorn_play_track(int32_t n, int32_t channel, int32_t offset_rows, int32_t num_rows,
                        int32_t keep, int32_t pan, int32_t mix_vol, int32_t base,
                        int32_t tick_offset);
// Once per tick before the parameters are evaluated: reloads the node tree
// and, while a track plays, starts the row's note and runs the tick effects
// (slides, retrigger, cut, delay).
void update_channel_track_tick(sorn_channel *ch);
// Once per tick after the render while a track plays: the row counter, the
// stop at end_row and the loop.
void advance_channel_track_row(sorn_channel *ch);
// The lowest channel 0..7 of the music that plays a track that does not
// loop, or -1.
int32_t get_leftmost_nonlooping_channel();
