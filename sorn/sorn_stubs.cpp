// Stand-ins for the sequencer, music and audio ownership, until they are built:
// no track steps, no music plays, nothing sounds and no process owns the
// audio.
#include "sorn/sequencer.h"
#include "sorn/sorn.h"

void update_channel_track_tick(sorn_channel *) {}
void advance_pattern() {}
void sorn_stop_music() {}
int audio_op_start(int64_t, int) { return 1; }
void audio_op_end() {}
uint32_t sorn_anything_is_playing() { return 0; }
uint32_t sorn_get_active_channels() { return 0; }
int64_t sorn_get_channel_state(int32_t, int32_t, int16_t *) { return -1; }
int32_t sorn_get_music_state(int32_t what) { return what == 1 ? 0 : -1; }
