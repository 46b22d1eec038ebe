// The blit glue between Lua and the rectangle copy.
#include "gfx/ud_blit.h"

#include "base/cpu_budget.h"
#include "machine/process.h"
#include "lang/args.h"
#include "userdata/udata.h"
#include "gfx/blit.h"
#include "gfx/draw_target.h"
#include "gfx/pixel.h"

int lua54_blit_0(lua_State *L) {
  proc *p = cproc;
  udata *target = p ? p->draw_target : nullptr;
  udata *src = to_udata(L, 1);
  udata *dst = to_udata(L, 2);
  if (!src) src = target;
  if (!dst) dst = target;
  if (!src || !dst) return 0;
  if (dst == target) refresh_target_clip(p);
  int32_t sx = int32_t(kvd_intp(L, 3, 0)), sy = int32_t(kvd_intp(L, 4, 0));
  int32_t dx = int32_t(kvd_intp(L, 5, 0)), dy = int32_t(kvd_intp(L, 6, 0));
  int32_t w = int32_t(kvd_intp(L, 7, src->width)), h = int32_t(kvd_intp(L, 8, src->height));
  bool whole = p && dst != target;
  if (whole) set_temporary_clipping(dst);
  // A copy whose charge would take the slice past the overrun bound is
  // refused before anything is copied.
  if (cpu_loop_overruns(blit_cost_bound(src, dst, sx, sy, dx, dy, w, h) / 64)) {
    if (whole) restore_after_temporary_clipping();
    return luaL_error(L, "%s", CPU_OVERRUN_MESSAGE);
  }
  int64_t work = blit(src, dst, sx, sy, dx, dy, w, h);
  if (whole) restore_after_temporary_clipping();
  if (work > 0) spend_cpu(work / 64);  // nothing copied, nothing charged
  return 0;
}

int lua54_blit(lua_State *L) { return lua54_blit_0(L); }
int lua54_ud_blit(lua_State *L) { return lua54_blit_0(L); }
