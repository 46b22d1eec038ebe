// Records as vectors and matrices: an f64 record of width w is a vector (one
// row) or a list of h vectors; a 2-D f64 record is a matrix of h rows, row
// major, and maps a row vector v to v x m. Sums run in element order in
// doubles (no fused multiply-add), so results are the same on every machine.
// Failed checks return nothing; nothing raises an error.
//
// The destination argument of cross, matmul, matmul3d and matmul2d
// (argument 3): a record is the destination, another true value the first
// operand, else a new record. A destination must be f64. An operand that is
// also the destination is read from a scratch copy (copy_dat), so results
// never read what they have overwritten.
#pragma once

#include "lang/lua_api.h"

// lerp(ud, offset = 0, len = w - 1, step = 1, spans = h, stride = w): in each
// span s (base = offset + s * stride) the elements base + k * step, 0 < k <
// len, become the linear interpolation d * k / len + a between the ends a =
// element base and b = element base + step * len (d = b - a, in doubles;
// integer types store it truncated). Any element type. Nothing unless len,
// spans, stride and step are at least 1, offset at least 0 and the last end,
// (spans - 1) * stride + step * len + offset, lies inside the record. Returns
// ud; no charge.
int lua54_ud_lerp(lua_State *L);

// magnitude(v): the length of row 0; charges (w >> 3) + 2.
// distance(a, b): over the first min(a.w, b.w) elements, differences squared
// in single precision and summed in double; charges n / 8 + 2.
// dot(a, b): the sum of a_i * b_i over min(a.w, b.w); charges n / 8 + 1.
int lua54_ud_magnitude(lua_State *L);
int lua54_ud_distance(lua_State *L);
int lua54_ud_dot(lua_State *L);

// cross(a, b, dest): elements 0-2 of dest become a x b (a new dest is a copy
// of b). Every record must be at least 3 wide. Charges 2.
int lua54_ud_cross(lua_State *L);

// matmul(a, b, dest, batch = a.h): dest = a x b, b.w wide and a.h high (a new
// dest is made that size), worked in groups of batch rows of a; needs a.w =
// b.h and a.h a multiple of batch. Charges (a.w * a.h * dest.w) >> 3.
int lua54_ud_matmul(lua_State *L);

// matmul3d(v, m, dest, batch = v.h): m is 4 rows of at least 3 columns, a
// linear part and a translation row. Batch 1: each row's (x, y, z) becomes
// (x, y, z, 1) x m in columns 0-2 of the destination (charges v.h). Batch 4:
// each group of 4 rows (axes and a position) times m, summed over at most 4
// columns of v, the fourth row alone translated (charges 4 a group). a new
// dest is a copy of v; a given one must have v.h rows of at least 3
// elements.
// matmul2d(v, m, dest, batch = v.h): the same in 2-D with m of 3 rows of at
// least 2 columns and batches of 1 or 3; charges (v.h >> 1) + 1 or
// ((v.h * 12) >> 3) + 1.
int lua54_ud_matmul3d(lua_State *L);
int lua54_ud_matmul2d(lua_State *L);

// transpose(ud, dest): argument 2 true (not a record), or ud itself: the
// leading min(w, h) square is transposed in place. A record of ud's type:
// dest(x, y) = ud(y, x) for y < min(dest.h, ud.w), x < min(dest.w, ud.h).
// Else a new h x w record. No charge.
int lua54_ud_transpose(lua_State *L);

// row(ud, i): a new w x 1 record of row i (charges w >> 2); column(ud, i): a
// new 1 x h record of column i (charges h >> 1). Nothing for an index outside
// the record.
int lua54_ud_row(lua_State *L);
int lua54_ud_column(lua_State *L);

// crc(ud): the CRC-32 of the element bytes (w x h x element size).
int lua54_ud_crc(lua_State *L);
