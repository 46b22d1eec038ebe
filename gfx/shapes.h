// The shape rasteriser: spans, rectangles, lines, ellipses and rounded
// rectangles drawn into a u8 bitmap through the shape formula of gfx/pixel.h.
//
// Every primitive acts for the current process: it clips against that
// process's cached clip rectangle cut to the bitmap (left, top inclusive;
// right, bottom exclusive), loads the masks from its draw state, and returns
// a cost in abstract units that the drawing functions turn into a CPU charge
// (0 when nothing is drawn; never negative). Coordinates arrive with the
// camera applied; colour is the pen (bits 0..15), the pattern rows come from
// memory. The filled shapes fill the outside of the shape instead while the
// process's inverted-shape flag is set.
#pragma once
#include <cstdint>

#include "gfx/pixel.h"

struct udata;

// The visible steps of a line in 16.16 fixed point: step i (first..last) is
// the pixel ((x0 + i * xstep) >> 16, (y0 + i * ystep) >> 16). The ends are
// ordered by y (swapped set when (x1, y1) became the start); n = max(|dx|,
// |dy|) and each step is d * 65536 / n truncated (0 when n is 0). first..last
// are exactly the steps inside the clip (last < first: none).
struct line_steps {
  int64_t n, xstep, ystep, x0, y0, first, last;
  bool swapped;
};
line_steps line_plan(const clip_box &c, int64_t x0, int64_t y0, int64_t x1, int64_t y1);

// Pixels x0..x1 (inclusive) of row y; nothing when x1 < x0. The cost of the
// span in the shape's units (0 when nothing was drawn), for the caller to sum.
int32_t draw_hline(udata *bitmap, int32_t x0, int32_t x1, int32_t y, int32_t colour);
// Row y except min(x0, x1)..max(x0, x1); the sum of its two spans' costs.
int32_t draw_hline_inv(udata *bitmap, int32_t x0, int32_t x1, int32_t y, int32_t colour);
// The rectangle with inclusive corners in any order, row by row.
int32_t rectfill(udata *bitmap, int32_t x0, int32_t y0, int32_t x1, int32_t y1, int32_t colour);
// The clipped rectangle set to the byte value itself (no pattern, masks or
// tables); returns the pixels filled.
int64_t rectfill_raw(udata *bitmap, int32_t x0, int32_t y0, int32_t x1, int32_t y1, uint8_t value);
// A line with both end points; returns the pixels drawn. The visible steps
// are found exactly, so a clipped line equals the whole line cut to the
// clip; a step that rounds to 0 keeps that coordinate constant.
int64_t draw_line(udata *bitmap, int32_t x0, int32_t y0, int32_t x1, int32_t y1, int32_t colour);
// Ellipse outline and filled ellipse inscribed in a box given by any two
// opposite corners.
int64_t draw_oval(udata *bitmap, int32_t x0, int32_t y0, int32_t x1, int32_t y1, int32_t colour);
int64_t draw_filloval(udata *bitmap, int32_t x0, int32_t y0, int32_t x1, int32_t y1,
                      int32_t colour);
// Four ellipse quarters about (cx, cy) of radii rx, ry, the right ones moved
// ex to the right and the lower ones ey down; nothing for a negative radius.
int64_t draw_ellipse_1(udata *bitmap, int32_t cx, int32_t cy, int32_t rx, int32_t ry, int32_t ex,
                       int32_t ey, int32_t colour);
int64_t fill_ellipse_1(udata *bitmap, int32_t cx, int32_t cy, int32_t rx, int32_t ry, int32_t ex,
                       int32_t ey, int32_t colour);
// The corners of a rounded rectangle: the box is the corner ellipse, its
// quarters moved apart by ex and ey (the straight edges are the caller's
// lines); the filled form includes the middle.
int64_t draw_rrect(udata *bitmap, int32_t x0, int32_t y0, int32_t x1, int32_t y1, int32_t ex,
                   int32_t ey, int32_t colour);
int64_t draw_rrectfill(udata *bitmap, int32_t x0, int32_t y0, int32_t x1, int32_t y1, int32_t ex,
                       int32_t ey, int32_t colour);
// Rows y0..y1 (inclusive, in this order; none when y1 < y0) from x0 to x1
// in any order, or with inverted what lies beside that span; one painter
// for all of them.
int64_t draw_rows(udata *bitmap, int32_t x0, int32_t x1, int64_t y0, int64_t y1, int32_t colour,
                  bool inverted);
// Upper bounds of the cost the functions above return for the pen colour,
// found from the arguments, the drawing clip, the masks and the
// inverted-shape flag without drawing: a caller tests the work against the
// overrun bound before it starts. Rows y0..y1 (in this order) from x0 to x1
// (or beside them) as draw_rows; draw_oval or draw_filloval; draw_rrect or
// draw_rrectfill.
int64_t rows_cost_bound(const udata *bitmap, int64_t x0, int64_t x1, int64_t y0, int64_t y1,
                        bool inverted, int32_t colour);
int64_t oval_cost_bound(const udata *bitmap, int32_t x0, int32_t y0, int32_t x1, int32_t y1,
                        bool fill, int32_t colour);
int64_t rrect_cost_bound(const udata *bitmap, int32_t x0, int32_t y0, int32_t x1, int32_t y1,
                         int32_t ex, int32_t ey, bool fill, int32_t colour);
// dst[i] = src[i] for each i < n where (src[i] & mask) != 0; other bytes of
// dst stay. Tests 16 bytes at a time where the machine has vectors.
void alpha_bits_memcpy(uint8_t *dst, const uint8_t *src, int64_t n, uint8_t mask);
