// The rectangle copy that blit glues onto. Graphics owns it; until the
// graphics blitter is built, userdata/ud_blitter_stubs.cpp gives a plain copy
// with the same clipping.
#pragma once

#include <cstdint>

struct udata;

// Copies the w x h rectangle at (sx, sy) of src to (dx, dy) of dst when both
// records have the same element type and w and h are at least 1, clipped to
// the current process's target_clip (intersected with dst), then to src.
// Overlapping rectangles of one record copy as if through a scratch copy.
// Returns the work done: h * (w + 64) elements, or h * (4w + 256) when src
// and dst are one record and dy = sy; 0 when nothing is copied.
int64_t blit(udata *src, udata *dst, int32_t sx, int32_t sy, int32_t dx, int32_t dy, int32_t w,
             int32_t h);
