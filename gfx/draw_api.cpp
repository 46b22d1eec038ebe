// Drawing API: the shared conventions, and the state and pixel functions.
#include "gfx/draw_api.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/cpu_budget.h"
#include "base/ram_layout.h"
#include "machine/memory.h"
#include "machine/process.h"
#include "lang/args.h"
#include "userdata/udata.h"
#include "gfx/draw_target.h"
#include "gfx/pixel.h"

namespace {

constexpr int64_t BATCH_MAX_ROWS = 0x40000;
constexpr uint32_t PAL_FIRST_CLEARED = RAM_LINE_BANKS;  // pal() clears 0x5400..0x5477
constexpr uint32_t PAL_CLEARED_BYTES = RAM_DISPLAY_WIDTH - RAM_LINE_BANKS;

uint32_t coltab_row_addr(int32_t table, int32_t row) {
  return RAM_COLOUR_TABLES + uint32_t(table & 3) * GFX_COLTAB_BYTES + uint32_t(row & 63) * 64;
}
// Row `row` of colour table `table`: entry d = value(d). Written through the
// memory functions, which mark the table's page as changed.
template <class F>
void write_coltab_row(int32_t table, int32_t row, F value) {
  uint32_t a = coltab_row_addr(table, row);
  for (int32_t d = 0; d < 64; d++) poke(int32_t(a) + d, value(d));
}
void mark_coltab_changed(int32_t table) {
  cproc->mem.page_flags[GFX_COLTAB_PAGE + uint32_t(table & 3)] |= PAGE_COLTAB_CHANGED;
}

// Copies the defaults back into every table marked as changed (8 cycles each).
void restore_coltabs() {
  for (uint32_t k = 0; k < 4; k++) {
    uint8_t &flag = cproc->mem.page_flags[GFX_COLTAB_PAGE + k];
    if (!(flag & PAGE_COLTAB_CHANGED)) continue;
    const uint8_t *from = default_coltabs + k * GFX_COLTAB_BYTES;
    uint32_t page = GFX_COLTAB_PAGE + k;
    if (cproc->mem.page_pointer[page] && cproc->mem.mapped_length[page] == GFX_COLTAB_BYTES) {
      std::memcpy(cproc->mem.page_pointer[page], from, GFX_COLTAB_BYTES);
      flag = PAGE_WRITTEN;  // a write like any other (the audio mirror follows it)
    } else {                // a page mapped onto a short userdata tail: as far as it reaches
      for (int32_t i = 0; i < GFX_COLTAB_BYTES; i++)
        poke(int32_t(page * RAM_PAGE_SIZE) + i, from[i]);
    }
    flag &= uint8_t(~PAGE_COLTAB_CHANGED);
    spend_cpu(8);
  }
}

void reset_display_palette() {
  for (int32_t i = 0; i < GFX_COLOURS; i++)
    poke(int32_t(RAM_DISPLAY_PALETTE) + i, default_indexed_pal[i]);
}

// The current map's cell index for (x, y), or -1 outside it or without a map.
int64_t map_cell(lua_State *L) {
  udata *map = cproc ? cproc->current_map : nullptr;
  if (!map || (map->utype & 31) != UTYPE_I16) return -1;
  int64_t x = kvd_intp(L, 1, 0), y = kvd_intp(L, 2, 0);
  if (x < 0 || y < 0 || x >= map->width || y >= map->height) return -1;
  return y * map->width + x;
}

// a + b, held within the 64-bit range.
int64_t saturating_add(int64_t a, int64_t b) {
  int64_t sum;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  return b < 0 ? INT64_MIN : INT64_MAX;
}
int32_t clamp16(int64_t v) { return int32_t(std::clamp<int64_t>(v, INT16_MIN, INT16_MAX)); }
// A right or bottom clip edge as stored: an edge reaching the end of an
// extent beyond the i16 range is stored as -1, which compares above every
// extent, so the clip still covers the whole target.
int32_t clip_end16(int64_t edge, int64_t extent) {
  return edge >= extent && extent > INT16_MAX ? -1 : clamp16(edge);
}

uint8_t reverse_bits(uint8_t b) {
  uint8_t r = 0;
  for (int i = 0; i < 8; i++) r = uint8_t(r | (((b >> i) & 1) << (7 - i)));
  return r;
}

}  // namespace

udata *api_target() {
  if (!cproc || !cproc->draw_target) return nullptr;
  refresh_target_clip(cproc);
  return cproc->draw_target;
}

int32_t api_camera_x() { return peek4(int32_t(RAM_CAMERA_X)); }
int32_t api_camera_y() { return peek4(int32_t(RAM_CAMERA_Y)); }

int32_t api_colour(lua_State *L, int index) {
  if (!cproc) return 0;
  cproc->inverted_shape = 0;
  if (lua_type(L, index) == LUA_TNUMBER) set_colp(kvd_intp(L, index, 0));
  return get_pen();
}

int32_t api_floor(double v) { return int32_saturate(std::floor(v)); }

int32_t api_clamp32(int64_t v) { return int32_t(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX)); }

int32_t api_int(lua_State *L, int index, int64_t def) {
  return api_clamp32(kvd_intp(L, index, def));
}

namespace {
// A position held far beyond any target but where subtracting a camera
// cannot overflow.
int64_t position(lua_State *L, int index) {
  constexpr int64_t far = int64_t(1) << 40;
  return std::clamp<int64_t>(kvd_intp(L, index, 0), -far, far);
}
}  // namespace

int32_t api_pos_x(lua_State *L, int index) {
  return api_clamp32(position(L, index) - api_camera_x());
}
int32_t api_pos_y(lua_State *L, int index) {
  return api_clamp32(position(L, index) - api_camera_y());
}

bool api_batch(lua_State *L, int64_t max_params, draw_batch *b) {
  udata *ud = to_udata(L, 1);
  if (!ud || (ud->utype & 31) != UTYPE_F64) return false;
  int64_t total = int64_t(udata_count(ud));
  b->ud = ud;
  b->overran = false;
  b->offset = kvd_intp(L, 2, 0);
  int64_t count = kvd_intp(L, 3, ud->height);
  b->params = std::clamp<int64_t>(kvd_intp(L, 4, ud->width), 0, max_params);
  b->stride = kvd_intp(L, 5, ud->width);
  b->last_start = total - b->params;
  // A negative offset or stride would read before the elements or run
  // backwards over them: nothing is drawn.
  bool none = b->offset < 0 || b->stride < 0 || b->offset > b->last_start || count < 1;
  b->rows = none ? 0 : std::min(count, BATCH_MAX_ROWS);
  return true;
}

void api_check_work(lua_State *L, int64_t work) {
  if (cpu_loop_overruns(work)) luaL_error(L, "%s", CPU_OVERRUN_MESSAGE);
}

int batch_overrun(lua_State *L, int64_t charge) {
  spend_cpu(charge);
  luaL_error(L, "%s", CPU_OVERRUN_MESSAGE);
  __builtin_unreachable();
}

double batch_field(const draw_batch &b, int64_t start, int64_t i, double def) {
  if (i >= b.params) return def;
  double v;
  std::memcpy(&v, udata_elements(b.ud) + 8 * (start + i), 8);
  return v;
}

int32_t batch_pos(const draw_batch &b, int64_t start, int64_t i, int32_t camera) {
  return api_clamp32(int64_t(api_floor(batch_field(b, start, i, 0))) - camera);
}

int64_t batch_int(const draw_batch &b, int64_t start, int64_t i, double def) {
  return kvd_double_to_i64(std::floor(batch_field(b, start, i, def)));
}

int lua54_cls(lua_State *L) {
  udata *t = api_target();
  if (!t) return 0;
  std::memset(udata_elements(t), int(kvd_intp(L, 1, 0) & 0xFF), size_t(udata_count(t)));
  poke4(RAM_TEXT_CURSOR_X, 0);
  poke4(RAM_TEXT_CURSOR_Y, 0);
  spend_cpu(int64_t(udata_count(t)) >> 6);
  return 0;
}

int lua54_fillp(lua_State *L) {
  if (!api_target()) return 0;
  if (lua_gettop(L) == 8) {
    for (int i = 0; i < 8; i++)
      poke(int32_t(RAM_FILL_PATTERN) + i, reverse_bits(uint8_t(kvd_intp(L, i + 1, 0))));
  } else {
    fillp_16(uint32_t(kvd_intp(L, 1, 0)) & 0xFFFF);
  }
  return 0;
}

int lua54_pset(lua_State *L) {
  udata *t = api_target();
  if (!t) return 0;
  draw_batch b;
  if (api_batch(L, 3, &b)) {
    int32_t pen = get_pen(), cx = api_camera_x(), cy = api_camera_y();
    auto charge = [&](int64_t k) { return 2 * k; };
    int64_t rows = for_batch_rows(
        b,
        [&](int64_t s) {
          set_colp(batch_int(b, s, 2, pen));
          putpixel(t, batch_pos(b, s, 0, cx), batch_pos(b, s, 1, cy), get_pen());
        },
        charge);
    if (b.overran) return batch_overrun(L, charge(rows));
    spend_cpu(charge(rows));
    return 0;
  }
  if (lua_gettop(L) < 2) return 0;
  int32_t pen = api_colour(L, 3);
  putpixel(t, api_pos_x(L, 1), api_pos_y(L, 2), pen);
  return 0;
}

int lua54_pget(lua_State *L) {
  udata *t = api_target();
  if (!t || lua_gettop(L) < 2) return 0;
  lua_pushinteger(L, getpixel(t, api_pos_x(L, 1), api_pos_y(L, 2)));
  return 1;
}

int lua54_fset(lua_State *L) {
  if (!cproc) return 0;
  int32_t addr = int32_t(RAM_SPRITE_FLAGS) + int32_t(kvd_intp(L, 1, 0) & GFX_MAP_SPRITE_MASK);
  int64_t f = kvd_intp(L, 2, 0);
  if (lua_gettop(L) >= 3) {
    uint32_t bit = uint32_t(1) << (f & 31), v = uint32_t(peek(addr));
    poke(addr, int32_t(lua_toboolean(L, 3) ? v | bit : v & ~bit));
  } else {
    poke(addr, int32_t(f & 0xFF));
  }
  return 0;
}

int lua54_fget(lua_State *L) {
  if (!cproc) return 0;
  int32_t v = peek(int32_t(RAM_SPRITE_FLAGS) + int32_t(kvd_intp(L, 1, 0) & GFX_MAP_SPRITE_MASK));
  if (lua_gettop(L) < 2) {
    lua_pushinteger(L, v);
  } else {
    lua_pushboolean(L, (uint32_t(v) >> (kvd_intp(L, 2, -1) & 31)) & 1);
  }
  return 1;
}

int lua54_mset(lua_State *L) {
  int64_t i = map_cell(L);
  if (i >= 0) {
    udata_note_write(cproc->current_map);
    udata_set_int(cproc->current_map, uint64_t(i), int16_t(kvd_intp(L, 3, 0)));
  }
  return 0;
}

int lua54_mget(lua_State *L) {
  int64_t i = map_cell(L);
  if (i < 0) return 0;
  lua_pushinteger(L, int16_t(udata_get_int(cproc->current_map, uint64_t(i))));
  return 1;
}

int lua54_camera(lua_State *L) {
  if (!cproc) return 0;
  // The arguments are read before the results are pushed over them.
  int64_t x = kvd_intp(L, 1, 0), y = kvd_intp(L, 2, 0);
  lua_pushinteger(L, api_camera_x());
  lua_pushinteger(L, api_camera_y());
  poke4(RAM_CAMERA_X, uint32_t(x));
  poke4(RAM_CAMERA_Y, uint32_t(y));
  return 2;
}

int lua54_clip(lua_State *L) {
  if (!cproc || !cproc->draw_target) return 0;
  udata *t = cproc->draw_target;
  target_clip_rect old = cproc->target_clip;
  int64_t w = t->width, h = t->height, x0 = 0, y0 = 0, x1 = w, y1 = h;
  if (lua_gettop(L) >= 4) {
    int64_t x = kvd_intp(L, 1, 0), y = kvd_intp(L, 2, 0);
    int64_t xe = saturating_add(x, kvd_intp(L, 3, 0)), ye = saturating_add(y, kvd_intp(L, 4, 0));
    if (lua_toboolean(L, 5)) {
      auto clamp = [](int64_t v, int64_t lo, int64_t hi) { return std::max(std::min(v, hi), lo); };
      x0 = clamp(x, old.left, old.right), y0 = clamp(y, old.top, old.bottom);
      x1 = clamp(xe, old.left, old.right), y1 = clamp(ye, old.top, old.bottom);
    } else {
      x0 = std::max<int64_t>(x, 0), y0 = std::max<int64_t>(y, 0);
      x1 = xe <= w ? xe : w, y1 = ye <= h ? ye : h;
    }
  }
  // Stored as i16, held within that range so that an edge far off the
  // target stays off it instead of wrapping onto it.
  poke2(int32_t(RAM_CLIP_RECT), clamp16(x0));
  poke2(int32_t(RAM_CLIP_RECT) + 2, clamp16(y0));
  poke2(int32_t(RAM_CLIP_RECT) + 4, clip_end16(x1, w));
  poke2(int32_t(RAM_CLIP_RECT) + 6, clip_end16(y1, h));
  lua_pushinteger(L, old.left);
  lua_pushinteger(L, old.top);
  lua_pushinteger(L, int64_t(old.right) - old.left);
  lua_pushinteger(L, int64_t(old.bottom) - old.top);
  refresh_target_clip(cproc);
  const target_clip_rect &c = cproc->target_clip;
  lua_pushboolean(L, c.right <= c.left || c.bottom <= c.top);
  return 5;
}

int lua54_cursor(lua_State *L) {
  if (!cproc) return 0;
  poke4(RAM_TEXT_CURSOR_X, uint32_t(kvd_intp(L, 1, 0)));
  poke4(RAM_TEXT_CURSOR_Y, uint32_t(kvd_intp(L, 2, 0)));
  if (lua_type(L, 3) == LUA_TNUMBER) api_colour(L, 3);
  return 0;
}

int lua54_color(lua_State *L) {
  if (cproc) poke2(int32_t(RAM_PEN), int32_t(kvd_intp(L, 1, 6)));
  return 0;
}

int lua54_pal(lua_State *L) {
  if (!cproc) return 0;
  int32_t p = int32_t(kvd_intp(L, 3, 0));
  if (lua_type(L, 1) == LUA_TTABLE) {
    int64_t entries = 0;
    lua_pushnil(L);
    while (lua_next(L, 1)) {
      entries++;
      if (lua_type(L, -2) == LUA_TNUMBER) {
        lua_pushvalue(L, -2);  // kvd_intp reads by index; keep the key untouched
        set_palette_entry(int32_t(kvd_intp(L, -1, 0)), uint32_t(kvd_intp(L, -2, 0)), p);
        lua_pop(L, 1);
      }
      lua_pop(L, 1);
    }
    spend_cpu(2 * entries);
    return 0;
  }
  if (lua_gettop(L) >= 2) {
    set_palette_entry(int32_t(kvd_intp(L, 1, 0)), uint32_t(kvd_intp(L, 2, 0)), p);
    return 0;
  }
  switch (kvd_intp(L, 1, -1)) {
    case -1:
      for (uint32_t i = 0; i < PAL_CLEARED_BYTES; i++) poke(int32_t(PAL_FIRST_CLEARED + i), 0);
      restore_coltabs();
      reset_display_palette();
      spend_cpu(1);
      break;
    case 0:
      restore_coltabs();
      break;
    case 1:
      reset_display_palette();
      spend_cpu(1);
      break;
    case 2:
      for (int32_t i = 0; i < 256; i++)
        poke4(RAM_RGB_PALETTE + 4 * uint32_t(i), default_system_pal[i]);
      spend_cpu(1);
      break;
    default:
      break;
  }
  return 0;
}

int lua54_palt(lua_State *L) {
  if (!cproc) return 0;
  int n = lua_gettop(L);
  if (n >= 2) {
    int32_t c = lua_isnumber(L, 1) ? int32_t(kvd_intp(L, 1, 0) & 0xFF) : 0;
    int32_t table = (c >> 6) & 3;
    if (lua_toboolean(L, 2)) {
      write_coltab_row(table, c & 63, [&](int32_t d) { return (c & 0xC0) | d; });
    } else {
      write_coltab_row(table, c & 63, [&](int32_t) { return (c | 0xC0) & 0xFF; });
    }
    mark_coltab_changed(table);
    return 0;
  }
  uint64_t mask = n == 1 ? uint64_t(kvd_intp(L, 1, 0)) : 1;
  for (int32_t i = 0; i < 64; i++) {
    bool transparent = (mask >> i) & 1;
    write_coltab_row(0, i, [&](int32_t d) { return transparent ? d : 0xC0 | i; });
  }
  mark_coltab_changed(0);
  return 0;
}
