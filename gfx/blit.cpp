// Bitmap blits, sprites and scaled sprite lines.
#include "gfx/blit.h"

#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "userdata/udata.h"
#include "gfx/pixel.h"
#include "gfx/shapes.h"

namespace {

bool is_bitmap(const udata *b) { return b && (b->utype & 31) == UTYPE_U8; }

bool lookup_only(const draw_ctx &c) {
  return c.read == 0x3F && c.target == 0x3F && c.plain_pattern;
}

// A row on the lookup-only path while table 0 holds its default: source
// colour 0 keeps the old pixel's low bits, colour s writes 0xC0 | s.
void sprite_row_default(uint8_t *dst, const uint8_t *src, int64_t n, uint8_t wm) {
  int64_t i = 0;
#if defined(__SSE2__)
  const __m128i low = _mm_set1_epi8(63), high = _mm_set1_epi8(char(0xC0)),
                write = _mm_set1_epi8(char(wm)), zero = _mm_setzero_si128();
  for (; i + 16 <= n; i += 16) {
    __m128i s = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i)), low);
    __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i *>(dst + i));
    __m128i keep = _mm_cmpeq_epi8(s, zero);
    __m128i out = _mm_or_si128(_mm_and_si128(keep, _mm_and_si128(d, low)),
                               _mm_andnot_si128(keep, _mm_or_si128(s, high)));
    d = _mm_xor_si128(d, _mm_and_si128(_mm_xor_si128(out, d), write));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), d);
  }
#endif
  for (; i < n; i++) {
    uint8_t s = src[i] & 63, d = dst[i];
    uint8_t out = s ? uint8_t(0xC0 | s) : uint8_t(d & 63);
    dst[i] = uint8_t(((out ^ d) & wm) ^ d);
  }
}

}  // namespace

// The rectangles of a blit cut to src and to the clip of dst; false when
// nothing is copied.
static bool blit_rects(const udata *src, const udata *dst, int64_t &sx, int64_t &sy, int64_t &dx,
                       int64_t &dy, int64_t &w, int64_t &h) {
  if (!src || !dst || (src->utype & 31) != (dst->utype & 31) || w < 1 || h < 1) return false;
  clip_box c = drawing_clip(dst);
  if (dx < c.left) sx += c.left - dx, w -= c.left - dx, dx = c.left;
  if (dy < c.top) sy += c.top - dy, h -= c.top - dy, dy = c.top;
  w = std::min(w, c.right - dx);
  h = std::min(h, c.bottom - dy);
  if (sx < 0) w += sx, dx -= sx, sx = 0;
  if (sy < 0) h += sy, dy -= sy, sy = 0;
  w = std::min(w, int64_t(src->width) - sx);
  h = std::min(h, int64_t(src->height) - sy);
  return w >= 1 && h >= 1;
}

static int64_t blit_cost(const udata *src, const udata *dst, int64_t sy, int64_t dy, int64_t w,
                         int64_t h) {
  return src == dst && dy == sy ? h * (4 * w + 256) : h * (w + 64);
}

int64_t blit_cost_bound(const udata *src, const udata *dst, int32_t sx_in, int32_t sy_in,
                        int32_t dx_in, int32_t dy_in, int32_t w_in, int32_t h_in) {
  int64_t sx = sx_in, sy = sy_in, dx = dx_in, dy = dy_in, w = w_in, h = h_in;
  if (!blit_rects(src, dst, sx, sy, dx, dy, w, h)) return 0;
  return blit_cost(src, dst, sy, dy, w, h);
}

int64_t blit(udata *src, udata *dst, int32_t sx_in, int32_t sy_in, int32_t dx_in, int32_t dy_in,
             int32_t w_in, int32_t h_in) {
  int64_t sx = sx_in, sy = sy_in, dx = dx_in, dy = dy_in, w = w_in, h = h_in;
  if (!blit_rects(src, dst, sx, sy, dx, dy, w, h)) return 0;
  uint32_t es = utype_size(dst->utype & 31);
  uint64_t src_stride = uint64_t(src->width) * es, dst_stride = uint64_t(dst->width) * es;
  const uint8_t *from = udata_elements(src) + uint64_t(sy) * src_stride + uint64_t(sx) * es;
  uint8_t *to = udata_elements(dst) + uint64_t(dy) * dst_stride + uint64_t(dx) * es;
  size_t bytes = size_t(w) * es;
  if (src == dst && dy > sy) {
    for (int64_t r = h - 1; r >= 0; r--)
      std::memmove(to + r * dst_stride, from + r * src_stride, bytes);
  } else {
    for (int64_t r = 0; r < h; r++) std::memmove(to + r * dst_stride, from + r * src_stride, bytes);
  }
  return blit_cost(src, dst, sy, dy, w, h);
}

// The clipping shared by the sprite drawers, on 64-bit values: the source
// rectangle cut to src, the destination to the clip of dst, each moving the
// other; false when nothing is visible.
static bool clip_rects(const udata *src, const udata *dst, int64_t &sx, int64_t &sy, int64_t &dx,
                       int64_t &dy, int64_t &w, int64_t &h) {
  clip_box c = drawing_clip(dst);
  if (!src || sx >= src->width || sy >= src->height || dx >= c.right || dy >= c.bottom)
    return false;
  if (sx < 0) w += sx, dx -= sx, sx = 0;
  if (sy < 0) h += sy, dy -= sy, sy = 0;
  w = std::min(w, int64_t(src->width) - sx);
  h = std::min(h, int64_t(src->height) - sy);
  if (dx < c.left) w -= c.left - dx, sx += c.left - dx, dx = c.left;
  if (dy < c.top) h -= c.top - dy, sy += c.top - dy, dy = c.top;
  w = std::min(w, c.right - dx);
  h = std::min(h, c.bottom - dy);
  return w >= 1 && h >= 1;
}

// The cost of w x h pixels drawn by draw_spr: each row is charged one unit
// more than its pixels, so a tall sprite of one-pixel rows pays for its rows.
static int64_t spr_cost(bool fast, int64_t w, int64_t h) { return (fast ? w * h / 2 : w * h) + h; }

int64_t draw_spr_bound(const udata *src, const udata *dst, int32_t sx_in, int32_t sy_in,
                       int32_t dx_in, int32_t dy_in, int32_t w_in, int32_t h_in) {
  if (!is_bitmap(src) || !is_bitmap(dst)) return 0;
  int64_t sx = sx_in, sy = sy_in, dx = dx_in, dy = dy_in, w = w_in, h = h_in;
  if (!clip_rects(src, dst, sx, sy, dx, dy, w, h)) return 0;
  return spr_cost(lookup_only(draw_ctx_sprite()), w, h);
}

int64_t draw_spr(udata *src, udata *dst, int32_t sx_in, int32_t sy_in, int32_t dx_in, int32_t dy_in,
                 int32_t w_in, int32_t h_in, bool flip_x, bool flip_y) {
  if (!is_bitmap(src) || !is_bitmap(dst)) return 0;
  draw_ctx c = draw_ctx_sprite();
  int64_t sx = sx_in, sy = sy_in, dx = dx_in, dy = dy_in, w = w_in, h = h_in;
  if (!clip_rects(src, dst, sx, sy, dx, dy, w, h)) return 0;
  bool fast = lookup_only(c);
  int64_t sw = src->width, sh = src->height;
  for (int64_t r = 0; r < h; r++) {
    // Row sy + r of the mirrored sprite, read from the sprite itself.
    int64_t y = flip_y ? sh - 1 - (sy + r) : sy + r;
    const uint8_t *from = bitmap_row(src, y);
    uint8_t *to = bitmap_row(dst, dy + r) + dx;
    if (fast && c.default_coltab0 && !flip_x) {
      sprite_row_default(to, from + sx, w, uint8_t(c.write));
      continue;
    }
    for (int64_t i = 0; i < w; i++) {
      uint8_t s = from[flip_x ? sw - 1 - (sx + i) : sx + i];
      to[i] =
          fast ? lookup_pixel_value(c, s, to[i])
               : texture_pixel_value(c, s, pattern_bit(c, int32_t(dx + i), int32_t(dy + r)), to[i]);
    }
  }
  return spr_cost(fast, w, h);
}

int64_t tline_sspr_cost_bound(int64_t pixels) {
  return lookup_only(draw_ctx_sprite()) ? pixels / 2 : pixels;
}

int64_t draw_tline_sspr(udata *src, udata *dst, int32_t x0, int32_t y0, int32_t x1, int32_t y1,
                        double u0, double v0, double u1, double v1) {
  draw_ctx c = draw_ctx_sprite();
  if (!is_bitmap(src) || !is_bitmap(dst)) return 0;
  line_steps s = line_plan(drawing_clip(dst), x0, y0, x1, y1);
  if (s.last < s.first) return 0;
  if (s.swapped) std::swap(u0, u1), std::swap(v0, v1);
  double du = s.n ? (u1 - u0) / double(s.n) : 0, dv = s.n ? (v1 - v0) / double(s.n) : 0;
  // Positions from the line's start, so a clipped line reads what the whole
  // line reads at the same pixels.
  int64_t ustep = fixed16_saturate(du), vstep = fixed16_saturate(dv);
  int64_t u = fixed16_saturate(u0) + s.first * ustep, v = fixed16_saturate(v0) + s.first * vstep;
  bool fast = lookup_only(c);
  for (int64_t i = s.first; i <= s.last; i++, u += ustep, v += vstep) {
    int32_t x = int32_t((s.x0 + i * s.xstep) >> 16), y = int32_t((s.y0 + i * s.ystep) >> 16);
    int64_t tu = u >> 16, tv = v >> 16;
    uint8_t texel =
        tu >= 0 && tv >= 0 && tu < src->width && tv < src->height ? bitmap_row(src, tv)[tu] : 0;
    uint8_t *d = bitmap_row(dst, y) + x;
    *d = fast ? lookup_pixel_value(c, texel, *d)
              : texture_pixel_value(c, texel, pattern_bit(c, x, y), *d);
  }
  int64_t steps = s.last - s.first + 1;
  return fast ? steps / 2 : steps;
}
