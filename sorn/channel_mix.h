// Channel mixing: one channel's rendered ticks turned into stereo frames with
// its gain and pan, with a 64-sample crossfade at every tick boundary.
#pragma once
#include "sorn/mixer.h"

// Writes up to max frames (left, right) of the channel to dest; returns the
// frames written: max, or fewer when a music channel ran out of pattern
// ticks. max <= 0 writes nothing and returns max.
int32_t mix_channel(sorn_channel *ch, int32_t max, int16_t *dest);
