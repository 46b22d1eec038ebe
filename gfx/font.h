// The built-in fonts, packed at build time from the text pictures in
// gfx/fonts/ (tools/font_pack.py).
#pragma once
#include <cstdint>

#include "base/ram_layout.h"

// The small font written at RAM_BOOT_FONT of the boot record: one font block
// (cells 4 x 6 below code 128, 8 x 6 from 128), then zeros.
extern const uint8_t lil_font_dat[GFX_BOOT_FONT_BYTES];
