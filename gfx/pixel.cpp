// The pixel pipeline: draw state, colour tables, pen and pattern, defaults.
#include "gfx/pixel.h"

#include <algorithm>
#include <cstring>

#include "machine/memory.h"
#include "machine/process.h"
#include "userdata/udata.h"

int32_t cl = 0, cr = 0, ct = 0, cb = 0;
uint8_t default_coltabs[4 * GFX_COLTAB_BYTES];
uint8_t default_indexed_pal[GFX_COLOURS];
uint32_t default_system_pal[256];

const uint32_t system_palette[GFX_COLOURS] = {
    0x000000, 0x1D2B53, 0x7E2553, 0x008751, 0xAB5236, 0x5F574F, 0xC2C3C7, 0xFFF1E8,
    0xFF004D, 0xFFA300, 0xFFEC27, 0x00E436, 0x29ADFF, 0x83769C, 0xFF77A8, 0xFFCCAA,
    0x2463B0, 0x00A5A1, 0x654688, 0x125359, 0x72302D, 0x452D32, 0xA28879, 0xFFACC5,
    0xB9003E, 0xE26B02, 0x95F042, 0x00B251, 0x64DFF6, 0xBD9ADF, 0xE40DAB, 0xFF9067,
};

// Copies of pages 0..15 that are not wholly present, read byte by byte.
static uint8_t partial_page_copy[RAM_INITIAL_PAGES][RAM_PAGE_SIZE];

const uint8_t *state_page(proc *p, uint32_t page) {
  if (p->mem.mapped_length[page] == int32_t(RAM_PAGE_SIZE) && p->mem.page_pointer[page])
    return p->mem.page_pointer[page];
  uint8_t *copy = partial_page_copy[page];
  for (uint32_t i = 0; i < RAM_PAGE_SIZE; i++)
    copy[i] = uint8_t(peek_proc(p, int32_t(page * RAM_PAGE_SIZE + i)));
  return copy;
}

static uint8_t state_byte(const uint8_t *state, uint32_t addr) {
  return state[addr - GFX_STATE_PAGE * RAM_PAGE_SIZE];
}

static draw_ctx load_ctx(uint32_t target_addr) {
  draw_ctx c{};
  static const uint8_t zero_table[GFX_COLTAB_BYTES] = {};
  if (!cproc) {
    for (auto &t : c.coltab) t = zero_table;
    c.plain_pattern = true;
  } else {
    const uint8_t *state = state_page(cproc, GFX_STATE_PAGE);
    for (uint32_t t = 0; t < 4; t++) c.coltab[t] = state_page(cproc, GFX_COLTAB_PAGE + t);
    std::memcpy(c.pattern, state + (RAM_FILL_PATTERN - GFX_STATE_PAGE * RAM_PAGE_SIZE), 8);
    c.read = state_byte(state, RAM_READ_MASK);
    c.write = state_byte(state, RAM_WRITE_MASK);
    c.target = state_byte(state, target_addr);
    uint64_t rows;
    std::memcpy(&rows, c.pattern, 8);
    c.plain_pattern = rows == 0;
    // A page mapped onto a userdata changes without marking its flag.
    const proc_memory &m = cproc->mem;
    bool mapped = (m.mapped_page_bits[GFX_COLTAB_PAGE / 64] >> (GFX_COLTAB_PAGE % 64)) & 1;
    c.default_coltab0 = !mapped && !(m.page_flags[GFX_COLTAB_PAGE] & PAGE_COLTAB_CHANGED);
  }
  return c;
}

draw_ctx draw_ctx_shape() { return load_ctx(RAM_SHAPE_TARGET_MASK); }
draw_ctx draw_ctx_sprite() { return load_ctx(RAM_SPRITE_TARGET_MASK); }
void get_masks_shape() { (void)draw_ctx_shape(); }

pen_writes pen_writes_of(const draw_ctx &c, int32_t pen) {
  pen_writes w;
  w.keep = uint8_t(~c.write);
  w.uniform[1] = true;
  w.value[1] = 0;
  for (int b = 0; b < (c.plain_pattern ? 1 : 2); b++) {
    // Uniform when the written bits are the same for every value the target
    // mask lets through from the old pixel.
    uint32_t s = uint32_t(pen >> (b ? 8 : 0)) & c.read, t = c.target, first = 0;
    w.uniform[b] = true;
    if (c.default_coltab0 && s != 0 && ((s | t) >> 6) == 0) {
      // Table 0 as built by default: any colour but 0 replaces the pixel.
      w.value[b] = uint8_t((0xC0 | s) & c.write);
      continue;
    }
    for (uint32_t d = t;; d = (d - 1) & t) {
      uint32_t out = c.coltab[((s | d) >> 6) & 3][(s & 63) * 64 + (d & 63)] & c.write;
      if (d == t) first = out;
      w.uniform[b] = w.uniform[b] && out == first;
      if (d == 0) break;
    }
    w.value[b] = uint8_t(first);
  }
  return w;
}

clip_box drawing_clip(const udata *bitmap) {
  if (!bitmap || !cproc) return {0, 0, 0, 0};
  const target_clip_rect &t = cproc->target_clip;
  return {std::max(t.left, 0), int32_t(std::min<int64_t>(t.right, bitmap->width)),
          std::max(t.top, 0), int32_t(std::min<int64_t>(t.bottom, bitmap->height))};
}

void fillp_16(uint32_t pattern) {
  if (!cproc) return;
  for (int r = 0; r < 4; r++) {
    uint32_t n = 0;
    for (int b = 0; b < 4; b++) n |= ((pattern >> (15 - 4 * r - b)) & 1) << b;
    poke_proc(cproc, int32_t(RAM_FILL_PATTERN) + r, int32_t(n * 17));
    poke_proc(cproc, int32_t(RAM_FILL_PATTERN) + r + 4, int32_t(n * 17));
  }
}

void set_colp(int64_t colour) {
  if (!cproc) return;
  poke2_proc(cproc, int32_t(RAM_PEN), int32_t(colour & 0xFFFF));
  if (colour & GFX_COLOUR_LOAD_PATTERN)
    fillp_16(uint32_t(colour >> GFX_COLOUR_PATTERN_SHIFT) & 0xFFFF);
  if (colour & GFX_COLOUR_INVERTED) cproc->inverted_shape = 1;
}

int32_t get_pen() { return cproc ? peek2_proc(cproc, int32_t(RAM_PEN)) : 0; }

void putpixel(udata *bitmap, int32_t x, int32_t y, int32_t colour) {
  clip_box b = drawing_clip(bitmap);
  if (x < b.left || x >= b.right || y < b.top || y >= b.bottom) return;
  put_shape_pixel_noclip(draw_ctx_shape(), bitmap, x, y, colour);
}

void put_shape_pixel_noclip(const draw_ctx &c, udata *bitmap, int32_t x, int32_t y,
                            int32_t colour) {
  uint8_t *d = bitmap_row(bitmap, y) + x;
  *d = shape_pixel_value(c, int16_t(colour), pattern_bit(c, x, y), *d);
}

uint8_t getpixel(const udata *bitmap, int32_t x, int32_t y) {
  if (!bitmap || x < 0 || y < 0 || uint32_t(x) >= bitmap->width || uint32_t(y) >= bitmap->height)
    return 0;
  return udata_elements(bitmap)[uint64_t(y) * bitmap->width + uint32_t(x)];
}

void set_palette_entry(int32_t c, uint32_t value, int32_t p) {
  if (!cproc) return;
  switch (p & 63) {
    case 2:
      poke2_proc(cproc, int32_t(RAM_RGB_PALETTE) + 4 * (c & 255), int32_t(value & 0xFFFF));
      poke2_proc(cproc, int32_t(RAM_RGB_PALETTE) + 4 * (c & 255) + 2, int32_t(value >> 16));
      break;
    case 1:
      poke_proc(cproc, int32_t(RAM_DISPLAY_PALETTE) + (c & 63), int32_t(value & 63));
      break;
    case 0: {
      uint32_t table = uint32_t((p | c) >> 6) & 3;
      int32_t row = int32_t(RAM_COLOUR_TABLES + table * GFX_COLTAB_BYTES) + (c & 63) * 64;
      for (int32_t d = 0; d < 64; d++) poke_proc(cproc, row + d, int32_t((value | 0xC0) & 0xFF));
      break;
    }
    default:
      break;
  }
}

void init_default_coltabs() {
  for (int t = 0; t < 4; t++)
    for (int s = 0; s < 64; s++)
      for (int d = 0; d < 64; d++) {
        uint8_t v = t == 0 ? uint8_t(s == 0 ? d : 0xC0 | s) : uint8_t((t << 6) | d);
        default_coltabs[t * GFX_COLTAB_BYTES + s * 64 + d] = v;
      }
  for (int i = 0; i < GFX_COLOURS; i++) default_indexed_pal[i] = uint8_t(i);
  for (int i = 0; i < 256; i++) default_system_pal[i] = system_palette[i & 63];
}

void set_temporary_clipping(const udata *bitmap) {
  if (!cproc || !bitmap) return;
  target_clip_rect &t = cproc->target_clip;
  cl = t.left, cr = t.right, ct = t.top, cb = t.bottom;
  t = {0, int32_t(bitmap->width), 0, int32_t(bitmap->height)};
}

void restore_after_temporary_clipping() {
  if (!cproc) return;
  cproc->target_clip = {cl, cr, ct, cb};
}

void convert_bitmap_8_to_32(const uint8_t *src, uint8_t *dst, int64_t n) {
  if (!cproc) return;
  const uint8_t *state = state_page(cproc, GFX_STATE_PAGE);
  for (int64_t i = 0; i < n; i++) {
    const uint8_t *rgb = state + 4 * (src[i] & 63);  // the palette starts the page
    dst[4 * i] = rgb[2];
    dst[4 * i + 1] = rgb[1];
    dst[4 * i + 2] = rgb[0];
    dst[4 * i + 3] = 255;
  }
}

void convert_bitmap_32_to_8(const uint8_t *src, uint8_t *dst, int64_t n) {
  if (!cproc) {  // every entry black: the first is nearest
    if (n > 0) std::memset(dst, 0, size_t(n));
    return;
  }
  const uint8_t *state = state_page(cproc, GFX_STATE_PAGE);
  // Pictures repeat colours: the last answer is kept.
  uint32_t last_rgb = 0xFFFFFFFF;
  uint8_t index = 0;
  for (int64_t i = 0; i < n; i++) {
    int32_t r = src[4 * i], g = src[4 * i + 1], b = src[4 * i + 2];
    uint32_t rgb = uint32_t(r) << 16 | uint32_t(g) << 8 | uint32_t(b);
    if (rgb != last_rgb) {
      int64_t best = INT64_MAX;
      for (int c = 0; c < GFX_COLOURS; c++) {
        int32_t dr = r - state[4 * c + 2], dg = g - state[4 * c + 1], db = b - state[4 * c];
        int64_t dist = 2 * dr * dr + 7 * dg * dg + db * db;
        if (dist < best) best = dist, index = uint8_t(c);
      }
      last_rgb = rgb;
    }
    dst[i] = index;
  }
}

int32_t int32_saturate(double v) {
  if (!(v == v)) return 0;
  return int32_t(std::clamp(v, double(INT32_MIN), double(INT32_MAX)));
}
