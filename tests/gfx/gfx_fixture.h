// A root process with the default draw state and bitmaps made outside Lua,
// for drawing tests; plus the per-pixel formulas written out plainly from
// memory reads, as references for the rasteriser's faster ways.
#pragma once
#include <cstring>
#include <deque>
#include <random>
#include <vector>

#include "machine/memory.h"
#include "userdata/udata.h"
#include "gfx/pixel.h"
#include "tests/kernel/kernel_fixture.h"

struct gfx_fixture : kernel_fixture {
  std::deque<std::vector<uint64_t>> blocks;
  std::mt19937 rng{12345};

  void SetUp() override {
    kernel_fixture::SetUp();
    reset_draw_state(root);
  }

  static void poke4_to(proc *p, uint32_t addr, uint32_t v) {
    poke2_proc(p, int32_t(addr), int32_t(v & 0xFFFF));
    poke2_proc(p, int32_t(addr + 2), int32_t(v >> 16));
  }
  // The defaults a process gets from a palette reset, masks 0x3F, no pattern.
  static void reset_draw_state(proc *p) {
    init_default_coltabs();
    for (int t = 0; t < 4; t++) {
      for (int i = 0; i < GFX_COLTAB_BYTES; i++)
        poke_proc(p, int32_t(RAM_COLOUR_TABLES) + t * GFX_COLTAB_BYTES + i,
                  default_coltabs[t * GFX_COLTAB_BYTES + i]);
      p->mem.page_flags[GFX_COLTAB_PAGE + t] = 0;
    }
    for (uint32_t i = 0; i < 256; i++) poke4_to(p, RAM_RGB_PALETTE + 4 * i, default_system_pal[i]);
    for (int i = 0; i < GFX_COLOURS; i++)
      poke_proc(p, int32_t(RAM_DISPLAY_PALETTE) + i, default_indexed_pal[i]);
    for (uint32_t a = RAM_READ_MASK; a <= RAM_SHAPE_TARGET_MASK; a++)
      poke_proc(p, int32_t(a), 0x3F);
    for (int i = 0; i < 8; i++) poke_proc(p, int32_t(RAM_FILL_PATTERN) + i, 0);
  }

  // A zeroed bitmap of the type, owned by the fixture.
  udata *bitmap(uint32_t w, uint32_t h, uint8_t type = UTYPE_U8) {
    blocks.emplace_back((sizeof(udata) + uint64_t(w) * h * utype_size(type) + 7) / 8 + 1, 0);
    udata *b = reinterpret_cast<udata *>(blocks.back().data());
    b->utype = type, b->dims = 2, b->width = w, b->height = h;
    return b;
  }
  static uint8_t *pixels(udata *b) { return udata_elements(b); }
  static std::vector<uint8_t> bytes(const udata *b) {
    return std::vector<uint8_t>(udata_elements(b), udata_elements(b) + udata_bytes(b));
  }
  udata *random_bitmap(uint32_t w, uint32_t h) {
    udata *b = bitmap(w, h);
    for (uint64_t i = 0; i < udata_count(b); i++) pixels(b)[i] = uint8_t(rng());
    return b;
  }
  void set_clip(int32_t l, int32_t t, int32_t r, int32_t b) { root->target_clip = {l, r, t, b}; }
  void full_clip(const udata *b) { set_clip(0, 0, int32_t(b->width), int32_t(b->height)); }
  int32_t rand_in(int32_t lo, int32_t hi) {
    return std::uniform_int_distribution<int32_t>(lo, hi)(rng);
  }
  // Random masks, pattern and (sometimes) colour tables.
  void random_draw_state() {
    const uint8_t masks[] = {0x3F, 0x3F, 0xFF, 0x00, 0x0F, 0xC3};
    for (uint32_t a = RAM_READ_MASK; a <= RAM_SHAPE_TARGET_MASK; a++)
      poke(int32_t(a), rng() % 2 ? masks[rng() % 6] : int32_t(rng() & 0xFF));
    bool pattern = rng() % 2;
    for (int i = 0; i < 8; i++) poke(int32_t(RAM_FILL_PATTERN) + i, pattern ? int32_t(rng()) : 0);
    if (rng() % 2)
      for (int i = 0; i < 4 * GFX_COLTAB_BYTES; i += 1 + int(rng() % 64))
        poke(int32_t(RAM_COLOUR_TABLES) + i, int32_t(rng()));
  }

  // The shape and texture formulas, read through peek.
  static uint8_t ref_shape(int32_t x, int32_t y, int32_t pen, uint8_t dst) {
    bool bit = (peek(int32_t(RAM_FILL_PATTERN) + (y & 7)) >> (x & 7)) & 1;
    uint32_t s = uint32_t(int16_t(pen) >> (bit ? 8 : 0)) & uint32_t(peek(int32_t(RAM_READ_MASK)));
    uint32_t d = dst & uint32_t(peek(int32_t(RAM_SHAPE_TARGET_MASK)));
    uint32_t t = (s | d) >> 6;
    uint8_t out = uint8_t(peek(int32_t(RAM_COLOUR_TABLES + t * 4096 + (s & 63) * 64 + (d & 63))));
    return uint8_t(((out ^ dst) & uint32_t(peek(int32_t(RAM_WRITE_MASK)))) ^ dst);
  }
  static uint8_t ref_texture(int32_t x, int32_t y, uint8_t src, uint8_t dst) {
    bool bit = (peek(int32_t(RAM_FILL_PATTERN) + (y & 7)) >> (x & 7)) & 1;
    uint32_t s = src & uint32_t(peek(int32_t(RAM_READ_MASK)));
    uint32_t d = dst & uint32_t(peek(int32_t(RAM_SPRITE_TARGET_MASK)));
    uint32_t t = ((s | d) >> 6) | (bit ? 2 : 0);
    uint8_t out = uint8_t(peek(int32_t(RAM_COLOUR_TABLES + t * 4096 + (s & 63) * 64 + (d & 63))));
    return uint8_t(((out ^ dst) & uint32_t(peek(int32_t(RAM_WRITE_MASK)))) ^ dst);
  }
};
