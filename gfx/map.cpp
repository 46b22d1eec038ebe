// Map drawing and the sprite-argument rule.
#include "gfx/map.h"

#include <algorithm>

#include "base/cpu_budget.h"
#include "base/ram_layout.h"
#include "machine/memory.h"
#include "machine/process.h"
#include "lang/args.h"
#include "userdata/udata.h"
#include "gfx/blit.h"
#include "gfx/draw_api.h"
#include "gfx/pixel.h"

udata *sprite_entry(int64_t n) {
  if (!cproc || n < 0 || n >= GFX_SPRITES) return nullptr;
  return cproc->sprites[n];
}

udata *get_sprite_p(lua_State *L, int index) {
  if (udata *ud = to_udata(L, index)) return ud;
  return sprite_entry(kvd_intp(L, index, -1));
}

namespace {

// The charge of each cell visited, drawn or not.
constexpr int64_t MAP_CELL_CYCLES = 2;

// One tile that is not drawn by the sprite fast path: a textured line per
// tile row, reading the sprite scaled, flipped or turned.
int64_t draw_tile_lines(udata *spr, udata *t, int32_t tx, int32_t ty, int64_t tw, int64_t th,
                        int32_t cell) {
  bool turn = cell & GFX_MAP_TURN, flip_x = cell & GFX_MAP_FLIP_X, flip_y = cell & GFX_MAP_FLIP_Y;
  double sw = spr->width, sh = spr->height;
  // Along the line: sprite columns (rows when turned) across tile_w pixels.
  double along = turn ? sh : sw, across = turn ? sw : sh;
  double a0 = (along / double(tw)) / 2, a1 = along - a0;
  if (flip_x) std::swap(a0, a1);
  // Only the tile rows inside the clip can draw: the others are not visited.
  clip_box clip = drawing_clip(t);
  int64_t first = std::max<int64_t>(0, clip.top - int64_t(ty));
  int64_t end = std::min<int64_t>(th, clip.bottom - int64_t(ty));
  int64_t cost = std::max<int64_t>(0, end - first) * TLINE_LINE_COST;
  for (int64_t r = first; r < end; r++) {
    double k = (double(flip_y ? th - 1 - r : r) + 0.5) * (across / double(th));
    int32_t y = ty + int32_t(r), x1 = tx + int32_t(tw - 1);
    cost += TLINE_SSPR_WEIGHT * (turn ? draw_tline_sspr(spr, t, tx, y, x1, y, k, a0, k, a1)
                                      : draw_tline_sspr(spr, t, tx, y, x1, y, a0, k, a1, k));
  }
  return cost;
}

// The tiles to skip at the start and to drop at the end of a run of n tiles
// of size `size` from `start`, against the clip edges lo..hi.
void clip_tiles(int64_t start, int64_t size, int64_t lo, int64_t hi, int64_t &first, int64_t &n) {
  first = 0;
  if (lo > start) first = std::min(n, (lo - start) / size);
  int64_t end = start + n * size;
  if (end > hi) n -= std::min(n, (end - hi) / size);
}

int64_t tile_size(lua_State *L, int index, uint32_t reg) {
  int64_t v = peek(int32_t(reg));
  return api_int(L, index, v ? v : 256);
}

}  // namespace

int lua54_draw_map(lua_State *L) {
  udata *t = api_target();
  udata *map = to_udata(L, 1);
  if (!t || !map || (map->utype & 31) != UTYPE_I16) return 0;
  int64_t mw = map->width, mh = map->height;
  // Every argument held within 32 bits, so no sum or product below overflows.
  int64_t mx = api_int(L, 2, 0), my = api_int(L, 3, 0);
  int64_t xs = api_pos_x(L, 4), ys = api_pos_y(L, 5);
  int64_t w = api_int(L, 6, mw - mx), h = api_int(L, 7, mh - my);
  int64_t layer = kvd_intp(L, 8, 0);
  int64_t tw = tile_size(L, 9, RAM_MAP_TILE_WIDTH), th = tile_size(L, 10, RAM_MAP_TILE_HEIGHT);
  if (tw < 1 || th < 1 || tw > 0x10000 || th > 0x10000) return 0;
  // A window starting left of or above the map: the cells outside the map
  // are absent, the rest keep their places on the screen.
  if (mx < 0) xs += -mx * tw, w += mx, mx = 0;
  if (my < 0) ys += -my * th, h += my, my = 0;
  int64_t cols = std::min(w, mw - mx), rows = std::min(h, mh - my);
  if (cols < 1 || rows < 1) return 0;
  const target_clip_rect &c = cproc->target_clip;
  int64_t first_col, first_row;
  clip_tiles(xs, tw, c.left, c.right, first_col, cols);
  clip_tiles(ys, th, c.top, c.bottom, first_row, rows);
  if (cols <= first_col || rows <= first_row) return 0;
  bool sprite_0 = peek(int32_t(RAM_SYSTEM_FLAGS)) & SYSFLAG_MAP_SPRITE_0;
  // The most a tile costs: a line per visible row and its visible pixels.
  int64_t tile_rows = std::min<int64_t>(th, int64_t(c.bottom) - c.top);
  int64_t tile_bound =
      tile_rows *
      (TLINE_LINE_COST + TLINE_SSPR_WEIGHT * std::min<int64_t>(tw, int64_t(c.right) - c.left));
  // Each visited cell is charged MAP_CELL_CYCLES and its drawing a third of its
  // cost; the walk stops at the overrun bound, the tiles drawn charged.
  int64_t cost = 0, cells = 0;
  auto charge = [&] { return MAP_CELL_CYCLES * cells + cost / 3; };
  for (int64_t r = first_row; r < rows; r++) {
    for (int64_t col = first_col; col < cols; col++, cells++) {
      if (cpu_loop_overruns(charge() + MAP_CELL_CYCLES + tile_bound / 3))
        return batch_overrun(L, charge());
      int64_t mcx = mx + col, mcy = my + r;  // never negative: mx, my >= 0 here
      int32_t cell = int32_t(udata_get_int(map, uint64_t(mcy * mw + mcx))) & 0xFFFF;
      int32_t n = cell & GFX_MAP_SPRITE_MASK;
      udata *spr = sprite_entry(n);
      if (!spr || (n == 0 && !sprite_0)) continue;
      if (layer && !(peek(int32_t(RAM_SPRITE_FLAGS) + n) & layer)) continue;
      int64_t tx = xs + col * tw, ty = ys + r * th;
      if (tx < INT32_MIN / 2 || tx > INT32_MAX / 2 || ty < INT32_MIN / 2 || ty > INT32_MAX / 2)
        continue;
      if (spr->width == tw && spr->height == th && !(cell & GFX_MAP_TURN)) {
        cost += draw_spr(spr, t, 0, 0, int32_t(tx), int32_t(ty), int32_t(tw), int32_t(th),
                         cell & GFX_MAP_FLIP_X, cell & GFX_MAP_FLIP_Y);
      } else {
        cost += draw_tile_lines(spr, t, int32_t(tx), int32_t(ty), tw, th, cell);
      }
    }
  }
  spend_cpu(charge());
  return 0;
}
