// The text forms of records on arbitrary bytes: the first byte picks the
// element type, dims and a small size, the rest is the type text or the data
// text of create_userdata (hex digits, "[gfx]" and "[map]" bitmaps, f64
// lists). A record made must hold its promised shape, print through
// __tostring, and rebuild from its own hex text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/pbuffer.h"
#include "lang/lua_api.h"
#include "userdata/ud_tostring.h"
#include "userdata/udata.h"

static lua_State *state() {
  static lua_State *L = luaL_newstate();
  return L;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  static const char *const types[] = {"u8", "i16", "i32", "i64", "f64"};
  lua_State *L = state();
  lua_settop(L, 0);
  uint8_t pick = data[0];
  std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
  text = text.c_str();  // a C text ends at its first zero byte
  const char *type = types[pick % 5];
  int32_t dims = (pick >> 3) & 1 ? 2 : 1;
  int32_t width = 1 + (pick >> 4), height = 1 + ((pick >> 6) & 3);
  bool as_type = (pick >> 3) == 31;  // the text is the type text itself
  udata *ud = as_type ? create_userdata(L, text.c_str(), 1, width, 1, nullptr)
                      : create_userdata(L, type, dims, width, height, text.c_str());
  if (!ud) return 0;
  if (to_udata(L, -1) != ud || udata_bytes(ud) > lua_rawlen(L, -1) - sizeof(udata)) std::abort();
  lua_pushcfunction(L, lua54_ud_tostring);
  lua_pushvalue(L, -2);
  lua_call(L, 1, 1);
  if (!lua_isstring(L, -1)) std::abort();
  lua_pop(L, 1);
  // Integer records round-trip through their hex text.
  uint32_t code = ud->utype & 31;
  if (code != UTYPE_F64) {
    pbuffer *b = create_buffer_2(64, 'f');
    for (uint64_t i = 0; i < udata_count(ud); i++) {
      int64_t v = udata_get_int(ud, i);
      if (code == UTYPE_U8) bwrite_uint8_as_hex(uint32_t(v), b);
      if (code == UTYPE_I16) bwrite_int16_as_hex(int32_t(v), b);
      if (code == UTYPE_I32) bwrite_int32_as_hex(int32_t(v), b);
      if (code == UTYPE_I64) bwrite_int64_as_hex(uint64_t(v), b);
    }
    udata *again = create_userdata(L, get_utype_string(code), ud->dims, int32_t(ud->width),
                                   int32_t(ud->height), to_cstr(b));
    if (!again || std::memcmp(udata_elements(again), udata_elements(ud), udata_bytes(ud)) != 0)
      std::abort();
    destroy_buffer(b);
  }
  lua_settop(L, 0);
  lua_gc(L, LUA_GCCOLLECT, 0);
  return 0;
}
