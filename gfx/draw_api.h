// The drawing functions of the Lua API: state and pixel functions (pen,
// pattern, camera, clip, cursor, palettes, transparency, pixels, sprite
// flags, map cells) and shapes, lines, sprites and textured lines.
//
// Shared conventions: integer arguments through kvd_intp; positions are world
// positions (the camera at 0x5510 is subtracted); a colour argument counts
// only when it is a number and then goes through set_colp, so it stays the
// pen (each such call first clears the inverted-shape flag); a call that
// draws or reads the draw target does nothing and returns nothing without
// one, and refreshes the cached clip first. No function raises a Lua error
// but the overrun error: a call whose work, found before it draws, would
// take the slice past the overrun bound is refused, and a batch stops where
// its next row would.
//
// Batch form (pset, rectfill, circfill, circ, line, spr, tline3d): argument 1
// an f64 userdata, then offset = 0, count = rows, params = width (clamped to
// the function's maximum), stride = width. Row k's fields start at element
// offset + k * stride. Nothing is drawn (and the call charges the minimum)
// for a negative offset or stride, an offset beyond (elements - params) or a
// count below 1; else rows are drawn while their start is within (elements -
// params), at most 262144 of them.
#pragma once
#include <cstdint>

#include "base/cpu_budget.h"
#include "lang/lua_api.h"

struct udata;

// The current process's draw target with its cached clip refreshed; null when
// there is none (or no current process).
udata *api_target();
// The camera of the current process.
int32_t api_camera_x();
int32_t api_camera_y();
// Clears the inverted-shape flag, then a number at index goes through
// set_colp; returns the pen (0x550C, sign-extended).
int32_t api_colour(lua_State *L, int index);
// A Lua number floored to a 32-bit coordinate (saturating; NaN gives 0).
int32_t api_floor(double v);
// A 64-bit value held within the 32-bit range.
int32_t api_clamp32(int64_t v);
// Argument index read with kvd_intp, held within the 32-bit range (so sums of
// a few such values never overflow 64 bits).
int32_t api_int(lua_State *L, int index, int64_t def);
// Argument index as a world position made camera-relative in x or y, held
// within the 32-bit range: a position far off the target stays off it.
int32_t api_pos_x(lua_State *L, int index);
int32_t api_pos_y(lua_State *L, int index);

struct draw_batch {
  const udata *ud;
  int64_t offset, rows, params, stride, last_start;
  bool overran;  // set by for_batch_rows
};
// True when argument 1 is an f64 userdata; b then holds the rows to draw
// (b->rows 0 when none). max_params is the function's N.
bool api_batch(lua_State *L, int64_t max_params, draw_batch *b);
// Field i of the row starting at element start, or def beyond params.
double batch_field(const draw_batch &b, int64_t start, int64_t i, double def);
// Field i as a coordinate: floored, camera subtracted, held within 32 bits
// (default 0).
int32_t batch_pos(const draw_batch &b, int64_t start, int64_t i, int32_t camera);
// Field i as an integer (a colour, a sprite number): floored; NaN and values
// outside 64 bits give INT64_MIN.
int64_t batch_int(const draw_batch &b, int64_t start, int64_t i, double def);
// Calls row(start) for every row of the batch; returns the rows visited.
// Before each row, work(k) is the work of the k rows drawn so far, in
// cycles (the charge before any division): when it would take the running
// slice past the overrun bound, the rows stop and b.overran is set (the
// caller then fails with batch_overrun), so a batch cannot hold the host
// for longer than it could be charged for.
template <class F, class W>
int64_t for_batch_rows(draw_batch &b, F row, W work) {
  int64_t k = 0;
  for (int64_t start = b.offset; k < b.rows && start <= b.last_start; k++, start += b.stride) {
    if (cpu_loop_overruns(work(k))) {
      b.overran = true;
      break;
    }
    row(start);
  }
  return k;
}
// Raises the overrun error, before anything is drawn, when work cycles would
// take the running slice past the overrun bound.
void api_check_work(lua_State *L, int64_t work);
// Charges the rows drawn and raises the error of a loop past the overrun
// bound (as the table library does); does not return.
[[noreturn]] int batch_overrun(lua_State *L, int64_t charge);

// State and pixel functions.
int lua54_cls(lua_State *L);
int lua54_fillp(lua_State *L);
int lua54_pset(lua_State *L);
int lua54_pget(lua_State *L);
int lua54_fset(lua_State *L);
int lua54_fget(lua_State *L);
int lua54_mset(lua_State *L);
int lua54_mget(lua_State *L);
int lua54_camera(lua_State *L);
int lua54_clip(lua_State *L);
int lua54_cursor(lua_State *L);
int lua54_color(lua_State *L);
int lua54_pal(lua_State *L);
int lua54_palt(lua_State *L);

// Shapes, sprites and textured lines.
int lua54_rectfill(lua_State *L);
int lua54_rect(lua_State *L);
int lua54_ovalfill(lua_State *L);
int lua54_circfill(lua_State *L);
int lua54_oval(lua_State *L);
int lua54_circ(lua_State *L);
int lua54_rrect(lua_State *L);
int lua54_rrectfill(lua_State *L);
int lua54_line(lua_State *L);
int lua54_tline3d(lua_State *L);
int lua54_sspr(lua_State *L);
int lua54_spr(lua_State *L);
