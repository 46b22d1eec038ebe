// MurmurHash3 in its published x86_32 and x64_128 variants: names in the RAM
// file table (x86_32) and version names in the file history (x64_128), both
// with seed 0.
#pragma once

#include <cstdint>

// A negative length counts as 0.
void murmurhash3_x86_32(const void *key, int len, uint32_t seed, uint32_t out[1]);
// out[0] and out[1] are the two 64-bit halves, in the published order.
void murmurhash3_x64_128(const void *key, int len, uint32_t seed, uint64_t out[2]);
