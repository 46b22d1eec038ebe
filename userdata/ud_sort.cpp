// Row sort of a record by a key column.
#include "userdata/ud_sort.h"

#include <cstring>
#include <vector>

#include "base/cpu_budget.h"
#include "lang/args.h"
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

namespace {

// The unsigned key of an element whose order as an unsigned number is the
// comparators' order: signed values with the sign bit flipped, doubles with
// the sign bit flipped (the other bits too for negatives). Keys the
// comparators find equal are one key, so that the sort keeps their order:
// -0.0 sorts as 0.0, and every NaN (equal to everything for the comparators,
// so free to go anywhere) as one NaN past the infinities.
template <class T>
struct sort_key;
template <>
struct sort_key<uint8_t> {
  using K = uint8_t;
  static K of(uint8_t v) { return v; }
};
template <>
struct sort_key<int16_t> {
  using K = uint16_t;
  static K of(int16_t v) { return K(uint16_t(v) ^ 0x8000u); }
};
template <>
struct sort_key<int32_t> {
  using K = uint32_t;
  static K of(int32_t v) { return uint32_t(v) ^ 0x80000000u; }
};
template <>
struct sort_key<int64_t> {
  using K = uint64_t;
  static K of(int64_t v) { return uint64_t(v) ^ (uint64_t(1) << 63); }
};
template <>
struct sort_key<double> {
  using K = uint64_t;
  static K of(double v) {
    if (v != v) return ~K(0);
    uint64_t b;
    if (v == 0) v = 0.0;
    std::memcpy(&b, &v, 8);
    return b >> 63 ? ~b : b | (uint64_t(1) << 63);
  }
};

// The sort's scratch: as large as the largest record sorted so far, kept
// for the life of the program (as the matrix operands' scratch is), so that
// sorts after the first of a size take no new host memory.
std::vector<uint8_t> sort_scratch;

// Keys rise, or fall when descending (the complement of a key reverses the
// order and keeps equal keys equal).
template <class T>
typename sort_key<T>::K row_key(const uint8_t *row, size_t column, bool descending) {
  T v;
  std::memcpy(&v, row + column * sizeof(T), sizeof(T));
  auto k = sort_key<T>::of(v);
  return descending ? decltype(k)(~k) : k;
}

template <class T>
inline unsigned digit_of(const uint8_t *row, size_t column, bool descending, unsigned b) {
  return unsigned(row_key<T>(row, column, descending) >> (8 * b)) & 255u;
}

// One pass of small rows: row i of `from` goes to row pos[digit]++ of `to`
// by way of a cache line a digit, written out whole when full. The 256 runs
// being written are often a power of two apart, in the same cache sets,
// where a row at a time would miss on every write.
template <class T, size_t RS>
void staged_pass(const uint8_t *from, uint8_t *to, size_t n, size_t rs, size_t column,
                 bool descending, unsigned b, size_t *pos) {
  constexpr size_t line = 64;
  alignas(64) uint8_t stage[256][line];
  size_t fill[256] = {};
  size_t size = RS != 0 ? RS : rs;
  for (size_t i = 0; i < n; i++) {
    const uint8_t *row = from + i * size;
    unsigned d = digit_of<T>(row, column, descending, b);
    std::memcpy(stage[d] + fill[d], row, size);
    fill[d] += size;
    if (fill[d] + size > line) {
      std::memcpy(to + pos[d] * size, stage[d], fill[d]);
      pos[d] += fill[d] / size;
      fill[d] = 0;
    }
  }
  for (unsigned d = 0; d < 256; d++) {
    std::memcpy(to + pos[d] * size, stage[d], fill[d]);
    pos[d] += fill[d] / size;
  }
}

// A stable least-significant-digit radix sort of n rows of rs bytes (RS
// when it is not 0) by the key in column: one pass a key byte, moving whole
// rows between the record and the scratch, skipping a byte every key
// shares. Returns the passes made.
template <class T, size_t RS>
unsigned radix_rows(uint8_t *rows, size_t n, size_t rs, size_t column, bool descending) {
  using K = typename sort_key<T>::K;
  constexpr unsigned bytes = sizeof(K);
  size_t start[bytes][256] = {};
  for (size_t i = 0; i < n; i++) {
    K key = row_key<T>(rows + i * rs, column, descending);
    for (unsigned b = 0; b < bytes; b++) start[b][unsigned(key >> (8 * b)) & 255u]++;
  }
  if (sort_scratch.size() < n * rs) sort_scratch.resize(n * rs);
  uint8_t *from = rows, *to = sort_scratch.data();
  unsigned passes = 0;
  for (unsigned b = 0; b < bytes; b++) {
    size_t *pos = start[b];
    if (pos[unsigned(row_key<T>(rows, column, descending) >> (8 * b)) & 255u] == n) continue;
    size_t sum = 0;
    for (unsigned d = 0; d < 256; d++) {
      size_t c = pos[d];
      pos[d] = sum;
      sum += c;
    }
    if (rs <= 32)
      staged_pass<T, RS>(from, to, n, rs, column, descending, b, pos);
    else
      for (size_t i = 0; i < n; i++) {
        const uint8_t *row = from + i * rs;
        size_t at = pos[digit_of<T>(row, column, descending, b)]++;
        std::memcpy(to + at * rs, row, rs);
      }
    std::swap(from, to);
    passes++;
  }
  if (from != rows) std::memcpy(rows, from, n * rs);
  return passes;
}

// u8 elements: a count of each value, written back in order.
unsigned sort_bytes(uint8_t *v, size_t n, bool descending) {
  size_t count[256] = {};
  for (size_t i = 0; i < n; i++) count[v[i]]++;
  size_t at = 0;
  for (unsigned d = 0; d < 256; d++) {
    unsigned value = descending ? 255 - d : d;
    std::memset(v + at, int(value), count[value]);
    at += count[value];
  }
  return 1;
}

template <class T>
unsigned sort_rows(uint8_t *rows, size_t n, size_t row_len, size_t column, bool descending) {
  size_t rs = row_len * sizeof(T);
  if (row_len == 1) {
    if constexpr (sizeof(T) == 1) return sort_bytes(rows, n, descending);
    return radix_rows<T, sizeof(T)>(rows, n, rs, 0, descending);
  }
  switch (rs) {
    case 2:
      return radix_rows<T, 2>(rows, n, rs, column, descending);
    case 4:
      return radix_rows<T, 4>(rows, n, rs, column, descending);
    case 8:
      return radix_rows<T, 8>(rows, n, rs, column, descending);
    case 16:
      return radix_rows<T, 16>(rows, n, rs, column, descending);
    default:
      return radix_rows<T, 0>(rows, n, rs, column, descending);
  }
}

}  // namespace

// The host work of a sort: single bytes are counted; other keys are read to
// count their bytes, then each pass (one a key byte at most) reads every key
// again and moves every row, a row's bytes at memory speed.
static int64_t sort_host_work(uint64_t rows, uint64_t row_bytes, uint32_t type) {
  if (type == UTYPE_U8 && row_bytes == 1) return ud_host_work(int64_t(rows), UD_NS10_CHEAP);
  int64_t passes = int64_t(utype_size(type));
  return ud_host_work(int64_t(rows) * (passes + 1), UD_NS10_KEY_STEP) +
         ud_host_work(int64_t(rows * row_bytes) * passes, UD_NS10_ROW_BYTE);
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
  uint64_t row_bytes = row_len * utype_size(type);
  frame_check_work(L, sort_host_work(rows, row_bytes, type));
  uint8_t *e = udata_elements(ud);
  unsigned passes = udata_visit_type(type, [&](auto zero) -> unsigned {
    using T = decltype(zero);
    return sort_rows<T>(e, size_t(rows), size_t(row_len), size_t(column), descending);
  });
  // Every key is read at least once, by the pass that counts them.
  int64_t steps = int64_t(rows) * (passes > 0 ? passes : 1);
  num_compares = int32_t(steps);
  spend_cpu((int64_t(row_bytes) / 128 + 1) * ((steps * 3) / 4));
  lua_pushinteger(L, steps);
  return 1;
}
