// Moving pixels between bitmaps: the raw rectangle copy between userdata of
// one element type, sprites drawn through the texture formula of
// gfx/pixel.h, and one line of a scaled sprite.
//
// Each clips against the current process's cached clip rectangle cut to the
// destination (so nothing is ever written outside it) and returns a cost that
// the caller turns into a CPU charge; 0 when nothing is drawn. The clipping
// runs in 64-bit arithmetic: huge or negative sizes and offsets draw the
// visible part or nothing.
#pragma once
#include <cstdint>

struct udata;

// Copies the w x h rectangle at (sx, sy) of src to (dx, dy) of dst, elements
// as they are. Nothing when a record is null, the element types differ or
// w or h is below 1. Cost h * (w + 64), or h * (4w + 256) for a copy within
// one bitmap on the same rows (w, h as copied). Overlapping copies within one
// bitmap read every element before overwriting it.
int64_t blit(udata *src, udata *dst, int32_t sx, int32_t sy, int32_t dx, int32_t dy, int32_t w,
             int32_t h);
// What blit would cost for those arguments, found without copying.
int64_t blit_cost_bound(const udata *src, const udata *dst, int32_t sx, int32_t sy, int32_t dx,
                        int32_t dy, int32_t w, int32_t h);

// Draws the w x h rectangle at (sx, sy) of the u8 sprite src at (dx, dy) of
// the u8 bitmap dst, mirrored first (the whole sprite) when flip_x or flip_y
// is set. Cost columns x rows drawn, halved when the default masks and no
// fill pattern allow the lookup-only path, plus one a row drawn.
int64_t draw_spr(udata *src, udata *dst, int32_t sx, int32_t sy, int32_t dx, int32_t dy, int32_t w,
                 int32_t h, bool flip_x, bool flip_y);
// What draw_spr would cost for those arguments under the current draw
// state, found without drawing: a caller tests it against the overrun bound.
int64_t draw_spr_bound(const udata *src, const udata *dst, int32_t sx, int32_t sy, int32_t dx,
                       int32_t dy, int32_t w, int32_t h);

// The destination line (x0, y0)..(x1, y1), both ends drawn, textured by the
// source points (u0, v0)..(u1, v1) of the u8 bitmap src stepped linearly.
// A source position outside src reads colour 0. Cost the pixels stepped,
// halved on the lookup-only path; 0 for a source that is not u8.
int64_t draw_tline_sspr(udata *src, udata *dst, int32_t x0, int32_t y0, int32_t x1, int32_t y1,
                        double u0, double v0, double u1, double v1);
// The most draw_tline_sspr costs for a line of that many visible pixels
// under the current draw state.
int64_t tline_sspr_cost_bound(int64_t pixels);
// The cost a caller adds for each such line it visits, however few of its
// pixels are drawn: loading the draw state and planning the line.
constexpr int64_t TLINE_LINE_COST = 18;
// What a caller counts for each unit of draw_tline_sspr's cost: stepping a
// scaled sprite pixel by pixel takes about three times a blit's pixel.
constexpr int64_t TLINE_SSPR_WEIGHT = 3;
