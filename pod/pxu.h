// pxu: the compact binary form of u8 and i16 userdata inside a pod text.
//
//   "pxu" 0, type byte ((dims - 1) << 6 | utype), mode byte (0x10 raw,
//   0x20 move-to-front RLE, 0x80 RLE; | 8 when a size is 256 or more), width
//   and (2-D only) height as u8, or u32 with the size flag, then the data.
//
// The legacy header (mode byte's high nibble 0) has u32 width and height at
// 4 and 8, the type at 16 and move-to-front RLE data from 17; always 2-D.
#pragma once

#include <cstdint>

#include "base/pbuffer.h"
#include "lang/lua_api.h"
#include "userdata/udata.h"

enum : int {
  PXU_MODE_RAW = 0x10,
  PXU_MODE_MTF = 0x20,
  PXU_MODE_RLE = 0x80,
  PXU_SIZE_FLAG = 0x08,
};

// Appends the pxu form of ud in `mode` (move-to-front RLE uses `bits` bits of
// index, 1 to 6; other values give 4); returns the bytes written.
int64_t write_binary_pxu(const udata *ud, pbuffer *b, int bits, int mode);

// Reads the pxu form at text (which begins with "pxu" and a 0 byte), never
// past end: makes the record, fills it and pushes it. Returns the position
// after the form, or null (nothing pushed) when the header or sizes are
// refused, the index width is outside 1..6, or the data ends before the
// array is full.
const uint8_t *get_binary_pxu(lua_State *L, const uint8_t *text, const uint8_t *end);
