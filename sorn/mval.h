// Parameter values and envelopes: the packed 4-byte parameter encoding, its
// evaluation against the parent's value, envelope shapes and envelope ticks.
// Levels run 0..65280 (0xFF00 = full); values are 16.16.
#pragma once
#include "sorn/mixer.h"

// Ticks of a coded duration byte (0..2720).
int32_t get_env_duration(int32_t v);
// Ticks per row of the channel: its speed while a track plays (0 read as 16),
// else 16. Never below 1.
int32_t get_channel_spd(const sorn_channel *ch);
// A coded duration, 0 meaning the channel speed. Never below 1.
int32_t get_spd(int32_t v, const sorn_channel *ch);
// 1 when parameter index of a node of kind is signed, else 0 (a flag from a
// fixed table of the workstation's contract, kept as its 0/1 value).
int is_mval_signed(int32_t kind, int32_t index);
// Level of the envelope at env_addr after t ticks; held is the level reached
// before the release.
int32_t evaluate_envelope(uint32_t env_addr, int32_t t, const sorn_channel *ch, int64_t held);
// Parameter index of node k evaluated against the parent's value.
int64_t eval_mval(sorn_channel *ch, int32_t k, int32_t index, const uint8_t m[4], int64_t parent);
// The level blend alone, with b = low and a = high.
int64_t evaluate_mval2(sorn_channel *ch, int32_t k, int32_t index, const uint8_t m[4], int32_t low,
                       int32_t high);
// The frequency-ratio form of the pitch of node k: multiplies its freq_num
// and freq_den; returns the parent's pitch unchanged.
int64_t eval_freq_ratio(sorn_channel *ch, int32_t k, const uint8_t m[4], int64_t parent);
// Once per tick after parameter index is evaluated: env_tick += 1 and, while
// the note is held, the loop wrap.
void advance_env_tick(sorn_channel *ch, int32_t k, int32_t index, const uint8_t m[4]);
// The envelope restart of a retriggered note.
void retrigger_mval_env_tick(sorn_channel *ch, int32_t k, int32_t index, const uint8_t m[4]);
// Reads the four bytes of parameter index of node k's definition.
void sorn_read_mval(const sorn_channel *ch, int32_t k, int32_t index, uint8_t m[4]);
