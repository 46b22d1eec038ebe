// Shape queries and mutate.
#include "userdata/ud_shape.h"

#include "lang/args.h"
#include "userdata/udata.h"

int lua54_ud_len(lua_State *L) {
  udata *ud = to_udata(L, 1);
  if (!ud) return 0;
  lua_pushinteger(L, lua_Integer(udata_count(ud)));
  return 1;
}

int lua54_ud_width(lua_State *L) {
  udata *ud = to_udata(L, 1);
  if (!ud) return 0;
  lua_pushinteger(L, ud->width);
  return 1;
}

int lua54_ud_height(lua_State *L) {
  udata *ud = to_udata(L, 1);
  if (!ud) return 0;
  if (ud->dims > 1)
    lua_pushinteger(L, ud->height);
  else
    lua_pushnil(L);
  return 1;
}

int lua54_ud_attribs(lua_State *L) {
  udata *ud = to_udata(L, 1);
  if (!ud) return 0;
  lua_pushinteger(L, ud->width);
  lua_pushinteger(L, ud->height);
  lua_pushstring(L, get_utype_string(ud->utype & 31));
  lua_pushinteger(L, ud->dims);
  return 4;
}

int lua54_ud_mutate(lua_State *L) {
  udata *ud = to_udata(L, 1);
  if (!ud) return 0;
  const char *type = lua_type(L, 2) == LUA_TSTRING ? lua_tostring(L, 2) : nullptr;
  uint32_t old_type = ud->utype & 31, new_type = str_to_utype(type);
  bool old_float = old_type == UTYPE_F64, new_float = new_type == UTYPE_F64;
  if (old_type != new_type && (old_float || new_float)) {
    lua_pushstring(L, "can not mutate between integer and float data types");
    return 1;
  }
  // Sizes are numbers or texts that read as numbers.
  bool w_given = lua_isnumber(L, 3), h_given = lua_isnumber(L, 4);
  int64_t old_size = utype_size(old_type), new_size = utype_size(new_type);
  int64_t w = w_given ? kvd_double_to_i32(lua_tonumber(L, 3)) : 0;
  int64_t h = h_given ? kvd_double_to_i32(lua_tonumber(L, 4)) : 0;
  if (w < 1) w = old_size * ud->width / new_size;
  if (w_given && !h_given) h = 1;
  if (h < 1) h = ud->height;
  // A width that rounds down to 0 is refused, as is a shape whose bytes pass
  // the record's, the product formed without overflow.
  uint64_t new_bytes = 0;
  if (w < 1 || !udata_shape_bytes(uint64_t(w), uint64_t(h), new_type, &new_bytes) ||
      new_bytes > udata_bytes(ud)) {
    lua_pushstring(L, "new size is larger than old size");
    return 1;
  }
  ud->utype = uint8_t(new_type);
  ud->width = uint32_t(w);
  ud->height = uint32_t(h);
  if (w_given) ud->dims = h_given ? 2 : 1;
  if (h > 1) ud->dims = 2;  // a 1-D record is one row high
  return 0;
}
