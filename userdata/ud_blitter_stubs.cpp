// A plain rectangle copy standing in for the graphics blitter.
#include <cstring>

#include "kernel/process.h"
#include "userdata/ud_blitter.h"
#include "userdata/udata.h"

int64_t blit(udata *src, udata *dst, int32_t sx, int32_t sy, int32_t dx, int32_t dy, int32_t w,
             int32_t h) {
  if (!src || !dst || (src->utype & 31) != (dst->utype & 31) || w < 1 || h < 1) return 0;
  // The clip, kept inside the destination; all edges in 64 bits.
  int64_t left = 0, top = 0, right = dst->width, bottom = dst->height;
  if (cproc) {
    const target_clip_rect &c = cproc->target_clip;
    left = c.left > 0 ? c.left : 0;
    top = c.top > 0 ? c.top : 0;
    right = c.right < right ? c.right : right;
    bottom = c.bottom < bottom ? c.bottom : bottom;
  }
  int64_t x0 = sx, y0 = sy, x1 = dx, y1 = dy, cw = w, ch = h;
  if (x1 < left) x0 += left - x1, cw -= left - x1, x1 = left;
  if (y1 < top) y0 += top - y1, ch -= top - y1, y1 = top;
  if (x1 + cw > right) cw = right - x1;
  if (y1 + ch > bottom) ch = bottom - y1;
  if (x0 < 0) cw += x0, x1 -= x0, x0 = 0;
  if (y0 < 0) ch += y0, y1 -= y0, y0 = 0;
  if (cw > int64_t(src->width) - x0) cw = int64_t(src->width) - x0;
  if (ch > int64_t(src->height) - y0) ch = int64_t(src->height) - y0;
  if (cw < 1 || ch < 1) return 0;
  uint32_t es = utype_size(src->utype & 31);
  size_t row = size_t(cw) * es;
  // Rows bottom to top when moving down within one record; memmove handles
  // overlap within a row.
  bool up = src == dst && y1 > y0;
  for (int64_t r = 0; r < ch; r++) {
    int64_t i = up ? ch - 1 - r : r;
    const uint8_t *from = udata_elements(src) + ((y0 + i) * src->width + x0) * es;
    uint8_t *to = udata_elements(dst) + ((y1 + i) * dst->width + x1) * es;
    std::memmove(to, from, row);
  }
  return src == dst && y1 == y0 ? ch * (4 * cw + 256) : ch * (cw + 64);
}
