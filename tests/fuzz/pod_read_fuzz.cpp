// The pod reader on arbitrary bytes (text and binary forms). Whatever it
// reads, the writer's text of it (in a flag combination taken from the input)
// must read back.
#include <cstdint>
#include <cstdlib>

#include "base/pbuffer.h"
#include "lang/lua_api.h"
#include "userdata/udata.h"
#include "pod/pod_read.h"
#include "pod/pod_write.h"

static lua_State *state() {
  static lua_State *L = [] {
    lua_State *s = luaL_newstate();
    luaL_openlibs(s);
    return s;
  }();
  return L;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  lua_State *L = state();
  lua_settop(L, 0);
  int n = destringify_object(L, reinterpret_cast<const char *>(data), int64_t(size));
  if (n < 0 || n > 2 || lua_gettop(L) != n) std::abort();
  if (n > 0) {
    static const int flag_sets[] = {0, 1, 2, 4, 6, 17, 32, 39, 55};
    int flags = flag_sets[size ? data[0] % 9 : 0];
    pbuffer *b = create_buffer_2(64, 'p');
    stringify_object(L, 1, b, flags, 0);
    lua_settop(L, 0);
    if (destringify_object(L, reinterpret_cast<const char *>(b->data), b->length) != 1)
      std::abort();
    destroy_buffer(b);
  }
  lua_settop(L, 0);
  lua_gc(L, LUA_GCCOLLECT, 0);
  return 0;
}
