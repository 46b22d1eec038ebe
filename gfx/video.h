// Graphics as the kernel calls it. Until graphics is built these do nothing
// (gfx/video_stubs.cpp).
#pragma once
#include <cstdint>

struct proc;
struct udata;

// Builds the default colour tables and palettes of the current reset.
void init_default_coltabs();
// Sets the display's video mode (0 is the default mode).
void gfx_set_video_mode(int32_t mode);
// Copies a w by h rectangle of src's video memory (from src_addr, rows as
// wide as src's display width) into the u8 record dst at dx, dy, within the
// current process's clip rectangle; returns the pixels copied. Copies
// nothing yet (0).
int64_t blit_from_ram(proc *src, int32_t src_addr, udata *dst, int32_t sx, int32_t sy, int32_t dx,
                      int32_t dy, int32_t w, int32_t h, uint8_t mask);
