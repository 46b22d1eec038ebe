// The synthesiser as the kernel, the host and the Lua API call it. Everything
// it reads of a process lies in its own mirror of the audio owner's memory.
// Main-thread calls that touch channels or the mirror hold the audio lock
// (sorn/audio_lock.h); sorn_mix runs on the audio thread under that lock.
#pragma once
#include <cstdint>

struct proc;

// Prepares the synthesiser once per run; later calls do nothing. After it every
// channel is silent and every node's output buffer is in place.
void sorn_init();
// Stops every channel (reset to no instrument) and the music.
void sorn_kill_all_audio();
// Master volume 0..256 (clamped); only 0 silences the output.
void sorn_set_volume(int32_t volume);
// Non-zero swaps left and right in the final mix.
void sorn_set_stereo_swap(int32_t swap);
// Writes into the mirror; the range is taken modulo 16 MiB.
void sorn_memset(int32_t offset, int32_t value, int32_t length);
void sorn_memcpy(int32_t offset, const void *source, int32_t length);
// Makes mirror page `page` (0..4095) equal to a process page: its first
// mapped_length bytes from mapped, the rest from own at the same offsets, or
// zeros when own is null. Compares first and copies only a page that
// differs; returns the bytes copied (0 or 4096).
int32_t sorn_mirror_page(uint32_t page, const uint8_t *mapped, int32_t mapped_length,
                         const uint8_t *own);
// Zeroes the mirror: only the pages ever written are cleared.
void sorn_mirror_clear();
// Fills frames stereo frames (left, right) of signed 16-bit samples at out.
// Any count is mixed, in passes of at most 8192 frames; a negative count
// writes nothing. Returns 0.
int sorn_mix(int16_t *out, int32_t frames);
// Starts, changes or releases a note. 255 in pitch, inst, vol or fx means
// "not given", pan 0x7FFFFFFF "no pan"; channel -1 stops every channel and the
// music; other channels outside 0..15 are ignored; an instrument outside
// 0..255 resets the channel.
void sorn_set_note(int32_t ch, int32_t pitch, int32_t inst, int32_t vol, int32_t fx, int32_t fxp,
                   int32_t retrig, int32_t pan);
// Channel mix volume (v & 255) and base address (clamped to 0..0xF00000);
// channel numbers outside 0..15 change nothing.
void sorn_set_channel_mix_vol(uint32_t ch, int32_t v);
void sorn_set_channel_base_addr(uint32_t ch, int32_t addr);
// Default wavetable and audio data written into a new process's memory.
void generate_default_wavetable(proc *p);
void generate_default_audio_data(proc *p);
// The audio ownership (sorn/audio_owner.cpp), which brackets every
// main-thread call here that touches channels, music or the mirror. id is
// the process the operation runs for (0: the kernel itself): an id of 4 or
// more takes the audio when nothing plays or when its audio priority is at
// least the owner's, and is refused otherwise; ids 1 to 3 take it at once.
// Returns 0 with the audio lock held, the mirror holding the owner's memory
// (a change of owner copies every page and stops all sound; with the same
// owner, force copies the pages written since the last copy), or 1 without
// the lock; the caller calls audio_op_end after a 0 only.
int audio_op_start(int64_t id, int force);
void audio_op_end();

// State queries, called under the audio lock.
// Bit c set when channel c plays a track or holds a note of an instrument.
uint32_t sorn_anything_is_playing();
// False only when a mix can give nothing but silence now and later until a
// note, track or music starts: no music plays, no channel plays a track, and
// no channel (nor the copy its next tick crossfades from) has a node that is
// not off. A released note's envelopes, echoes and tails count as sounding.
bool sorn_can_sound();
// Bit c set when channel c plays a track.
uint32_t sorn_get_active_channels();
// One field (what 0..15) of channel 0..15, or -1 for a channel out of range,
// an unknown field, or fields 1..15 of an idle channel (no track, no
// instrument). what 19 copies the channel's share of the last mix
// (samples_per_tick stereo frames) to dest, what 20..27 node what - 20's
// output of the last tick (samples_per_tick samples); both return the count,
// or -1 for a null dest. Channel -1 with what -1 copies the last mix
// (last_num_samples_mixed stereo frames) and returns its frame count. dest
// must hold 65536 samples.
int64_t sorn_get_channel_state(int32_t channel, int32_t what, int16_t *dest);
// what 0: the current pattern, -1 while no music plays; what 1: the music's
// timing channel, 0 when there is none; any other what -1.
int32_t sorn_get_music_state(int32_t what);
