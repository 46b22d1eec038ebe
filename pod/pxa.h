// Decompressor of the pxa code block of older sibling cartridges: an 8-byte
// header (a 0 byte and "pxa", big-endian u16 decompressed length, big-endian
// u16 compressed length including the header) and a bit stream of
// move-to-front literals, back-references and raw runs.
#pragma once

#include <cstdint>

// Decodes the block at src (src_length bytes available) into dst, which has
// room for `capacity` bytes. The output stays zero-terminated after every
// step while it is shorter than capacity, so callers wanting a text pass an
// area of capacity + 1 bytes with its last byte zeroed. Decoding never reads
// past src_length nor past the header's compressed length, and never writes
// at or past capacity. Returns the number of bytes output (0 when the header
// is refused: a decompressed length of 0, a compressed length below 9, or a
// block shorter than its header).
int64_t pxa_decompress(const uint8_t *src, int64_t src_length, uint8_t *dst, int64_t capacity);
