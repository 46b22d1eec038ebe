// tokenoid on arbitrary bytes: the first byte picks a caller-made state
// word, the rest is the text. Cutting tokens from position 1 on must make
// progress on every call and rebuild the text exactly; an open state comes
// only with the text's last token.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "lang/lua_api.h"
#include "kernel/api.h"

static lua_State *state() {
  static lua_State *L = luaL_newstate();
  return L;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  lua_State *L = state();
  lua_settop(L, 0);
  static const lua_Integer states[] = {0, 0x300, 0x402, 0x33C, 0x4FF, -1, 0x7FFFFFFF00000305};
  lua_Integer st = states[data[0] % 7];
  std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
  std::string rebuilt;
  lua_Integer pos = 1;
  while (pos <= lua_Integer(text.size())) {
    lua_settop(L, 0);
    lua_pushcfunction(L, lua54_tokenoid);
    lua_pushlstring(L, text.data(), text.size());
    lua_pushinteger(L, pos);
    lua_pushinteger(L, st);
    lua_call(L, 3, LUA_MULTRET);
    int results = lua_gettop(L);
    if (results != 3 && results != 4) std::abort();
    size_t n = 0;
    const char *tok = lua_tolstring(L, 1, &n);
    lua_Integer next = lua_tointeger(L, 2);
    if (n == 0 || next != pos + lua_Integer(n)) std::abort();
    if (results == 4 && next != lua_Integer(text.size()) + 1) std::abort();
    rebuilt.append(tok, n);
    pos = next;
    st = 0;
  }
  if (rebuilt != text) std::abort();
  return 0;
}
