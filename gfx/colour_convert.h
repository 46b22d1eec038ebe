// Conversion of 32-bit pixels to colour indices through the current
// process's RGB palette (256 entries of 0x00RRGGBB at RAM_RGB_PALETTE).
#pragma once

#include <cstdint>

// n RGBA quadruples (alpha ignored) to the index 0..63 of the nearest of the
// first 64 palette entries, by the distance 2 dr^2 + 7 dg^2 + db^2; the lowest
// index wins a tie. Without a current process every entry reads as black.
void convert_bitmap_32_to_8(const uint8_t *src, uint8_t *dst, int64_t n);
