// Sorting the rows of a record by one key column.
#pragma once

#include <cstdint>

#include "lang/lua_api.h"

// The running sort's parameters, read by the row comparators: the key
// column, the descending flags (both 1 for descending order) and the count
// of comparisons made.
extern int32_t score_index;
extern uint8_t score_val1;
extern uint8_t score_valm1;
extern int32_t num_compares;

// Row comparators, one per element type: each adds 1 to num_compares and
// compares element score_index of two rows (u8 unsigned, i16/i32/i64 signed,
// f64 as doubles, a NaN equal to everything); the greater first row gives 1
// ascending, -1 descending, and the reverse for the smaller.
int compare_u8(const void *a, const void *b);
int compare_i16(const void *a, const void *b);
int compare_i32(const void *a, const void *b);
int compare_i64(const void *a, const void *b);
int compare_f64(const void *a, const void *b);

// ud:sort([column], [descending]): a 2-D record of two or more rows sorts
// its rows of width elements, any other record its single elements, by the
// element in column, in the comparators' order: a stable radix sort of the
// rows (a NaN, equal to everything, goes past the infinities on the side of
// its sign), so any record that fits in memory sorts in some host
// milliseconds. Returns the
// key steps made (each row's key once for every pass of the sort, at least
// one), or nothing for a non-record or a column outside the row. Charges
// ((row bytes / 128) + 1) * (steps * 3 / 4).
int lua54_ud_sort(lua_State *L);
