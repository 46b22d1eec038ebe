// The boot screen as the frame composer calls it. Until the boot screen is
// built this shows nothing (kernel/boot_screen_stubs.cpp).
#pragma once

#include <cstdint>

struct proc;

// The small built-in font (the boot screen's and the label printer's), copied
// to RAM_BOOT_FONT.
extern const uint8_t lil_font_dat[4096];

// Draws one boot frame and returns the record whose memory holds it (its
// palettes and video memory), or null when there is none.
proc *draw_boot();
