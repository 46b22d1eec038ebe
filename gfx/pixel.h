// The pixel pipeline: every drawn pixel goes through the draw state and the
// four colour tables kept in the drawing process's own memory (the draw-state
// page at 0x5000, the tables at 0x8000). A pen or texel picks a row of a
// table, the old pixel (under the target mask) a column; the write mask says
// which bits of the old pixel may change.
//
// Every function acts on the current process `cproc` and does nothing (or
// returns 0) while there is none. The draw-state page and the colour tables
// are read through the page pointers; a page that is not wholly present (a
// mapping onto a short userdata tail) is read through the memory functions
// instead, so drawing never reads past a page.
#pragma once
#include <cstdint>

#include "base/ram_layout.h"
#include "userdata/udata.h"

struct proc;

// The cached clip saved while a temporary clip is in force.
extern int32_t cl, cr, ct, cb;
// Defaults built by init_default_coltabs: the four colour tables, the
// display palette and the RGB palette.
extern uint8_t default_coltabs[4 * GFX_COLTAB_BYTES];
extern uint8_t default_indexed_pal[GFX_COLOURS];
extern uint32_t default_system_pal[256];
// The 64 system colours as 0x00RRGGBB.
extern const uint32_t system_palette[GFX_COLOURS];

// Page `page` (below 16) of p for reading: its own bytes when wholly present,
// else a copy read through the memory functions (valid until the next call
// for the same page).
const uint8_t *state_page(proc *p, uint32_t page);

// Everything one drawing operation reads of the draw state, loaded once.
struct draw_ctx {
  const uint8_t *coltab[4];  // tables 0..3, 4096 bytes each
  uint8_t pattern[8];        // fill pattern rows
  uint32_t read, write;      // read and write masks
  uint8_t target;            // target mask of the operation's kind
  bool plain_pattern;        // every pattern row is 0
  bool default_coltab0;      // table 0 is known to hold its default
};

// Loads the shape masks of the current process (0x5508, 0x5509, 0x550B),
// as draw_ctx_shape does, and drops them.
void get_masks_shape();
// The context of a shape or of a sprite/texture operation of the current
// process (also loads the mask globals as above). With no current process
// every table reads 0 and every mask is 0.
draw_ctx draw_ctx_shape();
draw_ctx draw_ctx_sprite();

inline bool pattern_bit(const draw_ctx &c, int32_t x, int32_t y) {
  return (c.pattern[y & 7] >> (x & 7)) & 1;
}
// The shape formula: pen (sign-extended 16 bits) picks its byte by the
// pattern bit of (x, y).
inline uint8_t shape_pixel_value(const draw_ctx &c, int32_t pen, bool bit, uint8_t dst) {
  uint32_t s = uint32_t(pen >> (bit ? 8 : 0)) & c.read;
  uint32_t d = dst & c.target;
  uint8_t out = c.coltab[((s | d) >> 6) & 3][(s & 63) * 64 + (d & 63)];
  return uint8_t(((out ^ dst) & c.write) ^ dst);
}
// The texture formula: the source pixel itself; the pattern bit adds 2 to the
// table number.
inline uint8_t texture_pixel_value(const draw_ctx &c, uint8_t src, bool bit, uint8_t dst) {
  uint32_t s = src & c.read;
  uint32_t d = dst & c.target;
  uint8_t out = c.coltab[(((s | d) >> 6) | (bit ? 2 : 0)) & 3][(s & 63) * 64 + (d & 63)];
  return uint8_t(((out ^ dst) & c.write) ^ dst);
}

// How a pen writes under c, by pattern bit: uniform[b] when the bits it
// writes do not depend on the old pixel (beyond the bits the write mask
// keeps); then every pixel of that bit becomes (old & keep) | value[b].
// Without a pattern only bit 0 is drawn, and bit 1 reads as uniform.
struct pen_writes {
  bool uniform[2];
  uint8_t value[2];
  uint8_t keep;
};
pen_writes pen_writes_of(const draw_ctx &c, int32_t pen);
// One pixel at d of position (x, y) by the pen under c and its writes w.
inline void paint_pen_pixel(const draw_ctx &c, const pen_writes &w, int32_t pen, uint8_t *d,
                            int64_t x, int64_t y) {
  int bit = (c.pattern[y & 7] >> (x & 7)) & 1;
  *d = w.uniform[bit] ? uint8_t((*d & w.keep) | w.value[bit]) : shape_pixel_value(c, pen, bit, *d);
}

// The lookup-only form for sprites and textures with the default read and
// target masks and no pattern: table 0 by source and old pixel.
inline uint8_t lookup_pixel_value(const draw_ctx &c, uint8_t src, uint8_t dst) {
  uint8_t out = c.coltab[0][(src & 63) * 64 + (dst & 63)];
  return uint8_t(((out ^ dst) & c.write) ^ dst);
}
// Row y of a u8 bitmap.
inline uint8_t *bitmap_row(udata *bitmap, int64_t y) {
  return udata_elements(bitmap) + uint64_t(y) * bitmap->width;
}

// The clip rectangle that drawing into bitmap uses: the current process's
// cached clip, cut to the bitmap (so no clip can reach outside it). Empty
// (right <= left or bottom <= top) for a null bitmap or no current process.
struct clip_box {
  int32_t left, right, top, bottom;
};
clip_box drawing_clip(const udata *bitmap);

// The colour argument: pen into 0x550C; with bit 32 the 4x4 pattern of bits
// 16..31 into the pattern rows; with bit 35 the inverted-shape flag is set
// (never cleared here).
void set_colp(int64_t colour);
// A 16-bit 4x4 pattern (bit 15 the top-left cell, rows of four bits from the
// top) written as the eight pattern rows.
void fillp_16(uint32_t pattern);
// The pen at 0x550C, sign-extended.
int32_t get_pen();

// One shape pixel inside the drawing clip, else nothing. Loads the shape
// masks itself.
void putpixel(udata *bitmap, int32_t x, int32_t y, int32_t colour);
// One shape pixel at a position the caller guarantees inside the bitmap,
// under the given context.
void put_shape_pixel_noclip(const draw_ctx &c, udata *bitmap, int32_t x, int32_t y, int32_t colour);
// The byte at (x, y); 0 for a null bitmap or a position outside it.
uint8_t getpixel(const udata *bitmap, int32_t x, int32_t y);

// p & 63 = 2: RGB palette entry c & 255 = value; 1: display palette byte
// c & 63 = value & 63; 0: row c & 63 of colour table ((p | c) >> 6) & 3 filled
// with value | 0xC0 (and the table's page marked as changed). Other p: nothing.
void set_palette_entry(int32_t c, uint32_t value, int32_t p);

// Builds the defaults above (once per reset).
void init_default_coltabs();

// Saves the current process's cached clip and sets it to the whole bitmap;
// restore_after_temporary_clipping puts the saved clip back. Used in pairs.
void set_temporary_clipping(const udata *bitmap);
void restore_after_temporary_clipping();

// n colour indices to n (R, G, B, 255) quadruples through the first 64 RGB
// palette entries of the current process (index & 63 for any index).
void convert_bitmap_8_to_32(const uint8_t *src, uint8_t *dst, int64_t n);
// n RGBA quadruples (alpha ignored) to the nearest of the first 64 RGB
// palette entries by 2 dr^2 + 7 dg^2 + db^2, the lowest index on a tie.
// Without a current process every entry reads as black (all give 0).
void convert_bitmap_32_to_8(const uint8_t *src, uint8_t *dst, int64_t n);

// A texture coordinate to 16.16 fixed point, truncated toward zero and held
// within +-2^40 (far beyond any bitmap); NaN gives 0.
inline int64_t fixed16_saturate(double v) {
  constexpr double limit = 1099511627776.0;  // 2^40
  double f = v * 65536.0;
  if (!(f == f)) return 0;
  return int64_t(f < -limit ? -limit : f > limit ? limit : f);
}
// A coordinate to an integer, truncated toward zero and held within the i32
// range; NaN gives 0.
int32_t int32_saturate(double v);
