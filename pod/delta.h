// The delta codec: turns a source byte string into a destination by literal
// runs and copies from the source. It serves create_delta/apply_delta and the
// file history, which stores a changed file as a delta against an earlier one.
//
// Raw delta (little-endian): u32 destination length, u32 CRC-32 of the source,
// u32 CRC-32 of the destination (written, never checked), then operations to
// the end: a literal length (a byte below 255, or 255 and a u32) with that
// many bytes, then, unless the destination is complete, a copy length (same
// coding) and a u32 source offset.
// Stored delta: "dst" and a 0 byte, u32 raw-delta length, then the raw delta
// as one LZ4 block.
#pragma once

#include <cstdint>

#include "base/pbuffer.h"

// The largest destination a delta is made for or applied to: larger ones are
// refused on both sides, so that no delta is stored that could not be applied.
constexpr int64_t delta_max_size = 32 * 1024 * 1024;
// The largest raw delta a destination of delta_max_size can need (every
// operation costs at most 14 bytes beside its literals and copies 8 or more).
constexpr int64_t delta_max_raw_size = 2 * delta_max_size + 64;

// A new buffer (tag 'i', cursor 0) holding the stored delta from src to dst;
// null when dst is longer than delta_max_size. Negative lengths count as 0.
pbuffer *generate_diff(const void *src, int32_t src_length, const void *dst, int32_t dst_length);

// Applies a stored delta (leading "dst" and a 0 byte) or a raw one to src and
// returns a new buffer (tag 'i', cursor 0) holding the destination. Null when the
// source's CRC-32 does not match the delta's (logged), when the delta is
// shorter than its header, declares a raw length above delta_max_raw_size or
// beyond what its block can hold, does not decompress to that length, declares
// a destination larger than delta_max_size or than its operations could
// produce, or its operations would pass the declared destination length.
// Operations that run past the end of the delta end the walk; a copy reaching
// past the end of the source is skipped.
pbuffer *apply_diff(const void *src, int32_t src_length, const void *delta, int32_t delta_length);
