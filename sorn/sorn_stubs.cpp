// Stand-ins for the sequencer, music and audio ownership, until they are built:
// no track steps, no music plays and no process owns the audio.
#include "sorn/sequencer.h"
#include "sorn/sorn.h"

void update_channel_track_tick(sorn_channel *) {}
void advance_pattern() {}
void sorn_stop_music() {}
int audio_op_start(int64_t, int) { return 1; }
void audio_op_end() {}
