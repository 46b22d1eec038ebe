// Element access through the index metamethods.
#include "userdata/ud_index.h"

#include "lang/args.h"
#include "userdata/udata.h"

// The element a component letter names, or -1: x y z u v w t.
static int64_t component_index(const char *key) {
  static const int8_t from_t[7] = {6, 3, 4, 5, 0, 1, 2};  // t u v w x y z
  unsigned char c = static_cast<unsigned char>(key[0]);
  return c >= 't' && c <= 'z' ? from_t[c - 't'] : -1;
}

int lua54_ud_index(lua_State *L) {
  udata *ud = to_udata(L, 1);
  if (!ud) return 0;
  int64_t i;
  switch (lua_type(L, 2)) {
    case LUA_TSTRING: {
      size_t len = 0;
      const char *key = lua_tolstring(L, 2, &len);
      if (len != 1) {
        if (!lua_getmetatable(L, 1)) return 0;
        lua_pushvalue(L, 2);
        lua_gettable(L, -2);
        return 1;
      }
      i = component_index(key);
      break;
    }
    case LUA_TNUMBER: {
      int exact = 0;
      i = lua_tointegerx(L, 2, &exact);
      if (!exact) i = 0;
      break;
    }
    default:
      return 0;
  }
  if (i < 0 || uint64_t(i) >= udata_count(ud)) return 0;
  udata_push_element(L, ud, uint64_t(i));
  return 1;
}

int lua54_ud_newindex(lua_State *L) {
  udata *ud = to_udata(L, 1);
  if (!ud) return 0;
  int64_t i = -1;
  if (lua_type(L, 2) == LUA_TSTRING) {
    size_t len = 0;
    const char *key = lua_tolstring(L, 2, &len);
    if (len == 1) i = component_index(key);
  } else if (lua_type(L, 2) == LUA_TNUMBER) {
    i = kvd_intp(L, 2, -1);
  }
  if (i < 0 || uint64_t(i) >= udata_count(ud)) return 0;
  if ((ud->utype & 31) == UTYPE_F64)
    udata_set_num(ud, uint64_t(i), lua_tonumberx(L, 3, nullptr));
  else
    udata_set_int(ud, uint64_t(i), kvd_intp(L, 3, 0));
  return 0;
}
