// Perspective textured lines.
#include "gfx/tline.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "machine/memory.h"
#include "machine/process.h"
#include "userdata/udata.h"
#include "gfx/pixel.h"
#include "gfx/shapes.h"

namespace {

// What the line reads of the draw state and the source.
struct texture {
  const udata *src;
  bool map;
  int32_t wrap_x, wrap_y, offset_x, offset_y;  // wrap masks and offsets
  int64_t tile_w, tile_h;
};

// The cell or texel address of an integer texture position.
inline uint32_t texel_x(const texture &t, int64_t iu) {
  return uint32_t(((int32_t(iu) & t.wrap_x) + t.offset_x)) & (t.src->width - 1);
}
inline uint32_t texel_y(const texture &t, int64_t iv) {
  return uint32_t(((int32_t(iv) & t.wrap_y) + t.offset_y)) & (t.src->height - 1);
}

// The map's pixel at 16.16 texture position (uf, vf); present is false for a
// cell without a u8 sprite (the pixel is then 0).
uint8_t map_pixel(const texture &t, int64_t uf, int64_t vf, bool &present) {
  int64_t cx = texel_x(t, int32_t(uint32_t(uf)) >> 16),
          cy = texel_y(t, int32_t(uint32_t(vf)) >> 16);
  uint16_t cell = reinterpret_cast<const uint16_t *>(udata_elements(t.src))[cy * t.src->width + cx];
  const udata *sprite = cproc->sprites[cell & GFX_MAP_SPRITE_MASK];
  present = sprite && (sprite->utype & 31) == UTYPE_U8;
  if (!present) return 0;
  int64_t px = (t.tile_w * uf) >> 16, py = (t.tile_h * vf) >> 16;
  if (cell & GFX_MAP_FLIP_X) px = ~px;
  if (cell & GFX_MAP_FLIP_Y) py = ~py;
  px &= t.tile_w - 1, py &= t.tile_h - 1;
  if (px >= sprite->width || py >= sprite->height) return 0;
  return udata_elements(sprite)[py * sprite->width + px];
}

// What the fast case writes over an old pixel by the texel's low six bits
// (the row of table 0): (old & keep) | value. Row 0 of the default table
// gives the old pixel's own colour back and every other row one colour, so
// there every row has this form, read off two old pixels (0 and 0xFF).
// Both are kept for all 256 texels (four copies of the 64 rows).
struct texel_writes {
  uint8_t keep[256], value[256];
};

texel_writes default_table_writes(const draw_ctx &c) {
  texel_writes w;
  for (uint32_t s = 0; s < 64; s++) {
    uint8_t none = lookup_pixel_value(c, uint8_t(s), 0);
    w.value[s] = none;
    w.keep[s] = uint8_t(lookup_pixel_value(c, uint8_t(s), 0xFF) & ~none);
  }
  for (uint32_t copy = 64; copy < 256; copy += 64) {
    std::memcpy(w.keep + copy, w.keep, 64);
    std::memcpy(w.value + copy, w.value, 64);
  }
  return w;
}

// The fast case by the span method: texels of a u8 source through table 0,
// spans of 8 steps from the line's start, exact at both ends with linear
// 16.16 steps between, the pixel position stepped in 16.16. The exact
// positions at the span ends are found a batch of spans ahead, so that their
// divisions overlap one another rather than wait on each other; exact_at(i,
// uf, vf) gives the position at step i.
template <typename ExactAt>
void draw_fast_spans(const texture &t, const draw_ctx &c, udata *dst, const line_steps &s,
                     ExactAt exact_at) {
  // Values, not references: a byte stored may alias anything reached through
  // a pointer.
  const uint8_t *const texels = udata_elements(t.src), *const table = c.coltab[0];
  const uint32_t tex_w = t.src->width, wmask = tex_w - 1, hmask = t.src->height - 1;
  const int32_t wrap_x = t.wrap_x, wrap_y = t.wrap_y, off_x = t.offset_x, off_y = t.offset_y;
  const uint32_t mx = uint32_t(wrap_x) & wmask, my = uint32_t(wrap_y) & hmask;
  const uint8_t write = uint8_t(c.write);
  uint8_t *const base = udata_elements(dst);
  const int64_t width = dst->width, xstep = s.xstep, ystep = s.ystep, first = s.first,
                last = s.last, x0 = s.x0, y0 = s.y0;
  // A line of one row steps its pixel pointer by one byte; without offsets
  // each texel coordinate is one mask of the position's integer part.
  const bool along_row = ystep == 0 && xstep == 65536;
  const bool no_offsets = off_x == 0 && off_y == 0;
  auto run = [&](auto put) {
    constexpr int64_t batch = 32;
    int64_t bu[batch + 1], bv[batch + 1];
    int64_t start = first - first % 8;
    exact_at(start, bu[0], bv[0]);
    while (start <= last) {
      const int64_t spans = std::min<int64_t>(batch, (last - start) / 8 + 1);
      for (int64_t j = 1; j <= spans; j++) exact_at(start + 8 * j, bu[j], bv[j]);
      for (int64_t j = 0; j < spans; j++, start += 8) {
        const int64_t ustep = int64_t(double(bu[j + 1] - bu[j]) * 0.125),
                      vstep = int64_t(double(bv[j + 1] - bv[j]) * 0.125);
        const int64_t i = std::max(first, start), n = std::min(last, start + 7) - i;
        int64_t u = bu[j] + (i - start) * ustep, v = bv[j] + (i - start) * vstep;
        if (along_row && no_offsets) {
          uint8_t *const row_at = base + (y0 >> 16) * width + ((x0 + i * xstep) >> 16);
          if ((v >> 16) == ((v + n * vstep) >> 16)) {
            // The positions step linearly, so a span whose ends share a
            // texel row reads that row throughout.
            const uint8_t *const texel_row = texels + uint64_t(uint32_t(v >> 16) & my) * tex_w;
            if (n == 7) {
#pragma GCC unroll 8
              for (int64_t k = 0; k < 8; k++, u += ustep)
                put(row_at + k, texel_row[uint32_t(u >> 16) & mx]);
            } else {
              for (int64_t k = 0; k <= n; k++, u += ustep)
                put(row_at + k, texel_row[uint32_t(u >> 16) & mx]);
            }
            continue;
          }
          for (int64_t k = 0; k <= n; k++, u += ustep, v += vstep)
            put(row_at + k,
                texels[uint64_t(uint32_t(v >> 16) & my) * tex_w + (uint32_t(u >> 16) & mx)]);
          continue;
        }
        int64_t xf = x0 + i * xstep, yf = y0 + i * ystep;
        for (int64_t k = 0; k <= n; k++, u += ustep, v += vstep, xf += xstep, yf += ystep) {
          uint32_t tx = uint32_t((int32_t(u >> 16) & wrap_x) + off_x) & wmask;
          uint32_t ty = uint32_t((int32_t(v >> 16) & wrap_y) + off_y) & hmask;
          put(base + (yf >> 16) * width + (xf >> 16), texels[uint64_t(ty) * tex_w + tx]);
        }
      }
      bu[0] = bu[spans], bv[0] = bv[spans];
    }
  };
  if (c.default_coltab0) {
    const texel_writes w = default_table_writes(c);
    run([&w](uint8_t *d, uint8_t texel) { *d = uint8_t((*d & w.keep[texel]) | w.value[texel]); });
  } else {
    run([=](uint8_t *d, uint8_t texel) {
      uint8_t old = *d, out = table[(texel & 63) * 64 + (old & 63)];
      *d = uint8_t(((out ^ old) & write) ^ old);
    });
  }
}

int32_t wrap_mask(int32_t addr) { return (peek2_proc(cproc, addr) - 1) & 0xFFFF; }
int64_t tile_size(int32_t addr) {
  int32_t v = peek_proc(cproc, addr);
  return v ? v : 256;
}

}  // namespace

int64_t tline3d_steps(const udata *dst, double x0, double y0, double x1, double y1) {
  if (!cproc || !dst) return 0;
  line_steps s = line_plan(drawing_clip(dst), int32_saturate(x0), int32_saturate(y0),
                           int32_saturate(x1), int32_saturate(y1));
  return std::max<int64_t>(0, s.last - s.first + 1);
}

int64_t draw_tline3d(udata *src, udata *dst, double x0, double y0, double x1, double y1, double u0,
                     double v0, double u1, double v1, double w0, double w1, int32_t flags) {
  if (!src || !cproc || !dst || (dst->utype & 31) != UTYPE_U8) return 0;
  bool map = (src->utype & 31) == UTYPE_I16;
  if (!map && (src->utype & 31) != UTYPE_U8) return 0;
  if (!(w0 > 0) || !(w1 > 0)) return 0;
  if (y0 > y1 || (y0 == y1 && x0 > x1)) {
    std::swap(x0, x1), std::swap(y0, y1), std::swap(u0, u1), std::swap(v0, v1);
    std::swap(w0, w1);
  }
  draw_ctx c = draw_ctx_sprite();
  line_steps s = line_plan(drawing_clip(dst), int32_saturate(x0), int32_saturate(y0),
                           int32_saturate(x1), int32_saturate(y1));
  if (flags & TLINE_NO_END_POINT) s.last = std::min(s.last, s.n - 1);
  if (s.last < s.first) return 0;
  texture t{src,
            map,
            wrap_mask(int32_t(RAM_TLINE_WRAP_X)),
            wrap_mask(int32_t(RAM_TLINE_WRAP_Y)),
            peek2_proc(cproc, int32_t(RAM_TLINE_OFFSET_X)),
            peek2_proc(cproc, int32_t(RAM_TLINE_OFFSET_Y)),
            tile_size(int32_t(RAM_MAP_TILE_WIDTH)),
            tile_size(int32_t(RAM_MAP_TILE_HEIGHT))};
  double ax = std::fabs(x1 - x0), ay = std::fabs(y1 - y0);
  double len = std::max(ax, ay);
  if (len == 0) len = 0.00001;
  double du = (u1 - u0) / len, dv = (v1 - v0) / len, dw = (w1 - w0) / len;
  if (flags & TLINE_PIXEL_EDGE) {
    double f = std::fmod(ax >= ay ? x0 : y0, 1.0);
    u0 += (1 - f) * du, v0 += (1 - f) * dv;
  }
  // The texture position at step i is computed from the line's start, so a
  // clipped line reads the same texels as the whole line.
  auto exact_at = [&](int64_t i, int64_t &uf, int64_t &vf) {
    double w = w0 + double(i) * dw, u = (u0 + double(i) * du) / w, v = (v0 + double(i) * dv) / w;
    if (map || !(flags & TLINE_EXACT)) {
      uf = fixed16_saturate(u), vf = fixed16_saturate(v);
    } else {
      uf = int64_t(int32_saturate(std::floor(u))) * 65536;
      vf = int64_t(int32_saturate(std::floor(v))) * 65536;
    }
  };
  bool exact = flags & TLINE_EXACT;
  bool fast = !map && c.read == 0x3F && c.target == 0x3F && c.plain_pattern;
  int64_t uf = 0, vf = 0, ustep = 0, vstep = 0;
  if (fast && !exact) {
    draw_fast_spans(t, c, dst, s, exact_at);
    int64_t n = s.last - s.first + 1;
    return n / 3;
  }
  for (int64_t i = s.first; i <= s.last; i++) {
    int32_t x = int32_t((s.x0 + i * s.xstep) >> 16), y = int32_t((s.y0 + i * s.ystep) >> 16);
    uint8_t *d = bitmap_row(dst, y) + x;
    bool bit = pattern_bit(c, x, y);
    if (exact) {
      exact_at(i, uf, vf);
    } else if (i == s.first || i % 8 == 0) {
      // Spans of 8 steps from the line's start: exact at both ends, linear
      // 16.16 steps between.
      int64_t start = i - i % 8, end_u, end_v;
      exact_at(start, uf, vf);
      exact_at(start + 8, end_u, end_v);
      ustep = int64_t(double(end_u - uf) * 0.125), vstep = int64_t(double(end_v - vf) * 0.125);
      uf += (i - start) * ustep, vf += (i - start) * vstep;
    }
    if (map) {
      bool present;
      uint8_t p = map_pixel(t, uf, vf, present);
      *d = exact || !present ? texture_pixel_value(c, p, bit, *d) : lookup_pixel_value(c, p, *d);
    } else {
      const udata *tex = t.src;
      uint8_t texel =
          udata_elements(tex)[uint64_t(texel_y(t, vf >> 16)) * tex->width + texel_x(t, uf >> 16)];
      *d = fast ? lookup_pixel_value(c, texel, *d) : texture_pixel_value(c, texel, bit, *d);
    }
    uf += ustep, vf += vstep;
  }
  int64_t n = s.last - s.first + 1;
  if (map) return exact ? n : 2 * n / 3;
  if (fast) return exact ? n / 2 : n / 3;
  return exact ? 2 * n / 3 : 2 * n / 5;
}
