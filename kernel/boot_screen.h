// The boot screen as the frame composer calls it. Until the boot screen is
// built this shows nothing (kernel/boot_screen_stubs.cpp).
#pragma once

struct proc;

// Draws one boot frame and returns the record whose memory holds it (its
// palettes and video memory), or null when there is none.
proc *draw_boot();
