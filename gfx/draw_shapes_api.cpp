// Drawing API: shapes, lines, sprites and textured lines.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "base/cpu_budget.h"
#include "base/ram_layout.h"
#include "machine/memory.h"
#include "machine/process.h"
#include "lang/args.h"
#include "userdata/udata.h"
#include "gfx/blit.h"
#include "gfx/draw_api.h"
#include "gfx/map.h"
#include "gfx/pixel.h"
#include "gfx/shapes.h"
#include "gfx/tline.h"

namespace {

bool inverted() { return cproc && cproc->inverted_shape; }

// The rectangle, or with the inverted flag the four rectangles around it.
int64_t rectfill_either(udata *t, int32_t x0, int32_t y0, int32_t x1, int32_t y1, int32_t pen) {
  if (!inverted()) return rectfill(t, x0, y0, x1, y1, pen);
  // The edges next to the rectangle, held within 32 bits: an edge at the
  // clamp stays there (off every target) instead of wrapping to the far end.
  // The corners in the caller's order.
  int32_t w = int32_t(t->width), h = int32_t(t->height);
  int32_t above = api_clamp32(int64_t(y0) - 1), below = api_clamp32(int64_t(y1) + 1);
  int32_t before = api_clamp32(int64_t(x0) - 1), after = api_clamp32(int64_t(x1) + 1);
  return int64_t(rectfill(t, -1, -1, w, above, pen)) + rectfill(t, -1, below, w, h, pen) +
         rectfill(t, -1, y0, before, y1, pen) + rectfill(t, after, y0, w, y1, pen);
}

int64_t whole_target(udata *t, int32_t pen) {
  return rectfill(t, 0, 0, int32_t(t->width) - 1, int32_t(t->height) - 1, pen);
}
// An upper bound of what whole_target returns.
int64_t whole_target_bound(const udata *t, int32_t pen) {
  return rows_cost_bound(t, INT32_MIN, INT32_MAX, INT32_MIN, INT32_MAX, false, pen);
}

// The pixels draw_line draws of the line: its cost.
int64_t line_cost(const udata *t, int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
  line_steps s = line_plan(drawing_clip(t), x0, y0, x1, y1);
  return std::max<int64_t>(0, s.last - s.first + 1);
}

// An upper bound of what rect_outline returns: its four edges whole.
int64_t rect_outline_bound(const udata *t, int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
  return 2 * (line_cost(t, x0, y0, x1, y0) + line_cost(t, x0, y0, x0, y1));
}

// The outline of a rectangle with no corner drawn twice.
int64_t rect_outline(udata *t, int32_t x0, int32_t y0, int32_t x1, int32_t y1, int32_t pen) {
  int64_t cost = draw_line(t, x0, y0, x1, y0, pen);
  if (y1 != y0) cost += draw_line(t, x0, y1, x1, y1, pen);
  if (std::abs(int64_t(y1) - y0) >= 2) {
    int32_t top = std::min(y0, y1) + 1, bottom = std::max(y0, y1) - 1;
    cost += draw_line(t, x0, top, x0, bottom, pen) + draw_line(t, x1, top, x1, bottom, pen);
  }
  return cost;
}

// The four corner coordinates of arguments 1..4, camera-relative.
struct corners {
  int32_t x0, y0, x1, y1;
};
corners read_corners(lua_State *L) {
  return {api_pos_x(L, 1), api_pos_y(L, 2), api_pos_x(L, 3), api_pos_y(L, 4)};
}

// An upper bound of what rectfill_either returns.
int64_t rectfill_bound(const udata *t, const corners &c, int32_t pen) {
  if (inverted()) return rows_cost_bound(t, 0, 0, INT32_MIN, INT32_MAX, true, pen);
  return rows_cost_bound(t, c.x0, c.x1, std::min(c.y0, c.y1), std::max(c.y0, c.y1), false, pen);
}

// The corner radius of a rounded rectangle of w x h.
int64_t rounded_radius(int64_t w, int64_t h, int64_t r) {
  return std::min(std::min(w, h) / 2 - 1, r);
}

// A number or numeric string argument as a float, else def.
double number_or(lua_State *L, int index, double def) {
  return lua_isnumber(L, index) ? lua_tonumber(L, index) : def;
}

}  // namespace

int lua54_rectfill(lua_State *L) {
  udata *t = api_target();
  if (!t) return 0;
  draw_batch b;
  if (api_batch(L, 5, &b)) {
    int32_t pen = get_pen(), cx = api_camera_x(), cy = api_camera_y();
    int64_t cost = 0;
    bool refused = false;  // a rectangle whose rows would pass the overrun bound
    auto charge = [&](int64_t k) { return 2 * k + cost / 3; };
    auto work = [&](int64_t k) { return refused ? INT32_MAX : 2 * k + cost; };
    int64_t rows = for_batch_rows(
        b,
        [&](int64_t s) {
          cproc->inverted_shape = 0;
          set_colp(batch_int(b, s, 4, pen));
          corners c = {batch_pos(b, s, 0, cx), batch_pos(b, s, 1, cy), batch_pos(b, s, 2, cx),
                       batch_pos(b, s, 3, cy)};
          if (cpu_loop_overruns((cost + rectfill_bound(t, c, get_pen())) / 3)) {
            refused = true;
            return;
          }
          cost += rectfill_either(t, c.x0, c.y0, c.x1, c.y1, get_pen());
        },
        work);
    if (b.overran || refused) return batch_overrun(L, charge(rows));
    spend_cpu(charge(rows));
    return 0;
  }
  if (lua_gettop(L) < 4) return 0;
  int32_t pen = api_colour(L, 5);
  corners c = read_corners(L);
  api_check_work(L, rectfill_bound(t, c, pen) / 3);
  spend_cpu(rectfill_either(t, c.x0, c.y0, c.x1, c.y1, pen) / 3);
  return 0;
}

int lua54_rect(lua_State *L) {
  udata *t = api_target();
  if (!t || lua_gettop(L) < 4) return 0;
  int32_t pen = api_colour(L, 5);
  corners c = read_corners(L);
  api_check_work(L, rect_outline_bound(t, c.x0, c.y0, c.x1, c.y1) / 3);
  spend_cpu(rect_outline(t, c.x0, c.y0, c.x1, c.y1, pen) / 3);
  return 0;
}

int lua54_ovalfill(lua_State *L) {
  udata *t = api_target();
  if (!t || lua_gettop(L) < 4) return 0;
  int32_t pen = api_colour(L, 5);
  corners c = read_corners(L);
  api_check_work(L, oval_cost_bound(t, c.x0, c.y0, c.x1, c.y1, true, pen) / 3);
  spend_cpu(draw_filloval(t, c.x0, c.y0, c.x1, c.y1, pen) / 3);
  return 0;
}

int lua54_oval(lua_State *L) {
  udata *t = api_target();
  if (!t || lua_gettop(L) < 4) return 0;
  int32_t pen = api_colour(L, 5);
  corners c = read_corners(L);
  api_check_work(L, oval_cost_bound(t, c.x0, c.y0, c.x1, c.y1, false, pen));
  spend_cpu(draw_oval(t, c.x0, c.y0, c.x1, c.y1, pen));
  return 0;
}

// circfill and circ share the reading of (x, y, r, c), single and batch.
static int circle(lua_State *L, bool fill) {
  udata *t = api_target();
  if (!t) return 0;
  int32_t cx = api_camera_x(), cy = api_camera_y();
  // A third of a circle's cost is charged; one whose work would pass the
  // overrun bound (after `before` cycles more) is refused undrawn.
  bool refused = false;
  auto one = [&](int64_t x, int64_t y, int64_t r, int32_t pen, int64_t before) -> int64_t {
    if (r < 0 && !(fill && inverted())) return 0;
    if (r < 0) {
      if (cpu_loop_overruns(before + whole_target_bound(t, pen) / 3)) {
        refused = true;
        return 0;
      }
      return whole_target(t, pen);
    }
    int32_t x0 = api_clamp32(x - r), y0 = api_clamp32(y - r);
    int32_t x1 = api_clamp32(x + r), y1 = api_clamp32(y + r);
    if (cpu_loop_overruns(before + oval_cost_bound(t, x0, y0, x1, y1, fill, pen) / 3)) {
      refused = true;
      return 0;
    }
    return fill ? draw_filloval(t, x0, y0, x1, y1, pen) : draw_oval(t, x0, y0, x1, y1, pen);
  };
  draw_batch b;
  if (api_batch(L, 4, &b)) {
    int32_t pen = get_pen();
    int64_t cost = 0;
    auto charge = [&](int64_t k) { return 2 * k + cost / 3; };
    auto work = [&](int64_t k) { return refused ? INT32_MAX : 2 * k + cost; };
    int64_t rows = for_batch_rows(
        b,
        [&](int64_t s) {
          cproc->inverted_shape = 0;
          set_colp(batch_int(b, s, 3, pen));
          cost += one(batch_pos(b, s, 0, cx), batch_pos(b, s, 1, cy),
                      api_floor(batch_field(b, s, 2, 4)), get_pen(), cost / 3);
        },
        work);
    if (b.overran || refused) return batch_overrun(L, charge(rows));
    spend_cpu(charge(rows));
    return 0;
  }
  if (lua_gettop(L) < 2) return 0;
  int32_t pen = api_colour(L, 4);
  int64_t r = api_int(L, 3, 4);
  int64_t cost = one(api_pos_x(L, 1), api_pos_y(L, 2), r, pen, 0);
  if (refused) luaL_error(L, "%s", CPU_OVERRUN_MESSAGE);
  if (r >= 0 || cost) spend_cpu(cost / 3);
  return 0;
}

int lua54_circfill(lua_State *L) { return circle(L, true); }
int lua54_circ(lua_State *L) { return circle(L, false); }

int lua54_rrect(lua_State *L) {
  udata *t = api_target();
  if (!t || lua_gettop(L) < 2) return 0;
  int32_t pen = api_colour(L, 6);
  int64_t x = api_pos_x(L, 1), y = api_pos_y(L, 2), w = api_int(L, 3, 0), h = api_int(L, 4, 0);
  if (w < 1 || h < 1) return 0;
  int64_t r = rounded_radius(w, h, api_int(L, 5, 0));
  int32_t left = api_clamp32(x), top = api_clamp32(y);
  int32_t right = api_clamp32(x + w - 1), bottom = api_clamp32(y + h - 1);
  int64_t cost;
  if (r < 1) {
    api_check_work(L, rect_outline_bound(t, left, top, right, bottom) / 3);
    cost = rect_outline(t, left, top, right, bottom, pen);
  } else {
    // The straight edges between the corners: columns a..e, rows f..g.
    int32_t a = api_clamp32(x + r + 2), e = api_clamp32(x + w - r - 3);
    int32_t f = api_clamp32(y + r + 2), g = api_clamp32(y + h - r - 3);
    int64_t edges = 0;
    if (a <= e) edges += line_cost(t, a, top, e, top) + line_cost(t, a, bottom, e, bottom);
    if (f <= g) edges += line_cost(t, left, f, left, g) + line_cost(t, right, f, right, g);
    api_check_work(
        L, (rrect_cost_bound(t, left, top, api_clamp32(x + 2 * r + 2), api_clamp32(y + 2 * r + 2),
                             api_clamp32(w - 2 * r - 3), api_clamp32(h - 2 * r - 3), false, pen) +
            edges) /
               3);
    cost = draw_rrect(t, left, top, api_clamp32(x + 2 * r + 2), api_clamp32(y + 2 * r + 2),
                      api_clamp32(w - 2 * r - 3), api_clamp32(h - 2 * r - 3), pen);
    if (a <= e) cost += draw_line(t, a, top, e, top, pen) + draw_line(t, a, bottom, e, bottom, pen);
    if (f <= g) cost += draw_line(t, left, f, left, g, pen) + draw_line(t, right, f, right, g, pen);
  }
  spend_cpu(cost / 3);
  return 0;
}

int lua54_rrectfill(lua_State *L) {
  udata *t = api_target();
  if (!t || lua_gettop(L) < 2) return 0;
  int32_t pen = api_colour(L, 6);
  int64_t x = api_pos_x(L, 1), y = api_pos_y(L, 2), w = api_int(L, 3, 0), h = api_int(L, 4, 0);
  bool inv = inverted();
  if (w < 1 || h < 1) {
    if (inv) {
      api_check_work(L, whole_target_bound(t, pen) / 3);
      spend_cpu(whole_target(t, pen) / 3);
    }
    return 0;
  }
  int32_t left = api_clamp32(x), right = api_clamp32(x + w - 1);
  int64_t r = rounded_radius(w, h, api_int(L, 5, 0));
  // The corners with the rows between them, or the rows of a plain box.
  int64_t first = r > 0 ? y + r + 2 : y, last = r > 0 ? y + h - r - 3 : y + h - 1;
  int32_t top = api_clamp32(y), bottom = api_clamp32(y + 2 * r + 2);
  int32_t ex = api_clamp32(w - 2 * r - 3), ey = api_clamp32(h - 2 * r - 3);
  int64_t work = rows_cost_bound(t, left, right, first, last, inv, pen);
  if (r > 0)
    work += rrect_cost_bound(t, left, top, api_clamp32(x + 2 * r + 2), bottom, ex, ey, true, pen);
  else if (inv)
    work += rows_cost_bound(t, INT32_MIN, INT32_MAX, INT32_MIN, INT32_MAX, false, pen);
  api_check_work(L, work / 3);
  int64_t cost = draw_rows(t, left, right, first, last, pen, inv);
  if (r > 0) {
    cost += draw_rrectfill(t, left, top, api_clamp32(x + 2 * r + 2), bottom, ex, ey, pen);
  } else if (inv) {
    int32_t width = int32_t(t->width), height = int32_t(t->height);
    cost += rectfill(t, -1, -1, width, api_clamp32(y - 1), pen);
    cost += rectfill(t, -1, api_clamp32(y + h), width, height, pen);
  }
  spend_cpu(cost / 3);
  return 0;
}

int lua54_line(lua_State *L) {
  udata *t = api_target();
  if (!t) return 0;
  int32_t cx = api_camera_x(), cy = api_camera_y();
  draw_batch b;
  if (api_batch(L, 5, &b)) {
    int32_t pen = get_pen();
    int64_t cost = 0;
    // A polyline continues from the stored end point, taken as it is.
    int32_t px = peek4(int32_t(RAM_LINE_END_X)), py = peek4(int32_t(RAM_LINE_END_Y));
    bool refused = false;  // a line whose pixels would pass the overrun bound
    auto charge = [&](int64_t k) { return 3 * k + cost; };
    // One line, tested against the bound with the lines before it.
    auto one = [&](int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
      if (cpu_loop_overruns(cost + line_cost(t, x0, y0, x1, y1))) {
        refused = true;
        return;
      }
      cost += draw_line(t, x0, y0, x1, y1, get_pen());
    };
    int64_t rows = for_batch_rows(
        b,
        [&](int64_t s) {
          if (b.params >= 4) {
            set_colp(batch_int(b, s, 4, pen));
            one(batch_pos(b, s, 0, cx), batch_pos(b, s, 1, cy), batch_pos(b, s, 2, cx),
                batch_pos(b, s, 3, cy));
            return;
          }
          set_colp(batch_int(b, s, 2, pen));
          int32_t x = batch_pos(b, s, 0, cx), y = batch_pos(b, s, 1, cy);
          one(px, py, x, y);
          px = x, py = y;
        },
        [&](int64_t k) { return refused ? INT32_MAX : charge(k); });
    if (b.overran || refused) return batch_overrun(L, charge(rows));
    spend_cpu(charge(rows));
    return 0;
  }
  int n = lua_gettop(L);
  if (n <= 1) {
    poke(int32_t(RAM_LINE_RESET), 1);
    if (n == 1) api_colour(L, 1);
    return 0;
  }
  if (n <= 3) {
    int32_t x = api_int(L, 1, 0), y = api_int(L, 2, 0);
    int32_t pen = api_colour(L, 3);
    if (peek(int32_t(RAM_LINE_RESET)) == 1) {
      poke(int32_t(RAM_LINE_RESET), 0);
    } else {
      int64_t ex = peek4(int32_t(RAM_LINE_END_X)), ey = peek4(int32_t(RAM_LINE_END_Y));
      int32_t x0 = api_clamp32(int64_t(x) - cx), y0 = api_clamp32(int64_t(y) - cy);
      int32_t x1 = api_clamp32(ex - cx), y1 = api_clamp32(ey - cy);
      api_check_work(L, line_cost(t, x0, y0, x1, y1));
      spend_cpu(draw_line(t, x0, y0, x1, y1, pen));
    }
    poke4(RAM_LINE_END_X, uint32_t(x));
    poke4(RAM_LINE_END_Y, uint32_t(y));
    return 0;
  }
  int32_t pen = api_colour(L, 5);
  corners c = read_corners(L);
  api_check_work(L, line_cost(t, c.x0, c.y0, c.x1, c.y1));
  spend_cpu(draw_line(t, c.x0, c.y0, c.x1, c.y1, pen));
  int32_t x1 = api_int(L, 3, 0), y1 = api_int(L, 4, 0);
  poke4(RAM_LINE_END_X, uint32_t(x1));
  poke4(RAM_LINE_END_Y, uint32_t(y1));
  return 0;
}

int lua54_tline3d(lua_State *L) {
  udata *t = api_target();
  if (!t) return 0;
  double cx = api_camera_x(), cy = api_camera_y();
  draw_batch b;
  if (api_batch(L, 12, &b)) {
    // The charge is a third of a step or less, but the bound counts each
    // step a cycle, so the lines' steps are summed apart from their charge.
    // Each row also pays for reading its fields and planning its line.
    int64_t cost = 0, steps = 0;
    bool refused = false;  // a line whose steps would pass the overrun bound
    constexpr int64_t row_cycles = 3 + TLINE_LINE_COST;
    auto charge = [&](int64_t k) { return row_cycles * k + cost; };
    int64_t rows = for_batch_rows(
        b,
        [&](int64_t s) {
          int64_t n = batch_int(b, s, 0, -1);
          udata *src = sprite_entry(n & GFX_MAP_SPRITE_MASK);
          double x0 = batch_field(b, s, 1, 0) - cx, y0 = batch_field(b, s, 2, 0) - cy;
          double x1 = batch_field(b, s, 3, 0) - cx, y1 = batch_field(b, s, 4, 0) - cy;
          int64_t n_steps = tline3d_steps(t, x0, y0, x1, y1);
          if (cpu_loop_overruns(steps + n_steps)) {
            refused = true;
            return;
          }
          steps += n_steps;
          double u0 = batch_field(b, s, 5, 0), v0 = batch_field(b, s, 6, 0);
          cost += draw_tline3d(src, t, x0, y0, x1, y1, u0, v0, batch_field(b, s, 7, u0 + (x1 - x0)),
                               batch_field(b, s, 8, v0 + (y1 - y0)), batch_field(b, s, 9, 1),
                               batch_field(b, s, 10, 1), api_clamp32(batch_int(b, s, 11, 0)));
        },
        [&](int64_t k) { return refused ? INT32_MAX : row_cycles * k + steps; });
    if (b.overran || refused) return batch_overrun(L, charge(rows));
    spend_cpu(charge(rows));
    return 0;
  }
  if (lua_gettop(L) < 4) return 0;
  udata *src = get_sprite_p(L, 1);
  double x0 = lua_tonumber(L, 2) - cx, y0 = lua_tonumber(L, 3) - cy;
  double x1 = lua_tonumber(L, 4) - cx, y1 = lua_tonumber(L, 5) - cy;
  double u0 = lua_tonumber(L, 6), v0 = lua_tonumber(L, 7);
  api_check_work(L, tline3d_steps(t, x0, y0, x1, y1));
  spend_cpu(draw_tline3d(src, t, x0, y0, x1, y1, u0, v0, number_or(L, 8, u0 + (x1 - x0)),
                         number_or(L, 9, v0 + (y1 - y0)), number_or(L, 10, 1), number_or(L, 11, 1),
                         int32_t(kvd_intp(L, 12, 0))));
  return 0;
}

int lua54_sspr(lua_State *L) {
  udata *t = api_target();
  udata *s = t ? get_sprite_p(L, 1) : nullptr;
  if (!s) return 0;
  int64_t sw_full = s->width, sh_full = s->height;
  // Every argument held within 32 bits, so no product below overflows.
  int64_t sx = api_int(L, 2, 0), sy = api_int(L, 3, 0);
  int64_t sw = api_int(L, 4, sw_full), sh = api_int(L, 5, sh_full);
  if (sw < 1 || sh < 1) return 0;
  int64_t dx = api_pos_x(L, 6), dy = api_pos_y(L, 7);
  int64_t dw = api_int(L, 8, sw), dh = api_int(L, 9, sh);
  bool flip_x = lua_toboolean(L, 10), flip_y = lua_toboolean(L, 11);
  if (dw < 0) dx += dw, dw = -dw, flip_x = !flip_x;
  if (dh < 0) dy += dh, dh = -dh, flip_y = !flip_y;
  // A source starting left of or above the sprite: the destination moves by
  // the part cut off, and the source is read from its edge.
  if (sx < 0) dx += (-sx * dw) / sw, sx = 0;
  if (sy < 0) dy += (-sy * dh) / sh, sy = 0;
  int64_t W = std::min(sw, sw_full - sx), H = std::min(sh, sh_full - sy);
  if (sw_full - sx <= sw) dw = dw * (sw_full - sx) / sw;
  if (sh_full - sy <= sh) dh = dh * (sh_full - sy) / sh;
  if (dw < 1 || dh < 1 || W < 1 || H < 1) return 0;
  if (std::abs(dx) > INT32_MAX / 2 || std::abs(dy) > INT32_MAX / 2 || dw > INT32_MAX / 2 ||
      dh > INT32_MAX / 2)
    return 0;
  double ustep = double(W) / double(dw), vstep = double(H) / double(dh);
  int64_t cost = 0;
  int32_t left = int32_t(dx), top = int32_t(dy);
  // Only the lines inside the clip can draw: the others are not visited.
  // Each line visited costs TLINE_LINE_COST more than its pixels.
  clip_box clip = drawing_clip(t);
  auto check_lines = [&](int64_t first, int64_t end, int64_t pixels) {
    if (end > first)
      api_check_work(L, (end - first) *
                            (TLINE_LINE_COST + TLINE_SSPR_WEIGHT * tline_sspr_cost_bound(pixels)) /
                            3);
    cost += std::max<int64_t>(0, end - first) * TLINE_LINE_COST;
  };
  if (dw <= dh) {
    double va = double(sy) + vstep / 2, vb = double(sy + H) - vstep / 2;
    if (flip_y) std::swap(va, vb);
    int64_t first = std::max<int64_t>(0, clip.left - dx),
            end = std::min<int64_t>(dw, clip.right - dx);
    check_lines(first, end, std::min<int64_t>(dh, int64_t(clip.bottom) - clip.top));
    for (int64_t i = first; i < end; i++) {
      int64_t ic = flip_x ? dw - 1 - i : i;
      double u = double(sx) + (double(ic) + 0.5) * ustep;
      int32_t x = left + int32_t(i);
      cost +=
          TLINE_SSPR_WEIGHT * draw_tline_sspr(s, t, x, top, x, top + int32_t(dh) - 1, u, va, u, vb);
    }
  } else {
    double ua = double(sx) + ustep / 2, ub = double(sx + W) - ustep / 2;
    if (flip_x) std::swap(ua, ub);
    int64_t first = std::max<int64_t>(0, clip.top - dy),
            end = std::min<int64_t>(dh, clip.bottom - dy);
    check_lines(first, end, std::min<int64_t>(dw, int64_t(clip.right) - clip.left));
    for (int64_t j = first; j < end; j++) {
      int64_t jc = flip_y ? dh - 1 - j : j;
      double v = double(sy) + (double(jc) + 0.5) * vstep;
      int32_t y = top + int32_t(j);
      cost += TLINE_SSPR_WEIGHT *
              draw_tline_sspr(s, t, left, y, left + int32_t(dw) - 1, y, ua, v, ub, v);
    }
  }
  spend_cpu(cost / 3);
  return 0;
}

int lua54_spr(lua_State *L) {
  udata *t = api_target();
  if (!t) return 0;
  draw_batch b;
  if (api_batch(L, 5, &b)) {
    int64_t cost = 0;
    bool refused = false;  // a sprite whose drawing would pass the overrun bound
    auto charge = [&](int64_t k) { return 2 * k + cost / 3; };
    auto work = [&](int64_t k) { return refused ? INT32_MAX : 2 * k + cost; };
    int64_t rows = for_batch_rows(
        b,
        [&](int64_t s) {
          int64_t n = batch_int(b, s, 0, -1);
          udata *spr = n >= 0 && n < GFX_SPRITES ? sprite_entry(n) : nullptr;
          if (!spr) return;
          int32_t x = api_floor(batch_field(b, s, 1, 0)), y = api_floor(batch_field(b, s, 2, 0));
          int32_t w = int32_t(spr->width), h = int32_t(spr->height);
          if (cpu_loop_overruns((cost + draw_spr_bound(spr, t, 0, 0, x, y, w, h)) / 3)) {
            refused = true;
            return;
          }
          cost += draw_spr(spr, t, 0, 0, x, y, w, h, batch_field(b, s, 3, 0) < 0,
                           batch_field(b, s, 4, 0) < 0);
        },
        work);
    if (b.overran || refused) return batch_overrun(L, charge(rows));
    spend_cpu(charge(rows));
    return 0;
  }
  udata *spr = get_sprite_p(L, 1);
  if (!spr) return 0;
  int32_t x = api_pos_x(L, 2), y = api_pos_y(L, 3);
  int32_t w = int32_t(spr->width), h = int32_t(spr->height);
  api_check_work(L, draw_spr_bound(spr, t, 0, 0, x, y, w, h) / 3);
  spend_cpu(draw_spr(spr, t, 0, 0, x, y, w, h, lua_toboolean(L, 4), lua_toboolean(L, 5)) / 3);
  return 0;
}
