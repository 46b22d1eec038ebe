// Argument reading, clipping and charging of the element-wise frame.
#include "userdata/ud_frame.h"

#include <algorithm>

#include "base/cpu_budget.h"
#include "base/debug_log.h"

ud_walk read_walk(lua_State *L) {
  auto arg = [L](int i, int64_t def) { return int32_t(uint32_t(kvd_intp(L, i, def))); };
  return {arg(4, 0), arg(5, 0), arg(6, 0x1000000), arg(7, 1), arg(8, 1), arg(9, 1)};
}

ud_run clip_run(int64_t p, int64_t step, int64_t count, int64_t n) {
  int64_t k0 = 0, k1 = count;
  if (step == 0) {
    if (p < 0 || p >= n) k1 = 0;
  } else {
    // Mirror a falling walk onto a rising one: p - k * s in [0, n) is
    // (n - 1 - p) + k * s in [0, n).
    int64_t s = step > 0 ? step : -step;
    int64_t q = step > 0 ? p : n - 1 - p;
    if (q < 0) k0 = (-q + s - 1) / s;
    int64_t end = n - q <= 0 ? 0 : (n - q + s - 1) / s;
    if (end < k1) k1 = end;
  }
  return {k0, k1};
}

// True when the walk writes every element of the primary's shape: one span
// (in the normal order) from element 0 at least as long as the primary,
// with a second operand read from its element 0 and at least as long.
static bool walk_covers_primary(const frame_call &c) {
  const ud_walk &w = c.walk;
  int64_t n = int64_t(udata_count(c.primary));
  if (w.spans < 1 || w.spans > w.length || w.a_offset != 0 || w.length < n) return false;
  return !c.second || (w.b_offset == 0 && int64_t(udata_count(c.second)) >= n);
}

bool frame_begin(lua_State *L, frame_prologue prologue, frame_call *c, bool integer_only) {
  udata *a = to_udata(L, 1), *b = to_udata(L, 2);
  if (!a && !b) return false;
  if (integer_only && ((a ? a : b)->utype & 31) == UTYPE_F64) return false;
  bool arg2_nil = lua_isnoneornil(L, 2);
  if (prologue == PROLOGUE_STRICT && (arg2_nil || lua_gettop(L) < 2)) return false;
  if (prologue == PROLOGUE_SELF && a && (arg2_nil || lua_gettop(L) < 2)) b = a;
  if (a && b && (a->utype & 31) != (b->utype & 31)) return false;
  c->primary = a ? a : b;
  int primary_index = a ? 1 : 2;
  c->type = c->primary->utype & 31;
  if (a && b) {
    c->second = b;
    c->form = FORM_OPERAND;
    c->scalar = 0;
  } else {
    c->second = nullptr;
    c->form = a ? FORM_SCALAR_RIGHT : FORM_SCALAR_LEFT;
    int scalar_index = a ? 2 : 1;
    bool number = !a || lua_type(L, 2) == LUA_TNUMBER;
    c->scalar = number ? lua_tonumberx(L, scalar_index, nullptr) : 0;
  }
  udata *dest = to_udata(L, 3);
  int dest_index = 3;
  if (!dest && lua_toboolean(L, 3)) dest = c->primary, dest_index = primary_index;
  if (dest && (dest->width != c->primary->width || dest->height != c->primary->height ||
               (dest->utype & 31) != c->type))
    return false;
  c->walk = read_walk(L);
  if (dest) {
    lua_pushvalue(L, dest_index);
  } else {
    // The copy can run finalizers that reshape an operand checked above.
    udata seen_a = udata_header(a), seen_b = udata_header(b);
    // A walk that writes every element of the copy needs none of its values.
    dest = walk_covers_primary(*c) ? push_userdata_to_overwrite(L, c->primary)
                                   : push_duplicate_userdata(L, c->primary);
    if (!udata_unchanged(a, seen_a) || !udata_unchanged(b, seen_b)) {
      lua_pop(L, 1);
      return false;
    }
    spend_cpu(int64_t(uint32_t(c->primary->width * c->primary->height) >> 7));
  }
  c->dest = dest;
  return true;
}

// The outer indices j, 0 <= j < outer, whose span can touch [0, n): spans of
// `inner` elements, `step` apart inside (at least 1), starting at p + j *
// outer_step. Normal order (step 1): p + j * outer_step in (-inner, n).
// Swapped order (outer step 1): p + j in [-(inner - 1) * step, n), which
// keeps every touching span and may keep a few that step over the record.
static ud_run visible_spans(int64_t p, int64_t outer_step, int64_t outer, int64_t inner,
                            int64_t step, int64_t n) {
  if (inner < 1 || outer < 1) return {0, 0};
  int64_t reach = (inner - 1) * step;  // at most 2^62
  return clip_run(p + reach, outer_step, outer, n + reach);
}

frame_plan frame_plan_walk(const frame_call &c) {
  const ud_walk &w = c.walk;
  frame_plan p{};
  bool swapped = w.spans > w.length;
  p.outer = swapped ? w.length : w.spans;
  p.inner = swapped ? w.spans : w.length;
  p.step_a = swapped ? w.a_stride : 1;
  p.step_b = swapped ? w.b_stride : 1;
  p.outer_a = swapped ? 1 : w.a_stride;
  p.outer_b = swapped ? 1 : w.b_stride;
  p.n_a = int64_t(udata_count(c.primary));
  p.n_b = c.second ? int64_t(udata_count(c.second)) : 0;
  // Swapped order with a stride below 1 processes nothing.
  p.idle = p.step_a < 1 || (c.second && p.step_b < 1);
  if (p.idle) return p;
  ud_run r = visible_spans(w.a_offset, p.outer_a, p.outer, p.inner, p.step_a, p.n_a);
  // A span meets at most ceil(n / step) elements of a record.
  p.span_most = std::min(p.inner, (p.n_a + p.step_a - 1) / p.step_a);
  if (c.second) {
    ud_run rb = visible_spans(w.b_offset, p.outer_b, p.outer, p.inner, p.step_b, p.n_b);
    r.k0 = std::max(r.k0, rb.k0);
    r.k1 = std::min(r.k1, rb.k1);
    p.span_most = std::min(p.span_most, (p.n_b + p.step_b - 1) / p.step_b);
  }
  p.j0 = r.k0;
  p.j1 = r.k1 > r.k0 ? r.k1 : r.k0;
  return p;
}

int64_t ud_host_work(int64_t count, int64_t ns10) {
  INVARIANT(ns10 >= 1);
  if (count <= 0) return 0;
  // Far past the overrun bound of any slice, and far from overflow.
  constexpr int64_t most = int64_t(1) << 60;
  int64_t tenths = 0;
  if (__builtin_mul_overflow(count, ns10, &tenths) || tenths > most) return most;
  return (tenths + UD_NS10_PER_CYCLE - 1) / UD_NS10_PER_CYCLE;
}

int64_t frame_host_work(const frame_plan &p, int64_t ns10) {
  if (p.idle || p.j1 <= p.j0) return 0;
  // At most 2^31 spans of at most 2^24 elements: the product fits.
  int64_t spans = p.j1 - p.j0;
  int64_t elements = spans * std::max<int64_t>(p.span_most, 0);
  return ud_host_work(spans, UD_NS10_SPAN) + ud_host_work(elements, ns10);
}

void frame_check_work(lua_State *L, int64_t work) {
  // The budget's own test adds work to a 32-bit counter in 64 bits: keep
  // work where that sum cannot wrap.
  constexpr int64_t most = int64_t(1) << 60;
  if (cpu_loop_overruns(work < most ? work : most)) luaL_error(L, "%s", CPU_OVERRUN_MESSAGE);
}

void frame_charge(const frame_totals &t, int64_t divisor) {
  INVARIANT(divisor >= 1);
  spend_cpu(t.elements / divisor + t.outer / 2);
}
