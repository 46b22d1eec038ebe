// Moving and resetting whole runs of elements: copy, take and clear, and the
// scratch copies of operands that overlap a destination.
#pragma once

#include <cstdint>

#include "lang/lua_api.h"

// ud:copy(b, [destination], [b offset], [a offset], [length], [b stride],
// [a stride], [spans]): the element-wise frame (userdata/ud_frame.h) whose
// rule is the right-hand value: b's elements, a scalar fill (a non-number b
// fills 0), or with a scalar first the primary's own elements. A missing b
// copies ud onto itself (ud:copy() is a new copy). An i32 b with a non-i32
// ud is a take. Charges elements / 12 (f64, i64) or / 24, plus spans / 2.
int lua54_ud_copy(lua_State *L);

// ud:take(index list, [destination], [index offset], [destination offset],
// [span length], [index stride], [destination stride], [count]): gathers the
// elements (span length 1) or runs of elements at the indices held in an
// i32 record, into a record of ud's type: argument 3, ud itself for another
// true value, or a new record (the index list's shape for span 1, else
// span x count rows). Out-of-range entries and positions are skipped; runs
// are cut at either record's ends (and, starting before element 0, skip the
// same amount on both sides). An index stride of 0, or an index offset at or
// past the list's end, gathers nothing. Charges span * rows / D + rows / 6
// (D 12 for f64 and i64, else 24). Nothing returned for a non-i32 list, a
// non-record, a destination of another type or a new one refused.
int lua54_ud_take(lua_State *L);

// ud:clear(): zeroes the elements; charges bytes / 64. Returns nothing.
int lua54_ud_clear(lua_State *L);

// Copies n doubles into scratch slot 0 or 1 (shared by all processes, grown
// as needed, kept for the program's life) and returns the copy, valid until
// the next call on that slot; null when it cannot be had. Charges n >> 8.
double *copy_dat(int slot, const double *data, int64_t n);
