// The pod functions of the Lua API.
#include "pod/pod_lua.h"

#include "base/cpu_budget.h"
#include "base/pbuffer.h"
#include "lang/args.h"
#include "pod/delta.h"
#include "pod/pod_read.h"
#include "pod/pod_write.h"

namespace {

bool is_text(lua_State *L, int index) {
  int t = lua_type(L, index);
  return t == LUA_TSTRING || t == LUA_TNUMBER;
}

// Pushes a codec result as a string, charging its length / 4; nothing for a
// null result.
int push_result(lua_State *L, pbuffer *out) {
  pbuffer_owner owned(out);
  if (!out) return 0;
  lua_pushlstring(L, reinterpret_cast<const char *>(out->data), size_t(out->length));
  spend_cpu(out->length / 4);
  return 1;
}

}  // namespace

int lua54_stringify(lua_State *L) {
  pbuffer_owner b(create_buffer_2(256, 'p'));
  int flags = int(kvd_intp(L, 2, 0));
  if (is_text(L, 3)) {
    size_t n;
    const char *prefix = lua_tolstring(L, 3, &n);
    if (bwrite(prefix, 1, n, b.get()) != int64_t(n)) return 0;
  }
  if (lua_gettop(L) < 1) lua_pushnil(L);
  // A text that no buffer can hold gives no value rather than a cut one.
  if (stringify_object(L, 1, b.get(), flags, 0) < 0) return 0;
  lua_pushlstring(L, reinterpret_cast<const char *>(b->data), size_t(b->length));
  return 1;
}

int lua54_destringify(lua_State *L) {
  if (!is_text(L, 1)) return 0;
  size_t n;
  const char *text = lua_tolstring(L, 1, &n);
  return destringify_object(L, text, int64_t(n));
}

int lua54_create_diff(lua_State *L) {
  if (!is_text(L, 1) || !is_text(L, 2)) return 0;
  size_t na, nb;
  const char *a = lua_tolstring(L, 1, &na);
  const char *b = lua_tolstring(L, 2, &nb);
  if (na > INT32_MAX || nb > INT32_MAX) return 0;
  return push_result(L, generate_diff(a, int32_t(na), b, int32_t(nb)));
}

int lua54_apply_diff(lua_State *L) {
  if (!is_text(L, 1) || !is_text(L, 2)) return 0;
  size_t na, nd;
  const char *a = lua_tolstring(L, 1, &na);
  const char *delta = lua_tolstring(L, 2, &nd);
  if (na > INT32_MAX || nd > INT32_MAX) return 0;
  return push_result(L, apply_diff(a, int32_t(na), delta, int32_t(nd)));
}

void pod_register_lua(lua_State *L) {
  lua_register(L, "pod", lua54_stringify);
  lua_register(L, "_pod", lua54_stringify);
  lua_register(L, "unpod", lua54_destringify);
  lua_register(L, "create_delta", lua54_create_diff);
  lua_register(L, "apply_delta", lua54_apply_diff);
}
