// The shape rasteriser.
#include "gfx/shapes.h"

#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define KVD_SPAN_AVX2 1
#endif

#include "machine/process.h"
#include "userdata/udata.h"
#include "gfx/pixel.h"

namespace {

// What one shape operation writes over every old pixel value, built once per
// operation: new[bit][old] for both pattern bits. When the results of the
// pattern bits a row uses do not depend on the old pixel beyond the bits the
// write mask keeps, that row's span is a masked fill of 8 pixels at a time.
struct span_painter {
  draw_ctx ctx;
  int32_t pen;
  uint8_t next[2][256];
  bool uniform[2];       // by pattern bit
  uint8_t keep;          // bits of the old pixel that survive (where uniform)
  uint8_t value[2];      // the written bits by pattern bit (where uniform)
  bool row_uniform[8];   // by pattern row: every pixel a masked fill
  bool row_solid[8];     // by pattern row: a masked fill that keeps nothing of one byte
  uint64_t row_fill[8];  // by pattern row: the written bits of 8 pixels
  uint8_t cost_way;      // how span_cost counts a span, chosen by the pen and masks
};

// The ways of span_cost.
constexpr uint8_t SPAN_COST_HALF = 0, SPAN_COST_THREE_QUARTERS = 1, SPAN_COST_GROUPS = 2;

// The painter of a shape operation; with_tables builds the row fills and
// next[][] where a pattern bit is not uniform (spans read them); without,
// only single pixels can be painted (by paint_pixel).
span_painter make_painter(int32_t colour, bool with_tables = true) {
  span_painter p;
  p.ctx = draw_ctx_shape();
  p.pen = int16_t(colour);
  pen_writes w = pen_writes_of(p.ctx, p.pen);
  p.keep = w.keep;
  for (int b = 0; b < 2; b++) p.uniform[b] = w.uniform[b], p.value[b] = w.value[b];
  uint32_t pen0 = uint32_t(p.pen) & 0xFF & p.ctx.read;
  uint32_t pen1 = uint32_t(p.pen >> 8) & 0xFF & p.ctx.read;
  p.cost_way = p.ctx.target == 0x3F && pen0 < 64 && pen1 < 64 ? SPAN_COST_HALF
               : p.ctx.target != 0                            ? SPAN_COST_THREE_QUARTERS
                                                              : SPAN_COST_GROUPS;
  if (!with_tables) return p;
  for (int r = 0; r < 8; r++) {
    uint8_t pattern = p.ctx.pattern[r];
    p.row_uniform[r] = (p.uniform[0] || pattern == 0xFF) && (p.uniform[1] || pattern == 0);
    // Byte k of the fill is value[bit k]: bit k spread to a byte mask.
    uint64_t spread = 0;
    for (int k = 0; k < 8 && pattern >> k; k++)
      spread |= uint64_t((pattern >> k) & 1) * 0xFF << (8 * k);
    const uint64_t bytes = 0x0101010101010101ull;
    p.row_fill[r] = (bytes * p.value[0]) ^ (spread & (bytes * uint8_t(p.value[0] ^ p.value[1])));
    p.row_solid[r] = p.row_uniform[r] && p.keep == 0 &&
                     p.row_fill[r] == 0x0101010101010101ull * uint8_t(p.row_fill[r]);
  }
  if (!p.uniform[0] || (!p.ctx.plain_pattern && !p.uniform[1]))
    for (int b = 0; b < 2; b++)
      for (int old = 0; old < 256; old++)
        p.next[b][old] = shape_pixel_value(p.ctx, p.pen, b, uint8_t(old));
  return p;
}

// The masked fill of one row: row[i] = (row[i] & keep) | byte i % 8 of fill,
// for n bytes. The written bits never overlap the kept ones, so a byte filled
// twice with its own fill byte stays the same: the tail is one more
// (overlapping) step ending at n, with the fill turned to its position.
inline uint64_t turn_fill(uint64_t fill, int64_t offset) {
  int shift = int(8 * (offset & 7));
  return shift ? fill >> shift | fill << (64 - shift) : fill;
}

inline void masked_fill_word(uint8_t *at, uint64_t keep8, uint64_t fill) {
  uint64_t w;
  std::memcpy(&w, at, 8);
  w = (w & keep8) | fill;
  std::memcpy(at, &w, 8);
}

// Rows shorter than 16 bytes.
inline void masked_fill_short(uint8_t *row, int64_t n, uint8_t keep, uint64_t fill) {
  if (n >= 8) {
    const uint64_t keep8 = 0x0101010101010101ull * keep;
    masked_fill_word(row, keep8, fill);
    masked_fill_word(row + n - 8, keep8, turn_fill(fill, n - 8));
    return;
  }
  for (int64_t i = 0; i < n; i++) row[i] = uint8_t((row[i] & keep) | uint8_t(fill >> (8 * i)));
}

void masked_fill_row(uint8_t *row, int64_t n, uint8_t keep, uint64_t fill) {
#if defined(__SSE2__)
  if (n >= 16) {
    const __m128i k = _mm_set1_epi8(char(keep));
    auto step = [&](int64_t i, uint64_t f) {
      __m128i *at = reinterpret_cast<__m128i *>(row + i);
      _mm_storeu_si128(
          at, _mm_or_si128(_mm_and_si128(_mm_loadu_si128(at), k), _mm_set1_epi64x(int64_t(f))));
    };
    int64_t i = 0;
    for (; i + 16 <= n; i += 16) step(i, fill);
    if (i < n) step(n - 16, turn_fill(fill, n - 16));
    return;
  }
#else
  if (n >= 16) {
    const uint64_t keep8 = 0x0101010101010101ull * keep;
    int64_t i = 0;
    for (; i + 8 <= n; i += 8) masked_fill_word(row + i, keep8, fill);
    if (i < n) masked_fill_word(row + n - 8, keep8, turn_fill(fill, n - 8));
    return;
  }
#endif
  masked_fill_short(row, n, keep, fill);
}

#if KVD_SPAN_AVX2
__attribute__((target("avx2"))) inline void masked_fill_row_avx2(uint8_t *row, int64_t n,
                                                                 uint8_t keep, uint64_t fill) {
  if (n < 32) return masked_fill_row(row, n, keep, fill);
  const __m256i k = _mm256_set1_epi8(char(keep));
  auto step = [&](int64_t i, uint64_t f) __attribute__((target("avx2"))) {
    __m256i *at = reinterpret_cast<__m256i *>(row + i);
    _mm256_storeu_si256(at, _mm256_or_si256(_mm256_and_si256(_mm256_loadu_si256(at), k),
                                            _mm256_set1_epi64x(int64_t(f))));
  };
  int64_t i = 0;
  for (; i + 32 <= n; i += 32) step(i, fill);
  if (i < n) step(n - 32, turn_fill(fill, n - 32));
}
const bool have_avx2 = __builtin_cpu_supports("avx2");
#endif

// The masked fill of n bytes at row, whose first byte takes byte 0 of fill.
inline void masked_fill(uint8_t *row, int64_t n, uint8_t keep, uint64_t fill) {
#if KVD_SPAN_AVX2
  if (have_avx2) return masked_fill_row_avx2(row, n, keep, fill);
#endif
  masked_fill_row(row, n, keep, fill);
}

// Pixels xs..xe (inside the bitmap) of rows top..bottom, whose pattern rows
// are all masked fills.
void fill_uniform_rows(const span_painter &p, udata *bitmap, int32_t xs, int32_t xe, int32_t top,
                       int32_t bottom) {
  int64_t n = int64_t(xe) - xs + 1;
  uint64_t fills[8];  // turned so that their first byte lands on xs
  for (int r = 0; r < 8; r++) fills[r] = turn_fill(p.row_fill[r], xs);
  uint8_t *row = bitmap_row(bitmap, top) + xs;
  for (int64_t y = top; y <= bottom; y++, row += bitmap->width)
    masked_fill(row, n, p.keep, fills[y & 7]);
}

// Pixels xs..xe (inside the bitmap) of row y.
inline void paint_span(const span_painter &p, udata *bitmap, int32_t xs, int32_t xe, int32_t y) {
  uint8_t *row = bitmap_row(bitmap, y);
  int r = y & 7;
  if (!p.row_uniform[r]) {
    uint8_t pattern = p.ctx.pattern[r];
    for (int32_t x = xs; x <= xe; x++) row[x] = p.next[(pattern >> (x & 7)) & 1][row[x]];
  } else if (p.row_solid[r]) {
    std::memset(row + xs, uint8_t(p.row_fill[r]), size_t(xe - xs + 1));
  } else {
    masked_fill(row + xs, int64_t(xe) - xs + 1, p.keep, turn_fill(p.row_fill[r], xs));
  }
}

// One pixel at d of position (x, y).
inline void paint_pixel(const span_painter &p, uint8_t *d, int64_t x, int64_t y) {
  int bit = (p.ctx.pattern[y & 7] >> (x & 7)) & 1;
  *d = p.uniform[bit] ? uint8_t((*d & p.keep) | p.value[bit])
                      : shape_pixel_value(p.ctx, p.pen, bit, *d);
}

// The cost of a span of pixels xs..xe by the way the pen and masks choose.
inline int32_t span_cost_by(uint8_t way, uint32_t width, int32_t xs, int32_t xe) {
  if (way == SPAN_COST_HALF) return (xe - xs) / 2 + 2;
  if (way == SPAN_COST_THREE_QUARTERS) return 3 * (xe - xs) / 4 + 2;
  int32_t first_group = (xs + 7) & ~7;
  int32_t groups = first_group + 7 <= xe ? (xe - first_group + 1) / 8 : 0;
  if (width % 8 != 0 || groups == 0) return (xe - xs) / 2 + 2;
  int32_t singles = (xe - xs + 1) - 8 * groups;
  return (singles + 2 * groups) / 2 + 3;
}
inline int32_t span_cost(const span_painter &p, const udata *bitmap, int32_t xs, int32_t xe) {
  return span_cost_by(p.cost_way, bitmap->width, xs, xe);
}

inline int32_t hline(const span_painter &p, udata *bitmap, const clip_box &c, int64_t x0,
                     int64_t x1, int64_t y) {
  if (y < c.top || y >= c.bottom || x1 < c.left || x0 >= c.right) return 0;
  int32_t xs = int32_t(std::max<int64_t>(x0, c.left));
  int32_t xe = int32_t(std::min<int64_t>(x1, c.right - 1));
  if (xe < xs) return 0;
  paint_span(p, bitmap, xs, xe, int32_t(y));
  return span_cost(p, bitmap, xs, xe);
}

inline int32_t hline_inv(const span_painter &p, udata *bitmap, const clip_box &c, int64_t x0,
                         int64_t x1, int64_t y) {
  int64_t lo = std::min(x0, x1), hi = std::max(x0, x1);
  return hline(p, bitmap, c, c.left - 1, lo - 1, y) + hline(p, bitmap, c, hi + 1, c.right + 1, y);
}

// The least cost of a row filled by rows: one charged cycle.
constexpr int32_t ROW_COST_MIN = 3;

// Rows y0..y1 (inclusive, any order) from x0 to x1.
int64_t fill_rows(const span_painter &p, udata *bitmap, const clip_box &c, int64_t x0, int64_t y0,
                  int64_t x1, int64_t y1) {
  int64_t top = std::max<int64_t>(std::min(y0, y1), c.top);
  int64_t bottom = std::min<int64_t>(std::max(y0, y1), c.bottom - 1);
  int64_t lo = std::max<int64_t>(std::min(x0, x1), c.left);
  int64_t hi = std::min<int64_t>(std::max(x0, x1), c.right - 1);
  if (top > bottom || lo > hi) return 0;
  // Every row is the same span: clipped and costed once, and painted in one
  // pass when every pattern row is a masked fill that keeps some bits.
  if (p.keep != 0 && std::all_of(p.row_uniform, p.row_uniform + 8, [](bool u) { return u; }))
    fill_uniform_rows(p, bitmap, int32_t(lo), int32_t(hi), int32_t(top), int32_t(bottom));
  else
    for (int64_t y = top; y <= bottom; y++)
      paint_span(p, bitmap, int32_t(lo), int32_t(hi), int32_t(y));
  return std::max(span_cost(p, bitmap, int32_t(lo), int32_t(hi)), ROW_COST_MIN) *
         (bottom - top + 1);
}

// The whole clip rows top..bottom (inclusive, in this order): nothing when
// bottom lies above top, so a band that ends above the clip stays empty.
int64_t fill_band(const span_painter &p, udata *bitmap, const clip_box &c, int64_t top,
                  int64_t bottom) {
  if (bottom < top) return 0;
  return fill_rows(p, bitmap, c, c.left, top, c.right - 1, bottom);
}

// Rows y0..y1 (inclusive, in this order) except columns x0..x1 (x0 <= x1).
int64_t fill_beside(const span_painter &p, udata *bitmap, const clip_box &c, int64_t x0, int64_t x1,
                    int64_t y0, int64_t y1) {
  if (y1 < y0) return 0;
  int64_t cost = 0;
  if (x0 > c.left) cost += fill_rows(p, bitmap, c, c.left, y0, x0 - 1, y1);
  if (x1 < c.right - 1) cost += fill_rows(p, bitmap, c, x1 + 1, y0, c.right - 1, y1);
  return cost;
}

// Floor and ceiling of a / b for b > 0.
int64_t floor_div(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }
int64_t ceil_div(int64_t a, int64_t b) { return -floor_div(-a, b); }

// Narrows first..last to the steps i whose pixel coordinate
// (p0 + i * step) >> 16 lies in lo..hi - 1.
void clip_steps(int64_t p0, int64_t step, int64_t lo, int64_t hi, int64_t &first, int64_t &last) {
  int64_t min_p = lo * 65536, max_p = hi * 65536 - 1;
  if (step == 0) {
    if (p0 < min_p || p0 > max_p) last = first - 1;
  } else if (step > 0) {
    first = std::max(first, ceil_div(min_p - p0, step));
    last = std::min(last, floor_div(max_p - p0, step));
  } else {
    first = std::max(first, ceil_div(p0 - max_p, -step));
    last = std::min(last, floor_div(p0 - min_p, -step));
  }
}

}  // namespace

line_steps line_plan(const clip_box &c, int64_t x0, int64_t y0, int64_t x1, int64_t y1) {
  line_steps s{};
  bool swap = y1 < y0;
  int64_t sx = swap ? x1 : x0, ex = swap ? x0 : x1;
  int64_t ymin = std::min(y0, y1), ymax = std::max(y0, y1);
  int64_t dx = ex - sx, dy = ymax - ymin;
  s.n = std::max(dx < 0 ? -dx : dx, dy);
  s.swapped = swap;
  if (s.n > 0) {
    s.xstep = dx * 65536 / s.n;
    s.ystep = dy * 65536 / s.n;
  }
  s.x0 = sx * 65536 + 32768;
  s.y0 = ymin * 65536 + 32768;
  s.first = 0;
  s.last = s.n;
  if (ymax < c.top || ymin >= c.bottom || (sx < c.left && ex < c.left) ||
      (sx >= c.right && ex >= c.right) || c.left >= c.right || c.top >= c.bottom) {
    s.last = -1;
    return s;
  }
  clip_steps(s.y0, s.ystep, c.top, c.bottom, s.first, s.last);
  clip_steps(s.x0, s.xstep, c.left, c.right, s.first, s.last);
  return s;
}

int32_t draw_hline(udata *bitmap, int32_t x0, int32_t x1, int32_t y, int32_t colour) {
  if (!bitmap) return 0;
  return hline(make_painter(colour), bitmap, drawing_clip(bitmap), x0, x1, y);
}

int32_t draw_hline_inv(udata *bitmap, int32_t x0, int32_t x1, int32_t y, int32_t colour) {
  if (!bitmap) return 0;
  return hline_inv(make_painter(colour), bitmap, drawing_clip(bitmap), x0, x1, y);
}

int32_t rectfill(udata *bitmap, int32_t x0, int32_t y0, int32_t x1, int32_t y1, int32_t colour) {
  if (!bitmap) return 0;
  clip_box c = drawing_clip(bitmap);
  // Nothing in view: returned before the painter is built.
  if (std::max(y0, y1) < c.top || std::min(y0, y1) >= c.bottom || std::max(x0, x1) < c.left ||
      std::min(x0, x1) >= c.right)
    return 0;
  int64_t cost = fill_rows(make_painter(colour), bitmap, drawing_clip(bitmap), x0, y0, x1, y1);
  return int32_t(std::min<int64_t>(cost, INT32_MAX));
}

int64_t draw_rows(udata *bitmap, int32_t x0, int32_t x1, int64_t y0, int64_t y1, int32_t colour,
                  bool inverted) {
  if (!bitmap || y1 < y0) return 0;
  clip_box c = drawing_clip(bitmap);
  if (y1 < c.top || y0 >= c.bottom) return 0;
  span_painter p = make_painter(colour);
  if (!inverted) return fill_rows(p, bitmap, c, x0, y0, x1, y1);
  return fill_beside(p, bitmap, c, std::min(x0, x1), std::max(x0, x1), y0, y1);
}

namespace {

// The clip rows among y0..y1 (inclusive, in this order).
int64_t clip_rows_of(const clip_box &c, int64_t y0, int64_t y1) {
  return std::max<int64_t>(0,
                           std::min<int64_t>(y1, c.bottom - 1) - std::max<int64_t>(y0, c.top) + 1);
}

// The most a span of n pixels costs by the way, never less than a row's
// least cost.
int64_t span_cost_bound(uint8_t way, int64_t n) {
  int64_t cost = way == SPAN_COST_HALF             ? (n - 1) / 2 + 2
                 : way == SPAN_COST_THREE_QUARTERS ? 3 * (n - 1) / 4 + 2
                                                   : n / 2 + 3;
  return std::max<int64_t>(ROW_COST_MIN, cost);
}

// The most a row costs: its span within columns x0..x1 (in this order) of
// the clip, or with inverted the two spans beside it.
int64_t row_cost_bound(const clip_box &c, uint8_t way, int64_t x0, int64_t x1, bool inverted) {
  int64_t whole = std::max<int64_t>(0, int64_t(c.right) - c.left);
  if (inverted) return span_cost_bound(way, whole) + ROW_COST_MIN + 2;
  int64_t n = std::min<int64_t>(x1, c.right - 1) - std::max<int64_t>(x0, c.left) + 1;
  return span_cost_bound(way, std::max<int64_t>(n, 1));
}

}  // namespace

int64_t rows_cost_bound(const udata *bitmap, int64_t x0, int64_t x1, int64_t y0, int64_t y1,
                        bool inverted, int32_t colour) {
  if (!bitmap || !cproc) return 0;
  clip_box c = drawing_clip(bitmap);
  int64_t rows = clip_rows_of(c, y0, y1);
  if (rows == 0) return 0;
  uint8_t way = make_painter(colour, false).cost_way;
  return rows * row_cost_bound(c, way, std::min(x0, x1), std::max(x0, x1), inverted);
}

// The clipped rectangle of inclusive corners, as rows top..bottom - 1 and
// columns left..right - 1; empty when right <= left or bottom <= top.
static clip_box clip_rect(const udata *bitmap, int64_t x0, int64_t y0, int64_t x1, int64_t y1) {
  clip_box c = drawing_clip(bitmap);
  return {int32_t(std::max<int64_t>(std::min(x0, x1), c.left)),
          int32_t(std::min<int64_t>(std::max(x0, x1) + 1, c.right)),
          int32_t(std::max<int64_t>(std::min(y0, y1), c.top)),
          int32_t(std::min<int64_t>(std::max(y0, y1) + 1, c.bottom))};
}

int64_t rectfill_raw(udata *bitmap, int32_t x0, int32_t y0, int32_t x1, int32_t y1, uint8_t value) {
  clip_box r = clip_rect(bitmap, x0, y0, x1, y1);
  if (r.right <= r.left || r.bottom <= r.top) return 0;
  for (int32_t y = r.top; y < r.bottom; y++)
    std::memset(bitmap_row(bitmap, y) + r.left, value, size_t(r.right - r.left));
  return int64_t(r.right - r.left) * (r.bottom - r.top);
}

namespace {

// The steps first..last of a line, stepped in 16.16 from the first.
// Patterned: the pattern bit is read per pixel; otherwise every pixel takes
// the way of bit 0.
template <bool patterned>
void step_line(const span_painter &p, udata *bitmap, const line_steps &s) {
  // Values, not references: a byte stored may alias anything reached through
  // a pointer.
  uint8_t *const base = udata_elements(bitmap);
  const int64_t width = bitmap->width, xstep = s.xstep, ystep = s.ystep, count = s.last - s.first;
  int64_t xf = s.x0 + s.first * xstep, yf = s.y0 + s.first * ystep;
  if (!patterned && p.uniform[0]) {
    const uint8_t keep = p.keep, value = p.value[0];
    for (int64_t i = 0; i <= count; i++, xf += xstep, yf += ystep) {
      uint8_t *d = base + (yf >> 16) * width + (xf >> 16);
      *d = uint8_t((*d & keep) | value);
    }
    return;
  }
  for (int64_t i = 0; i <= count; i++, xf += xstep, yf += ystep) {
    int64_t x = xf >> 16, y = yf >> 16;
    paint_pixel(p, base + y * width + x, x, y);
  }
}

}  // namespace

int64_t draw_line(udata *bitmap, int32_t x0, int32_t y0, int32_t x1, int32_t y1, int32_t colour) {
  if (!bitmap) return 0;
  line_steps s = line_plan(drawing_clip(bitmap), x0, y0, x1, y1);
  if (s.last < s.first) return 0;
  span_painter p = make_painter(colour, false);
  if (p.ctx.plain_pattern)
    step_line<false>(p, bitmap, s);
  else
    step_line<true>(p, bitmap, s);
  return s.last - s.first + 1;
}

namespace {

// The incremental ellipse walk: visit(x, y, steps_y) at every position,
// before the step is taken. Its terms grow as r^3: radii from 2^20 up are
// walked in 128-bit arithmetic.
template <typename Int, typename Visit>
void walk_ellipse_in(Int a, Int b, Visit visit) {
  Int a2 = a * a, b2 = b * b;
  Int crit1 = -(a2 / 4 + a % 2 + b2), crit2 = -(b2 / 4 + b % 2 + a2), crit3 = -(b2 / 4 + b % 2);
  Int t = -a2 * b, dxt = 0, dyt = -2 * a2 * b, x = 0, y = b;
  Int b2x = 0, a2y = a2 * b;  // b2 * x and a2 * y, kept as x and y step
  while (y >= 0 && x <= a) {
    // The step is chosen before the visit, so the visit is one call site.
    bool step_x = true, step_y = true;
    if (t + b2x <= crit1 || t + a2y <= crit3)
      step_y = false;
    else if (t - a2y > crit2)
      step_x = false;
    visit(int64_t(x), int64_t(y), step_y);
    if (step_x) x++, b2x += b2, dxt += 2 * b2, t += dxt;
    if (step_y) y--, a2y -= a2, dyt += 2 * a2, t += dyt;
  }
}

// The walk of a circle of radius r (below 2^20) up to its diagonal: the
// positions with x <= y, in walk order. The whole walk of a circle visits
// (y, x) whenever it visits (x, y), so these and their mirrors are all of it.
template <typename Visit>
void walk_circle_octant(int64_t r, Visit visit) {
  int64_t a2 = r * r, crit1 = -(a2 / 4 + r % 2 + a2), crit3 = -(a2 / 4 + r % 2), crit2 = crit1;
  int64_t t = -a2 * r, dxt = 0, dyt = -2 * a2 * r, x = 0, y = r, b2x = 0, a2y = a2 * r;
  while (x <= y) {
    bool step_x = true, step_y = true;
    if (t + b2x <= crit1 || t + a2y <= crit3)
      step_y = false;
    else if (t - a2y > crit2)
      step_x = false;
    visit(x, y);
    if (step_x) x++, b2x += a2, dxt += 2 * a2, t += dxt;
    if (step_y) y--, a2y -= a2, dyt += 2 * a2, t += dyt;
  }
}

template <typename Visit>
void walk_ellipse(int64_t a, int64_t b, Visit visit) {
  constexpr int64_t exact_in_64 = int64_t(1) << 20;
  if (a < exact_in_64 && b < exact_in_64)
    walk_ellipse_in<int64_t>(a, b, visit);
  else
    walk_ellipse_in<__int128>(a, b, visit);
}

// Radii whose walk (a + b positions at most) is short enough to take whole;
// larger ellipses are walked by rows, only the rows that can be seen.
constexpr int64_t WALK_WHOLE_UP_TO = int64_t(1) << 16;

// The walk in closed form. With t(x, y) = b2 (x^2 + x) + a2 (y^2 - y) - a2 b^2
// the error term at any position, the walk steps x while x < xh(y), the
// least x for which neither x-step test holds; both tests only get harder as
// x grows or y grows, so xh never falls as y falls. Row y is therefore
// visited from row_start(y) to xh(y) (the last position stepping y), where
// row_start(b) = 0 and row_start(y) = xh(y + 1), plus 1 when the step that
// left row y + 1 was diagonal: that is when xh(y + 1) still passes the
// second x-step test on row y. Terms reach 2^126 for radii of 2^31.
struct ellipse_rows {
  __int128 a, b, a2, b2, crit1, crit3;

  ellipse_rows(int64_t ra, int64_t rb) : a(ra), b(rb), a2(a * a), b2(b * b) {
    crit1 = -(a2 / 4 + a % 2 + b2);
    crit3 = -(b2 / 4 + b % 2);
  }
  // The least x in 0..a + 1 at which b2 (x^2 + k x) + c > 0 (a + 1 when none
  // below it does); the left side grows with x.
  int64_t least_x(int k, __int128 c) const {
    int64_t lo = 0, hi = int64_t(a) + 1;
    while (lo < hi) {
      int64_t mid = lo + (hi - lo) / 2;
      __int128 x = mid;
      if (b2 * (x * x + k * x) + c > 0)
        hi = mid;
      else
        lo = mid + 1;
    }
    return lo;
  }
  // The least x failing the second x-step test (t + a2 y <= crit3) on row y.
  int64_t second_fails(int64_t y) const {
    __int128 Y = y;
    return least_x(1, a2 * Y * Y - a2 * b * b - crit3);
  }
  int64_t xh(int64_t y) const {
    __int128 Y = y;
    return std::max(least_x(2, a2 * (Y * Y - Y) - a2 * b * b - crit1), second_fails(y));
  }
  int64_t row_start(int64_t y) const {
    if (y >= b) return 0;
    int64_t prev = xh(y + 1);
    return prev + (prev < second_fails(y) ? 1 : 0);
  }
};

// A band of rows lo..hi of the walk (lo <= hi) that can be seen.
struct row_band {
  int64_t lo, hi;
};

// The incremental walk from position (x, y) down to row lo: run(y, x0, x1,
// exits) for each row, as walk_ellipse_in steps it. The error terms at
// (x, y) come in closed form; the steps then are additions only. Returns
// false when the walk ended (x past a) before it left row lo.
template <typename Int, typename Run>
bool step_ellipse_rows(int64_t ra, int64_t rb, int64_t x0, int64_t hi, int64_t lo, Run run) {
  const __int128 A = ra, B = rb, A2 = A * A, B2 = B * B, X = x0, Y = hi;
  const Int a = Int(ra), a2 = Int(A2), b2 = Int(B2);
  const Int crit1 = Int(-(A2 / 4 + A % 2 + B2)), crit2 = Int(-(B2 / 4 + B % 2 + A2));
  const Int crit3 = Int(-(B2 / 4 + B % 2));
  Int t = Int(B2 * (X * X + X) + A2 * (Y * Y - Y) - A2 * B * B);
  Int dxt = Int(2 * B2 * X), dyt = Int(-2 * A2 * Y), b2x = Int(B2 * X), a2y = Int(A2 * Y);
  Int x = Int(x0);
  for (int64_t y = hi; y >= lo; y--) {
    Int from = x;
    for (;;) {
      if (x > a) {
        if (from <= a) run(y, int64_t(from), int64_t(a), false);
        return false;
      }
      bool step_x = true, step_y = true;
      if (t + b2x <= crit1 || t + a2y <= crit3)
        step_y = false;
      else if (t - a2y > crit2)
        step_x = false;
      if (step_y) {
        run(y, int64_t(from), int64_t(x), true);
        if (step_x) x++, b2x += b2, dxt += 2 * b2, t += dxt;
        a2y -= a2, dyt += 2 * a2, t += dyt;
        break;
      }
      x++, b2x += b2, dxt += 2 * b2, t += dxt;
    }
  }
  return true;
}

// The walk by rows for radii beyond WALK_WHOLE_UP_TO: run(y, x0, x1, exits)
// for each row y in the bands (given from the highest down, not
// overlapping), with the positions x0..x1 the walk visits there; exits is
// true when the last of them steps y. Each band is entered in closed form
// and stepped from there. Returns the positions in the rows passed over,
// counted as the x steps plus the y steps across them (at least the true
// count: a diagonal step counts twice).
template <typename Run>
int64_t walk_ellipse_rows(int64_t a, int64_t b, const row_band *bands, int n_bands, Run run) {
  ellipse_rows e(a, b);
  int64_t skipped = 0, next = b;                  // the highest row not yet accounted for
  auto pass_over = [&](int64_t hi, int64_t lo) {  // rows hi down to lo
    if (hi < lo) return;
    int64_t x0 = e.row_start(hi), x1 = std::min<int64_t>(e.xh(lo), a);
    if (x0 <= a) skipped += std::max<int64_t>(x1 - x0, 0) + (hi - lo + 1);
  };
  // The walk's terms reach a^2 b^2 / 4 around the curve and twice a^2 b in
  // the steps: radii below 2^20 keep them within 64 bits.
  constexpr int64_t exact_in_64 = int64_t(1) << 20;
  const bool narrow = a < exact_in_64 && b < exact_in_64;
  for (int i = 0; i < n_bands; i++) {
    int64_t hi = std::min(bands[i].hi, next), lo = std::max<int64_t>(bands[i].lo, 0);
    if (hi < lo) continue;
    pass_over(next, hi + 1);
    int64_t x0 = e.row_start(hi);
    if (x0 > a) return skipped;  // the walk ended above this band
    bool going = narrow ? step_ellipse_rows<int64_t>(a, b, x0, hi, lo, run)
                        : step_ellipse_rows<__int128>(a, b, x0, hi, lo, run);
    if (!going) return skipped;
    next = lo - 1;
  }
  pass_over(next, 0);
  return skipped;
}

// The bands of walk rows y whose row cy - y or row low + y lies in the clip
// rows top..bottom - 1, highest first and merged where they meet.
int ellipse_bands(const clip_box &c, int64_t cy, int64_t low, row_band out[2]) {
  if (c.bottom <= c.top) return 0;
  row_band up{cy - (c.bottom - 1), cy - c.top}, down{c.top - low, c.bottom - 1 - low};
  if (up.hi < down.hi) std::swap(up, down);
  if (down.hi >= up.lo - 1) {
    out[0] = {std::min(up.lo, down.lo), up.hi};
    return 1;
  }
  out[0] = up, out[1] = down;
  return 2;
}

void plot(const span_painter &p, udata *bitmap, const clip_box &box, int64_t x, int64_t y) {
  if (x < box.left || x >= box.right || y < box.top || y >= box.bottom) return;
  paint_pixel(p, bitmap_row(bitmap, y) + x, x, y);
}

// The box of a shape from two corners: its centre, radii and odd parts.
struct oval_box {
  int64_t minx, maxx, miny, maxy, cx, cy, rx, ry, w, h;
};

oval_box make_box(int64_t x0, int64_t y0, int64_t x1, int64_t y1) {
  oval_box o;
  o.minx = std::min(x0, x1), o.maxx = std::max(x0, x1);
  o.miny = std::min(y0, y1), o.maxy = std::max(y0, y1);
  o.w = o.maxx - o.minx, o.h = o.maxy - o.miny;
  o.cx = (x0 + x1) >> 1, o.cy = (y0 + y1) >> 1;
  o.rx = o.w >> 1, o.ry = o.h >> 1;
  return o;
}

bool too_thin(const oval_box &o) { return o.h < 2 || o.w <= 1; }

// The thin box drawn as its rows; the inverted fill draws what lies around.
int64_t thin_box(udata *bitmap, const oval_box &o, int32_t colour, bool inverted) {
  span_painter p = make_painter(colour);
  clip_box c = drawing_clip(bitmap);
  if (!inverted) return fill_rows(p, bitmap, c, o.minx, o.miny, o.maxx, o.maxy);
  int64_t cost = fill_band(p, bitmap, c, c.top, o.miny - 1);
  cost += fill_band(p, bitmap, c, o.maxy + 1, c.bottom - 1);
  return cost + fill_beside(p, bitmap, c, o.minx, o.maxx, o.miny, o.maxy);
}

bool box_outside(const clip_box &c, const oval_box &o, int64_t ex, int64_t ey) {
  return o.minx >= c.right || o.maxx + ex < c.left || o.miny >= c.bottom || o.maxy + ey < c.top;
}

// True when the clip lies inside the filled shape: its 0.7 box covers the
// clip, and the quarters are not pushed apart vertically (the rows between
// them are the caller's) nor drawn into each other.
bool clip_inside(const clip_box &c, const oval_box &o, int64_t ex, int64_t ey) {
  return ex >= 0 && ey >= 0 && ey <= 1 && o.w > c.right - c.left && o.cx - o.rx * 7 / 10 < c.left &&
         o.cx + o.rx * 7 / 10 >= c.right && o.cy - o.ry * 7 / 10 < c.top &&
         o.cy + o.ry * 7 / 10 >= c.bottom;
}

int64_t outline(udata *bitmap, const oval_box &o, int64_t ex, int64_t ey, int32_t colour) {
  if (!bitmap || too_thin(o)) return bitmap ? thin_box(bitmap, o, colour, false) : 0;
  if (box_outside(drawing_clip(bitmap), o, ex, ey)) return 0;
  return draw_ellipse_1(bitmap, int32_t(o.cx), int32_t(o.cy), int32_t(o.rx), int32_t(o.ry),
                        int32_t(ex), int32_t(ey), colour);
}

int64_t filled(udata *bitmap, const oval_box &o, int64_t ex, int64_t ey, int32_t colour) {
  if (!bitmap || !cproc) return 0;
  bool inverted = cproc->inverted_shape != 0;
  if (too_thin(o)) return thin_box(bitmap, o, colour, inverted);
  clip_box c = drawing_clip(bitmap);
  if (clip_inside(c, o, ex, ey)) {
    if (inverted) return 0;
    return fill_rows(make_painter(colour), bitmap, c, c.left, c.top, c.right, c.bottom);
  }
  if (!inverted && box_outside(c, o, ex, ey)) return 0;
  return fill_ellipse_1(bitmap, int32_t(o.cx), int32_t(o.cy), int32_t(o.rx), int32_t(o.ry),
                        int32_t(ex), int32_t(ey), colour);
}

// An upper bound of what outline or filled returns for the box, found
// without drawing: every position of the whole walk at its dearest, and
// the spans of every visible row, no more in each half than the half
// ellipse holds (its rows' widths sum to at most pi / 4 of its box, plus a
// pixel or so a row).
int64_t shape_cost_bound(const udata *bitmap, const oval_box &o, int64_t ex, int64_t ey, bool fill,
                         int32_t colour) {
  if (!bitmap || !cproc) return 0;
  bool inverted = fill && cproc->inverted_shape != 0;
  clip_box c = drawing_clip(bitmap);
  // A row across the whole clip, and one across the shape (or beside it).
  uint8_t way = make_painter(colour, false).cost_way;
  int64_t whole = row_cost_bound(c, way, c.left, c.right - 1, false);
  int64_t row = row_cost_bound(c, way, o.minx, o.maxx + std::max<int64_t>(ex, 0), inverted);
  int64_t all_rows = clip_rows_of(c, c.top, c.bottom - 1), bands = inverted ? all_rows * whole : 0;
  if (too_thin(o)) return clip_rows_of(c, o.miny, o.maxy) * row + bands;
  if (fill && clip_inside(c, o, ex, ey)) return inverted ? 0 : all_rows * whole;
  if (!inverted && box_outside(c, o, ex, ey)) return 0;
  int64_t positions = o.rx + o.ry + 2;
  if (!fill) return 5 * positions;
  int64_t low = o.cy + ey;
  auto half = [&](int64_t top, int64_t bottom) -> int64_t {
    int64_t rows = clip_rows_of(c, top, bottom);
    if (inverted || rows == 0) return rows * row;
    double widths = 2.0 * double(o.rx) * (1.0 + 0.7854 * double(o.ry)) +
                    double(o.ry + 1) * double(std::max<int64_t>(ex, 0) + 3);
    double spans = (way == SPAN_COST_HALF ? 0.5 : 0.75) * widths + 4.0 * double(o.ry + 1);
    if (spans >= 1e18) return rows * row;
    return std::min(rows * row, int64_t(spans) + row);
  };
  return 8 * positions + half(o.cy - o.ry, o.cy) + half(low, low + o.ry) + bands;
}

}  // namespace

int64_t oval_cost_bound(const udata *bitmap, int32_t x0, int32_t y0, int32_t x1, int32_t y1,
                        bool fill, int32_t colour) {
  oval_box o = make_box(x0, y0, x1, y1);
  return shape_cost_bound(bitmap, o, o.w & 1, o.h & 1, fill, colour);
}

int64_t rrect_cost_bound(const udata *bitmap, int32_t x0, int32_t y0, int32_t x1, int32_t y1,
                         int32_t ex, int32_t ey, bool fill, int32_t colour) {
  return shape_cost_bound(bitmap, make_box(x0, y0, x1, y1), ex, ey, fill, colour);
}

namespace {

// The four quarters of an outline about (cx, cy), the right ones moved to
// right - cx and the lower ones to low - cy. A quarter moved by zero or less
// shares its edge with its neighbour, which is then put once.
struct quarters {
  int64_t cx, cy, right, low, nex, ney;  // nex, ney: -ex, -ey

  // The charge of a walk position by the points it puts: whether it lies
  // past the left quarters' edge (side) and above the lower ones' (apart).
  static int64_t charge_of(bool side, bool apart) { return apart ? (side ? 5 : 3) : 2 + side; }
  int64_t charge(int64_t x, int64_t y) const { return charge_of(x > nex, y > ney); }
  // The points of walk position (x, y): put(px, py) for each; returns its
  // charge.
  template <typename Put>
  int64_t mirror(int64_t x, int64_t y, Put put) const {
    bool side = x > nex, apart = y > ney;
    put(right + x, low + y);
    if (side && apart) put(cx - x, cy - y);
    if (apart) put(right + x, cy - y);
    if (side) put(cx - x, low + y);
    return charge_of(side, apart);
  }
};

// The outline walk: mirror(x, y, put) and its charge for every position of
// the ellipse of radii rx, ry. Walked whole up to WALK_WHOLE_UP_TO (a circle
// by its octant when any_order allows the points in any order); beyond, by
// the rows that can be seen, with only the positions whose points can fall
// in the clip columns put, every position charged as the whole walk would
// charge it. Returns the charge.
template <typename Put>
int64_t walk_outline(const quarters q, int64_t rx, int64_t ry, const clip_box box, bool any_order,
                     Put put) {
  int64_t cost = 0;
  auto position = [&](int64_t x, int64_t y) { cost += q.mirror(x, y, put); };
  if (rx + ry <= WALK_WHOLE_UP_TO) {
    if (any_order && rx == ry) {
      walk_circle_octant(rx, [&](int64_t x, int64_t y) {
        position(x, y);
        if (x != y) position(y, x);
      });
    } else {
      walk_ellipse(rx, ry, [&](int64_t x, int64_t y, bool) { position(x, y); });
    }
    return cost;
  }
  row_band bands[2];
  int n = ellipse_bands(box, q.cy, q.low, bands);
  row_band cols[2] = {{box.left - q.right, box.right - 1 - q.right},
                      {q.cx - box.right + 1, q.cx - box.left}};
  if (cols[1].lo < cols[0].lo) std::swap(cols[0], cols[1]);
  int64_t skipped =
      walk_ellipse_rows(rx, ry, bands, n, [&](int64_t y, int64_t x0, int64_t x1, bool) {
        int64_t from = x0;
        for (const row_band &w : cols)
          for (int64_t x = std::max(from, w.lo); x <= std::min(x1, w.hi); x++)
            q.mirror(x, y, put), from = x + 1;
        for (int64_t x = x0; x <= x1; x++) cost += q.charge(x, y);
      });
  return cost + 5 * skipped;
}

}  // namespace

int64_t draw_ellipse_1(udata *bitmap, int32_t cx, int32_t cy, int32_t rx, int32_t ry, int32_t ex,
                       int32_t ey, int32_t colour) {
  if (!bitmap || rx < 0 || ry < 0) return 0;
  span_painter p = make_painter(colour, false);
  clip_box box = drawing_clip(bitmap);
  const quarters q{cx, cy, int64_t(cx) + ex, int64_t(cy) + ey, -int64_t(ex), -int64_t(ey)};
  // Values, not references: a byte stored may alias anything reached
  // through a pointer.
  uint8_t *const base = udata_elements(bitmap);
  const int64_t width = bitmap->width;
  const span_painter *pp = &p;
  bool inside = int64_t(rx) + ry <= WALK_WHOLE_UP_TO &&
                std::min<int64_t>(int64_t(cx) - rx, q.right) >= box.left &&
                std::max<int64_t>(q.right + rx, cx) < box.right &&
                std::min<int64_t>(int64_t(cy) - ry, q.low) >= box.top &&
                std::max<int64_t>(q.low + ry, cy) < box.bottom;
  if (!inside)
    return walk_outline(q, rx, ry, box, false,
                        [&](int64_t x, int64_t y) { plot(p, bitmap, box, x, y); });
  // Wholly inside the clip: no point needs its own test.
  if (p.ctx.plain_pattern && p.uniform[0]) {
    // A masked write gives the same bytes however often and in whatever
    // order it is made.
    const uint8_t keep = p.keep, value = p.value[0];
    return walk_outline(q, rx, ry, box, true, [=](int64_t x, int64_t y) {
      uint8_t *d = base + y * width + x;
      *d = uint8_t((*d & keep) | value);
    });
  }
  return walk_outline(q, rx, ry, box, false,
                      [=](int64_t x, int64_t y) { paint_pixel(*pp, base + y * width + x, x, y); });
}

namespace {

// One y step of a filled ellipse walk: the half-width x and the row offset y.
struct walk_span {
  int32_t x, y;
};

// The spans of collected walk steps, in walk order: rows cy - y and (when
// y > -ey) low + y, from cx - x to right + x. fill(row, n, xs, y) paints n
// pixels from row xs of row y. Returns their cost.
template <typename Fill>
inline int64_t paint_walk_spans(const span_painter &p, udata *bitmap, const clip_box &clip,
                                const walk_span *steps, int64_t n, int64_t cx, int64_t right,
                                int64_t cy, int64_t low, int64_t ey, Fill fill) {
  int64_t cost = 0;
  // Values, not references: the bytes stored may alias anything reached
  // through one.
  uint8_t *const base = udata_elements(bitmap);
  const uint32_t width = bitmap->width;
  const clip_box c = clip;
  const uint8_t way = p.cost_way;
  // Both rows of a step are the same span: clipped and costed once.
  for (int64_t i = 0; i < n; i++) {
    int64_t x = steps[i].x, y = steps[i].y;
    int64_t xs = std::max<int64_t>(cx - x, c.left), xe = std::min<int64_t>(right + x, c.right - 1);
    if (xe < xs) continue;
    int64_t rows = 0, up = cy - y, down = low + y;
    if (up >= c.top && up < c.bottom) fill(base + up * width + xs, xe - xs + 1, xs, up), rows++;
    if (y > -ey && down >= c.top && down < c.bottom)
      fill(base + down * width + xs, xe - xs + 1, xs, down), rows++;
    cost += rows * span_cost_by(way, width, int32_t(xs), int32_t(xe));
  }
  return cost;
}

// The masked fill of a span: keep and the pattern rows' fills as values.
struct masked_rows {
  uint8_t keep;
  uint64_t fill[8];
  explicit masked_rows(const span_painter &p) : keep(p.keep) {
    std::copy(p.row_fill, p.row_fill + 8, fill);
  }
};

inline auto masked_span(const span_painter &p) {
  return [m = masked_rows(p)](uint8_t *row, int64_t n, int64_t xs, int64_t y) {
    masked_fill_row(row, n, m.keep, turn_fill(m.fill[y & 7], xs));
  };
}

#if KVD_SPAN_AVX2
__attribute__((target("avx2"), flatten)) int64_t paint_walk_spans_avx2(
    const span_painter &p, udata *bitmap, const clip_box &c, const walk_span *steps, int64_t n,
    int64_t cx, int64_t right, int64_t cy, int64_t low, int64_t ey) {
  return paint_walk_spans(
      p, bitmap, c, steps, n, cx, right, cy, low, ey,
      [m = masked_rows(p)](uint8_t * row, int64_t len, int64_t xs, int64_t y)
          __attribute__((target("avx2"))) {
            masked_fill_row_avx2(row, len, m.keep, turn_fill(m.fill[y & 7], xs));
          });
}
#endif

#if KVD_SPAN_AVX2
// Spans of one masked write with no pattern: (byte & keep) | value, the
// same for every byte of every row. Writing a byte twice gives the same
// byte, so each span is covered by whole vectors, the last ones overlapping.
struct plain_write {
  __m256i k32, v32;
  uint8_t keep, value;
};

__attribute__((target("avx2"))) inline plain_write plain_write_of(const span_painter &p) {
  return {_mm256_set1_epi8(char(p.keep)), _mm256_set1_epi8(char(p.value[0])), p.keep, p.value[0]};
}

__attribute__((target("avx2"))) inline void plain_fill_avx2(const plain_write &w, uint8_t *row,
                                                            int64_t len) {
  auto at32 = [&](uint8_t * q) __attribute__((target("avx2"))) {
    __m256i *a = reinterpret_cast<__m256i *>(q);
    _mm256_storeu_si256(a, _mm256_or_si256(_mm256_and_si256(_mm256_loadu_si256(a), w.k32), w.v32));
  };
  auto at16 = [&](uint8_t * q) __attribute__((target("avx2"))) {
    __m128i *a = reinterpret_cast<__m128i *>(q);
    _mm_storeu_si128(a,
                     _mm_or_si128(_mm_and_si128(_mm_loadu_si128(a), _mm256_castsi256_si128(w.k32)),
                                  _mm256_castsi256_si128(w.v32)));
  };
  if (len >= 32) {
    for (int64_t i = 0; i < len - 32; i += 32) at32(row + i);
    at32(row + len - 32);
  } else if (len >= 16) {
    at16(row), at16(row + len - 16);
  } else if (len >= 8) {
    const uint64_t k8 = 0x0101010101010101ull * w.keep, v8 = 0x0101010101010101ull * w.value;
    masked_fill_word(row, k8, v8), masked_fill_word(row + len - 8, k8, v8);
  } else {
    for (int64_t i = 0; i < len; i++) row[i] = uint8_t((row[i] & w.keep) | w.value);
  }
}

__attribute__((target("avx2"), flatten)) int64_t paint_walk_spans_plain_avx2(
    const span_painter &p, udata *bitmap, const clip_box &c, const walk_span *steps, int64_t n,
    int64_t cx, int64_t right, int64_t cy, int64_t low, int64_t ey) {
  const plain_write w = plain_write_of(p);
  auto fill = [w](uint8_t * row, int64_t len, int64_t, int64_t) __attribute__((target("avx2"))) {
    plain_fill_avx2(w, row, len);
  };
  return paint_walk_spans(p, bitmap, c, steps, n, cx, right, cy, low, ey, fill);
}

// The same for an ellipse whose every span lies inside the clip: no span is
// cut, so each is filled and costed as it stands.
__attribute__((target("avx2"))) int64_t paint_inside_spans_plain_avx2(
    const span_painter &p, udata *bitmap, const walk_span *steps, int64_t n, int64_t cx,
    int64_t right, int64_t cy, int64_t low, int64_t ey) {
  const plain_write w = plain_write_of(p);
  const uint8_t way = p.cost_way;
  uint8_t *const base = udata_elements(bitmap);
  const uint32_t width = bitmap->width;
  int64_t cost = 0;
  for (int64_t i = 0; i < n; i++) {
    const int64_t x = steps[i].x, y = steps[i].y, xs = cx - x, len = right + x - xs + 1;
    if (len <= 0) continue;
    const int32_t span = span_cost_by(way, width, int32_t(xs), int32_t(xs + len - 1));
    plain_fill_avx2(w, base + (cy - y) * width + xs, len);
    cost += span;
    if (y > -ey) plain_fill_avx2(w, base + (low + y) * width + xs, len), cost += span;
  }
  return cost;
}
#endif

// The y steps of the whole walk of a circle of radius r (1 up to 1023)
// into steps, in walk order, from its octant; returns their count and sets
// positions to the positions walked. The walk visits every row from r down
// to 0, and leaves each row from its last position (row 0 too: the walk ends
// there by a y step), so the steps are the rows' widest positions. The walk
// visits (y, x) whenever it visits (x, y): a row's widest position is the
// widest octant position on it or the mirror of the highest on its column.
int64_t collect_circle_steps(int64_t r, walk_span *steps, int64_t &positions) {
  int32_t widest[1024];
  std::fill(widest, widest + r + 1, -1);
  int64_t octant = 0, diagonal = 0;
  walk_circle_octant(r, [&](int64_t x, int64_t y) {
    octant++, diagonal += x == y;
    widest[y] = std::max<int32_t>(widest[y], int32_t(x));
    widest[x] = std::max<int32_t>(widest[x], int32_t(y));
  });
  positions = 2 * octant - diagonal;
  for (int64_t y = r; y >= 0; y--) steps[r - y] = {widest[y], int32_t(y)};
  return r + 1;
}

// The whole walk of a filled ellipse whose y steps fit `limit` entries,
// painted after the walk: the steps are collected, then their spans painted
// in the same order by the painter's way. Returns -1 when they do not fit.
int64_t fill_ellipse_collected(const span_painter &p, udata *bitmap, const clip_box &c, int32_t cx,
                               int32_t cy, int32_t rx, int32_t ry, int32_t ex, int32_t ey) {
  constexpr int64_t limit = 1024;
  if (ry >= limit) return -1;
  walk_span steps[limit];
  int64_t positions = 0, n = 0;
  if (rx == ry && rx > 0)
    n = collect_circle_steps(rx, steps, positions);
  else
    walk_ellipse(rx, ry, [&](int64_t x, int64_t y, bool steps_y) {
      positions++;
      if (steps_y) steps[n++] = {int32_t(x), int32_t(y)};
    });
  int64_t right = int64_t(cx) + ex, low = int64_t(cy) + ey, cost = 8 * positions;
  bool all_uniform = std::all_of(p.row_uniform, p.row_uniform + 8, [](bool u) { return u; });
  bool any_solid = std::any_of(p.row_solid, p.row_solid + 8, [](bool u) { return u; });
  if (all_uniform && !any_solid) {
#if KVD_SPAN_AVX2
    // Spans run from cx - x to right + x on rows cy - y and low + y.
    bool inside = std::min<int64_t>(int64_t(cx) - rx, right) >= c.left &&
                  std::max<int64_t>(cx, right + rx) < c.right &&
                  std::min<int64_t>(int64_t(cy) - ry, low) >= c.top &&
                  std::max<int64_t>(cy, low + ry) < c.bottom;
    if (have_avx2 && p.ctx.plain_pattern && p.uniform[0] && inside)
      return cost + paint_inside_spans_plain_avx2(p, bitmap, steps, n, cx, right, cy, low, ey);
    if (have_avx2 && p.ctx.plain_pattern && p.uniform[0])
      return cost + paint_walk_spans_plain_avx2(p, bitmap, c, steps, n, cx, right, cy, low, ey);
    if (have_avx2)
      return cost + paint_walk_spans_avx2(p, bitmap, c, steps, n, cx, right, cy, low, ey);
#endif
    return cost + paint_walk_spans(p, bitmap, c, steps, n, cx, right, cy, low, ey, masked_span(p));
  }
  return cost +
         paint_walk_spans(p, bitmap, c, steps, n, cx, right, cy, low, ey,
                          [&](uint8_t *, int64_t len, int64_t xs, int64_t y) {
                            paint_span(p, bitmap, int32_t(xs), int32_t(xs + len - 1), int32_t(y));
                          });
}

// The spans of a filled ellipse walk (or, inverted, what lies beside them).
template <bool inverted>
int64_t fill_ellipse_spans(const span_painter &p, udata *bitmap, const clip_box &c, int32_t cx,
                           int32_t cy, int32_t rx, int32_t ry, int32_t ex, int32_t ey) {
  int64_t cost = 0, right = int64_t(cx) + ex, low = int64_t(cy) + ey;
  auto spans = [&](int64_t x, int64_t y) {
    auto span = [&](int64_t row) {
      return inverted ? hline_inv(p, bitmap, c, cx - x, right + x, row)
                      : hline(p, bitmap, c, cx - x, right + x, row);
    };
    cost += span(cy - y);
    if (y > -ey) cost += span(low + y);
  };
  if (int64_t(rx) + ry <= WALK_WHOLE_UP_TO) {
    walk_ellipse(rx, ry, [&](int64_t x, int64_t y, bool steps_y) {
      cost += 8;
      if (steps_y) spans(x, y);
    });
  } else {
    // By rows: only the rows that can be seen are spanned; every position is
    // charged as the whole walk would charge it.
    row_band bands[2];
    int n = ellipse_bands(c, cy, low, bands);
    int64_t skipped =
        walk_ellipse_rows(rx, ry, bands, n, [&](int64_t y, int64_t x0, int64_t x1, bool exits) {
          cost += 8 * (x1 - x0 + 1);
          if (exits) spans(x1, y);
        });
    cost += 8 * skipped;
  }
  return cost;
}

}  // namespace

int64_t fill_ellipse_1(udata *bitmap, int32_t cx, int32_t cy, int32_t rx, int32_t ry, int32_t ex,
                       int32_t ey, int32_t colour) {
  if (!bitmap || !cproc) return 0;
  bool inverted = cproc->inverted_shape != 0;
  span_painter p = make_painter(colour);
  clip_box c = drawing_clip(bitmap);
  int64_t cost = 0, low = int64_t(cy) + ey;
  if (rx >= 0 && ry >= 0) {
    cost = -1;
    if (!inverted && int64_t(rx) + ry <= WALK_WHOLE_UP_TO)
      cost = fill_ellipse_collected(p, bitmap, c, cx, cy, rx, ry, ex, ey);
    if (cost < 0)
      cost = inverted ? fill_ellipse_spans<true>(p, bitmap, c, cx, cy, rx, ry, ex, ey)
                      : fill_ellipse_spans<false>(p, bitmap, c, cx, cy, rx, ry, ex, ey);
  }
  if (inverted) {
    cost += fill_band(p, bitmap, c, c.top, int64_t(cy) - ry - 1);
    cost += fill_band(p, bitmap, c, low + ry + 1, c.bottom - 1);
  }
  return cost;
}

int64_t draw_oval(udata *bitmap, int32_t x0, int32_t y0, int32_t x1, int32_t y1, int32_t colour) {
  oval_box o = make_box(x0, y0, x1, y1);
  return outline(bitmap, o, o.w & 1, o.h & 1, colour);
}

int64_t draw_filloval(udata *bitmap, int32_t x0, int32_t y0, int32_t x1, int32_t y1,
                      int32_t colour) {
  oval_box o = make_box(x0, y0, x1, y1);
  return filled(bitmap, o, o.w & 1, o.h & 1, colour);
}

int64_t draw_rrect(udata *bitmap, int32_t x0, int32_t y0, int32_t x1, int32_t y1, int32_t ex,
                   int32_t ey, int32_t colour) {
  return outline(bitmap, make_box(x0, y0, x1, y1), ex, ey, colour);
}

int64_t draw_rrectfill(udata *bitmap, int32_t x0, int32_t y0, int32_t x1, int32_t y1, int32_t ex,
                       int32_t ey, int32_t colour) {
  return filled(bitmap, make_box(x0, y0, x1, y1), ex, ey, colour);
}

void alpha_bits_memcpy(uint8_t *dst, const uint8_t *src, int64_t n, uint8_t mask) {
  int64_t i = 0;
#if defined(__SSE2__)
  const __m128i m = _mm_set1_epi8(char(mask)), zero = _mm_setzero_si128();
  for (; i + 16 <= n; i += 16) {
    __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
    __m128i clear = _mm_cmpeq_epi8(_mm_and_si128(s, m), zero);  // bytes that stay
    if (_mm_movemask_epi8(clear) == 0xFFFF) continue;
    __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i *>(dst + i));
    d = _mm_or_si128(_mm_and_si128(clear, d), _mm_andnot_si128(clear, s));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), d);
  }
#endif
  for (; i < n; i++)
    if (src[i] & mask) dst[i] = src[i];
}
