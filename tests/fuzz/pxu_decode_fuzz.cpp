// The pxu decoder on arbitrary bytes after its "pxu" 0 marker. A record it
// reads must survive a round trip through the writer in the mode that suits
// its type.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/pbuffer.h"
#include "lang/lua_api.h"
#include "userdata/udata.h"
#include "pod/pxu.h"

static lua_State *state() {
  static lua_State *L = luaL_newstate();
  return L;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  lua_State *L = state();
  lua_settop(L, 0);
  std::vector<uint8_t> form = {'p', 'x', 'u', 0};
  form.insert(form.end(), data, data + size);
  const uint8_t *end = get_binary_pxu(L, form.data(), form.data() + form.size());
  if (end) {
    if (end < form.data() + 4 || end > form.data() + form.size() || lua_gettop(L) != 1)
      std::abort();
    const udata *ud = to_udata(L, 1);
    if (!ud) std::abort();
    uint32_t type = ud->utype & 31;
    if (type == UTYPE_U8 || type == UTYPE_I16) {
      pbuffer *b = create_buffer_2(64, 'p');
      for (int mode : {PXU_MODE_RAW, PXU_MODE_MTF, PXU_MODE_RLE}) {
        if (type == UTYPE_I16 && mode != PXU_MODE_RLE) continue;
        bclear(b);
        write_binary_pxu(ud, b, 4, mode);
        if (get_binary_pxu(L, b->data, b->data + b->length) != b->data + b->length) std::abort();
        if (std::memcmp(to_udata(L, -1), ud, sizeof(udata) + udata_bytes(ud)) != 0) std::abort();
        lua_pop(L, 1);
      }
      destroy_buffer(b);
    }
  }
  lua_settop(L, 0);
  lua_gc(L, LUA_GCCOLLECT, 0);
  return 0;
}
