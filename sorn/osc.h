// The per-sample arithmetic on signed 16-bit buffers: the wavetable oscillator,
// note steps, and the operations that fold a child's output into its parent.
// Saturating results are clamped to -32767..32767.
#pragma once
#include "sorn/mixer.h"

// 16.16 phase step per output sample of a 1024-sample row for a pitch
// (semitones, 16.16) and a fine value (0x1000000 a semitone); pitch 60 plays
// 523 Hz. Octaves beyond the representable range are clamped.
uint64_t sorn_get_dx_for_note(int32_t pitch, int32_t fine);
// n samples of a node into its output: silence when muted or off, the
// wavetable oscillator for kind 2, nothing for other kinds.
void render_node_tick(sorn_node_state *node, int32_t n);
void render_node_tick_osc(sorn_node_state *node, int32_t n);

void add_buffer(int16_t *dst, const int16_t *src, int32_t n);
void mul_buffer(int16_t *dst, const int16_t *src, int32_t n, int32_t shift);
void xor_buffer(int16_t *dst, const int16_t *src, int32_t n);
void or_buffer(int16_t *dst, const int16_t *src, int32_t n);
// The same with src scaled by gain / 4096 into a left and a right buffer.
void add_buffer_split(int16_t *dl, int16_t *dr, int32_t gl, int32_t gr, const int16_t *src,
                      int32_t n);
void mul_buffer_split(int16_t *dl, int16_t *dr, int32_t gl, int32_t gr, const int16_t *src,
                      int32_t n, int32_t shift);
void xor_buffer_split(int16_t *dl, int16_t *dr, int32_t gl, int32_t gr, const int16_t *src,
                      int32_t n);
void or_buffer_split(int16_t *dl, int16_t *dr, int32_t gl, int32_t gr, const int16_t *src,
                     int32_t n);
