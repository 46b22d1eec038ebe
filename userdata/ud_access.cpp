// get and set: runs of elements in and out of a record.
#include "userdata/ud_access.h"

#include <cstdio>

#include "base/cpu_budget.h"
#include "lang/args.h"
#include "userdata/udata.h"

int lua54_get_0(lua_State *L) {
  udata *ud = to_udata(L, 1);
  if (!ud) return 0;
  int64_t x = kvd_intp(L, 2, 0);
  int64_t y = ud->dims > 1 ? kvd_intp(L, 3, 0) : 0;
  int64_t n = int64_t(udata_count(ud));
  int64_t count = kvd_intp(L, ud->dims + 2, 1);
  if (lua_gettop(L) == 1 || lua_type(L, 2) != LUA_TNUMBER) count = n;
  if (count > INT32_MAX || (count > 0 && !lua_checkstack(L, int(count)))) {
    std::printf(" ********** too many get() results (%d) stack limit reached **********\n",
                int32_t(count));
    return 0;
  }
  // Indices are 32-bit values. A start outside the record answers 0.0
  // whatever the count.
  int32_t x32 = int32_t(x), y32 = int32_t(y);
  if (x32 < 0 || uint32_t(x32) >= ud->width || y32 < 0 || uint32_t(y32) >= ud->height) {
    lua_pushnumber(L, 0.0);
    return 1;
  }
  if (count < 1) {  // nothing to read; the minimum charge
    spend_cpu(0);
    return 0;
  }
  int64_t offset = int64_t(x32) + int64_t(y32) * ud->width;
  int64_t k = count < n - offset ? count : n - offset;
  for (int64_t i = 0; i < k; i++) udata_push_element(L, ud, uint64_t(offset + i));
  for (int64_t i = k; i < count; i++) lua_pushinteger(L, 0);
  spend_cpu(count / 2);
  return int(count);
}

int lua54_set_0(lua_State *L) {
  udata *ud = to_udata(L, 1);
  if (!ud) return 0;
  int32_t x = kvd_truncp(L, 2);
  int32_t y = ud->dims > 1 ? kvd_truncp(L, 3) : 0;
  if (x < 0 || uint32_t(x) >= ud->width || y < 0 || uint32_t(y) >= ud->height) return 0;
  int64_t offset = int64_t(x) + int64_t(y) * ud->width;
  int first = ud->dims + 2;
  int64_t values = int64_t(lua_gettop(L)) - first + 1;
  int64_t room = int64_t(udata_count(ud)) - offset;
  int64_t n = values < room ? values : room;
  bool f64 = (ud->utype & 31) == UTYPE_F64;
  for (int64_t i = 0; i < n; i++) {
    int arg = first + int(i);
    if (f64)
      udata_set_num(ud, uint64_t(offset + i), lua_tonumberx(L, arg, nullptr));
    else
      udata_set_int(ud, uint64_t(offset + i), kvd_intp(L, arg, 0));
  }
  return 0;
}

int lua54_get(lua_State *L) { return lua54_get_0(L); }
int lua54_set(lua_State *L) { return lua54_set_0(L); }
int lua54_ud_get(lua_State *L) { return lua54_get_0(L); }
int lua54_ud_set(lua_State *L) { return lua54_set_0(L); }
