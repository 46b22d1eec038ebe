// No boot screen yet: the composer shows black while it would be shown.
#include "kernel/boot_screen.h"

proc *draw_boot() { return nullptr; }
const uint8_t lil_font_dat[4096] = {};
