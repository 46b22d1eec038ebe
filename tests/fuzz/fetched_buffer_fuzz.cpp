// Fetched-buffer decoding on arbitrary bytes. The first byte picks the name
// (and so the decoder) and the PNG flag; an image name gets the PNG
// signature in front of the rest, so that the PNG decoder is reached. The
// decoder pushes exactly what it reports.
#include <cstdint>
#include <cstdlib>

#include "base/pbuffer.h"
#include "lang/lua_api.h"
#include "pdisk/fetched_buffer.h"

static lua_State *state() {
  static lua_State *L = luaL_newstate();
  return L;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const char *const names[] = {"a.png", "a.q7.png", "a.pod", "a.lua",
                                      "a.txt", "a.pn",     "a.dat", "anywhen://a.lua@x"};
  if (size == 0) return 0;
  lua_State *L = state();
  lua_settop(L, 0);
  const char *name = names[data[0] & 7];
  int flags = (data[0] >> 3) & 1;
  pbuffer *b = create_buffer_2((int32_t)size + 8, 'p');
  if ((data[0] & 7) < 2) bwrite("\x89PNG\r\n\x1a\n", 1, 8, b);
  bwrite(data + 1, 1, size - 1, b);
  int n = unpod_from_fetched_buffer(L, b, name, flags);
  if (n < 0 || lua_gettop(L) != n) std::abort();
  destroy_buffer(b);
  lua_settop(L, 0);
  return 0;
}
