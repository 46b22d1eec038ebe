// Audio ownership: one process at a time owns the audio, and the
// synthesiser plays from its mirror of that process's memory. Every
// main-thread operation on the synthesiser runs between audio_op_start and
// audio_op_end.
//
// Contract:
// - audio_op_start returns 0 with the audio lock held, or 1 without it; the
//   caller calls audio_op_end after a 0 only.
// - After a 0, the mirror holds the owner's memory as of the call: a change
//   of owner copies every page and stops all sound; with the same owner,
//   force copies the pages written since the last copy (page flag bit 0).
// - An owner that has left the process table is noticed by the next call:
//   the mirror is cleared, all sound stops and the owner becomes -2 (none).
#pragma once
#include <cstdint>

// id is the process the operation runs for (0: the kernel itself). An id of
// 4 or more takes the audio when nothing plays or when its audio priority is
// at least the owner's, and is refused otherwise; ids 1 to 3 take it at once.
int audio_op_start(int64_t id, int force);
void audio_op_end();
// A process restarted in place: when it owns the audio its sound stops and
// no process owns the audio; its next request mirrors all of its new memory.
void audio_owner_restart(int64_t id);
// Every reset: under the audio lock, ends a running audio capture, stops all
// sound and clears the mirror; no process owns the audio afterwards.
void audio_owner_reset();
