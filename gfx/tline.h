// Perspective textured lines: one line of destination pixels reading a u8
// texture or an i16 map of sprite cells at (u / w, v / w), with u, v and w
// interpolated linearly along the line.
#pragma once
#include <cstdint>

struct udata;

// Flags of draw_tline3d.
inline constexpr int32_t TLINE_NO_END_POINT = 0x100;  // the last step is not drawn
inline constexpr int32_t TLINE_PIXEL_EDGE = 0x200;    // a fractional start reads from its edge
inline constexpr int32_t TLINE_EXACT = 0x400;         // divide at every pixel, not every 8th

// Draws (x0, y0)..(x1, y1) of the u8 bitmap dst for the current process,
// texture coordinates (u, v) and weights w at each end, through the texture
// offsets and wrap sizes of the draw state (0x5530..0x5537). A map source
// reads its cells' sprites from the process's sprite table (cell & 0x1FFF;
// bit 14 mirrors a tile horizontally, bit 15 vertically) with tiles of the
// draw state's tile size. Returns the cost; 0 when src is null or neither u8
// nor i16, a weight is not above 0, or no pixel is visible. Every float to
// integer conversion saturates, so no input reads outside a bitmap.
int64_t draw_tline3d(udata *src, udata *dst, double x0, double y0, double x1, double y1, double u0,
                     double v0, double u1, double v1, double w0, double w1, int32_t flags);
// The steps of that line inside the drawing clip: its cost is at most one
// a step, so a caller tests this against the overrun bound before drawing.
int64_t tline3d_steps(const udata *dst, double x0, double y0, double x1, double y1);
