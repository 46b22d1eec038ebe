// Argument reading, clipping and charging of the element-wise frame.
#include "userdata/ud_frame.h"

#include "kernel/cpu_budget.h"

ud_walk read_walk(lua_State *L) {
  auto arg = [L](int i, int64_t def) { return int32_t(uint32_t(kvd_intp(L, i, def))); };
  return {arg(4, 0), arg(5, 0), arg(6, 0x1000000), arg(7, 1), arg(8, 1), arg(9, 1)};
}

ud_run clip_run(int64_t p, int64_t step, int64_t count, int64_t n) {
  int64_t k0 = p >= 0 ? 0 : (-p + step - 1) / step;
  int64_t k1 = n - p <= 0 ? 0 : (n - p + step - 1) / step;
  return {k0, k1 < count ? k1 : count};
}

bool frame_begin(lua_State *L, frame_prologue prologue, frame_call *c) {
  udata *a = to_udata(L, 1), *b = to_udata(L, 2);
  if (!a && !b) return false;
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
    dest = push_duplicate_userdata(L, c->primary);
    spend_cpu(int64_t(uint32_t(c->primary->width * c->primary->height) >> 7));
  }
  c->dest = dest;
  return true;
}

void frame_charge(const frame_totals &t, int64_t divisor) {
  spend_cpu(t.elements / divisor + t.outer / 2);
}
