// The Lua globals that create records: userdata(...) and vec(...).
#include "lang/args.h"
#include "userdata/udata.h"

int lua54_userdata(lua_State *L) {
  int nargs = lua_gettop(L);
  const char *type = nullptr;
  if (lua_type(L, 1) == LUA_TSTRING || lua_type(L, 1) == LUA_TNUMBER) type = lua_tostring(L, 1);
  int data_arg = nargs >= 4 ? 4 : 3;
  const char *data = lua_type(L, data_arg) == LUA_TSTRING ? lua_tostring(L, data_arg) : nullptr;
  // Sizes are 32-bit: the low 32 bits of the integer argument.
  int32_t width = int32_t(uint32_t(kvd_intp(L, 2, -1)));
  int32_t height = 1, dims = 1;
  if (nargs - (data ? 2 : 1) >= 2) {
    dims = 2;
    height = int32_t(uint32_t(kvd_intp(L, 3, -1)));
  }
  return create_userdata(L, type, dims, width, height, data) ? 1 : 0;
}

int lua54_vec(lua_State *L) {
  if (lua_type(L, 1) != LUA_TNUMBER) return 0;
  int n = lua_gettop(L);
  udata *ud = create_userdata(L, "f64", 1, n, 1, nullptr);
  if (!ud) return 0;
  double *el = reinterpret_cast<double *>(udata_elements(ud));
  for (int i = 0; i < n; i++) el[i] = lua_tonumberx(L, i + 1, nullptr);
  return 1;
}
