// Audio ownership: one process at a time owns the audio, and the
// synthesiser plays from its mirror of that process's memory. Every
// main-thread operation on the synthesiser runs between audio_op_start and
// audio_op_end.
//
// Contract:
// - audio_op_start and audio_op_end are declared with the synthesiser's
//   interface (sorn/sorn.h), which the sound functions call.
// - An owner that has left the process table is noticed by the next
//   audio_op_start: the mirror is cleared, all sound stops and the owner
//   becomes AUDIO_NO_OWNER.
#pragma once
#include <cstdint>

#include "sorn/sorn.h"

// A process restarted in place: when it owns the audio its sound stops and
// no process owns the audio; its next request mirrors all of its new memory.
void audio_owner_restart(int64_t id);
// Every reset: under the audio lock, ends a running audio capture, stops all
// sound and clears the mirror; no process owns the audio afterwards.
void audio_owner_reset();
