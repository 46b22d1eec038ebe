// CRC-32 of IEEE 802.3 in its reflected form (polynomial 0xEDB88320, initial
// value and final XOR 0xFFFFFFFF): the checksum of deltas and the _crc service.
#pragma once

#include <cstdint>

// The CRC-32 of `length` bytes; 0 when length is 0 or negative.
uint32_t crc32b(const void *bytes, int64_t length);
