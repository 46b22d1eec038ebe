// Row sort of a record by a key column.
#include "userdata/ud_sort.h"

#include <cstring>
#include <vector>

#include "lang/args.h"
#include "base/cpu_budget.h"
#include "userdata/ud_frame.h"
#include "userdata/udata.h"

int32_t score_index;
uint8_t score_val1;
uint8_t score_valm1;
int32_t num_compares;

template <class T>
static int compare_rows(const void *a, const void *b) {
  num_compares++;
  T x, y;
  std::memcpy(&x, static_cast<const uint8_t *>(a) + size_t(score_index) * sizeof(T), sizeof(T));
  std::memcpy(&y, static_cast<const uint8_t *>(b) + size_t(score_index) * sizeof(T), sizeof(T));
  if (x > y) return score_val1 ? -1 : 1;
  if (x < y) return score_valm1 ? 1 : -1;
  return 0;  // equal, or a NaN
}

int compare_u8(const void *a, const void *b) { return compare_rows<uint8_t>(a, b); }
int compare_i16(const void *a, const void *b) { return compare_rows<int16_t>(a, b); }
int compare_i32(const void *a, const void *b) { return compare_rows<int32_t>(a, b); }
int compare_i64(const void *a, const void *b) { return compare_rows<int64_t>(a, b); }
int compare_f64(const void *a, const void *b) { return compare_rows<double>(a, b); }

using row_compare = int (*)(const void *, const void *);

// The fewest compares merge_sort_rows makes on n rows: each merge of two
// runs compares at least as often as the shorter run is long.
static int64_t fewest_merge_compares(uint64_t n) {
  int64_t total = 0;
  for (uint64_t run = 1; run < n; run *= 2) total += int64_t(n / (2 * run) * run);
  return total;
}

// Bottom-up merge sort of n rows of rs bytes. Each merge takes from the left
// run unless the right row compares smaller, so it only ever reads rows
// inside the runs whatever the comparator answers.
static void merge_sort_rows(uint8_t *rows, size_t n, size_t rs, row_compare cmp) {
  std::vector<uint8_t> scratch(n * rs);
  uint8_t *from = rows, *to = scratch.data();
  for (size_t run = 1; run < n; run *= 2) {
    for (size_t lo = 0; lo < n; lo += 2 * run) {
      size_t mid = lo + run < n ? lo + run : n;
      size_t hi = lo + 2 * run < n ? lo + 2 * run : n;
      size_t i = lo, j = mid, k = lo;
      while (i < mid && j < hi) {
        size_t pick = cmp(from + j * rs, from + i * rs) < 0 ? j++ : i++;
        std::memcpy(to + k++ * rs, from + pick * rs, rs);
      }
      std::memcpy(to + k * rs, from + i * rs, (mid - i) * rs);
      k += mid - i;
      std::memcpy(to + k * rs, from + j * rs, (hi - j) * rs);
    }
    std::swap(from, to);
  }
  if (from != rows) std::memcpy(rows, from, n * rs);
}

int lua54_ud_sort(lua_State *L) {
  udata *ud = to_udata(L, 1);
  if (!ud) return 0;
  int64_t column = kvd_intp(L, 2, 0);
  bool descending = lua_gettop(L) >= 3 && lua_toboolean(L, 3);
  score_val1 = score_valm1 = descending ? 1 : 0;
  uint64_t row_len = ud->height >= 2 ? ud->width : 1;
  uint64_t rows = udata_count(ud) / row_len;
  if (column < 0 || uint64_t(column) >= row_len) return 0;
  score_index = int32_t(column);
  uint32_t type = ud->utype & 31;
  row_compare cmp = type == UTYPE_I16   ? compare_i16
                    : type == UTYPE_I32 ? compare_i32
                    : type == UTYPE_I64 ? compare_i64
                    : type == UTYPE_F64 ? compare_f64
                                        : compare_u8;
  size_t row_bytes = size_t(row_len) * utype_size(type);
  // The charge grows with the compares made: a sort that must overrun the
  // slice fails before it starts.
  frame_check_work(L, (int64_t(row_bytes) / 128 + 1) * (fewest_merge_compares(rows) * 3 / 4));
  num_compares = 0;
  merge_sort_rows(udata_elements(ud), size_t(rows), row_bytes, cmp);
  spend_cpu((int64_t(row_bytes) / 128 + 1) * ((int64_t(num_compares) * 3) / 4));
  lua_pushinteger(L, num_compares);
  return 1;
}
