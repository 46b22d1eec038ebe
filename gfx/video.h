// Graphics as the kernel and the host layer call it: the default colour
// tables, the output frame composed from the window manager's video memory,
// and the copy of another process's video memory into a bitmap.
#pragma once
#include <cstdint>

#include "base/ram_layout.h"

struct proc;
struct udata;

// The output frame: 480 x 270 words 0x00RRGGBB, row-major, valid until the
// next generate_video_out.
extern uint32_t back_page[SCREEN_WIDTH * SCREEN_HEIGHT];
// The frame's 256 output colours (4 banks of 64), then the bank of each of
// the 270 scan lines.
extern uint32_t display_pal[256 + SCREEN_HEIGHT];

// Builds the default colour tables and palettes of the current reset.
void init_default_coltabs();

// Composes the output frame from process 3's video memory through its own
// palettes, or from the boot screen while there is no process 3, the boot
// clock is below 2200 ms or userland has not signalled its boot complete
// (the first frame of process 3 logs "@@ finished_boot_sequence"). Bytes of
// absent pages show black; a pending reboot halves every colour; video modes
// 3 and 4 are enlarged 2 and 3 times after the captures saw the frame. Returns
// back_page with *width = 480 and *height = 270, or null (sizes untouched, no
// capture) while the source holds its frame (0x547F bit 1).
const uint32_t *generate_video_out(int32_t *width, int32_t *height);

// Copies a w by h rectangle of src's video memory, starting at src_addr +
// sy * (src's display width at 0x5478) + sx, into the u8 bitmap dst at
// (dx, dy), within the current process's clip rectangle cut to dst. With a
// non-zero mask only pixels whose value AND mask is non-zero are written.
// Source bytes on absent pages or outside the 16 MiB memory write colour 8.
// Returns (rows x columns copied) / 4; 0 when nothing is copied.
int64_t blit_from_ram(proc *src, int32_t src_addr, udata *dst, int32_t sx, int32_t sy, int32_t dx,
                      int32_t dy, int32_t w, int32_t h, uint8_t mask);
