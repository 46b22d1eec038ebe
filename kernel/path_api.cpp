// Lua functions that take texts and paths apart: split, _ext, _path, _hloc.
#include <cstring>
#include <string>

#include "base/cpu_budget.h"
#include "lang/args.h"
#include "kernel/file_api.h"

// Pushes a piece: the number it spells when convert is set and it is a Lua
// numeral, else the string.
static void push_piece(lua_State *L, const char *p, size_t n, bool convert) {
  if (convert) {
    std::string piece(p, n);
    if (lua_stringtonumber(L, piece.c_str()) == piece.size() + 1) return;
  }
  lua_pushlstring(L, p, n);
}

int lua54_split(lua_State *L) {
  if (lua_type(L, 1) != LUA_TSTRING) return 0;
  size_t len = 0;
  const char *s = lua_tolstring(L, 1, &len);
  bool convert = lua_gettop(L) < 3 || lua_toboolean(L, 3);
  lua_createtable(L, 0, 0);
  spend_cpu((int64_t)len);
  lua_Integer index = 0;
  if (lua_type(L, 2) == LUA_TNUMBER) {
    int64_t n = kvd_intp(L, 2, 1);
    if (n > (int64_t)len) n = (int64_t)len;
    if (n < 1) n = 1;
    for (size_t at = 0; at < len; at += (size_t)n) {
      size_t take = len - at < (size_t)n ? len - at : (size_t)n;
      push_piece(L, s + at, take, convert);
      lua_rawseti(L, -2, ++index);
    }
    return 1;
  }
  size_t sep_len = 1;
  const char *sep = lua_type(L, 2) == LUA_TSTRING ? lua_tolstring(L, 2, &sep_len) : ",";
  if (sep_len == 0) {
    for (size_t i = 0; i < len; i++) {
      unsigned char c = (unsigned char)s[i];
      if (convert && c >= '0' && c <= '9')
        lua_pushnumber(L, (lua_Number)(c - '0'));
      else
        lua_pushlstring(L, s + i, 1);
      lua_rawseti(L, -2, ++index);
    }
    return 1;
  }
  size_t start = 0;
  for (size_t i = 0; i <= len; i++) {
    if (i < len && !memchr(sep, s[i], sep_len)) continue;
    push_piece(L, s + start, i - start, convert);
    lua_rawseti(L, -2, ++index);
    start = i + 1;
  }
  return 1;
}

static bool is_ext_char(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || c == 'Z';
}

int lua54_ext(lua_State *L) {
  size_t len = 0;
  const char *p = file_api_text_arg(L, 1, &len);
  if (!p || len == 0) return 0;
  const char *hash = (const char *)memrchr(p, '#', len);
  long end = hash ? hash - p : (long)len;
  long i = end - 1;
  while (i >= 0 && is_ext_char(p[i])) i--;
  if (i <= 0 || p[i] != '.') {
    lua_pushnil(L);
    return 1;
  }
  long dot = i;
  long j = dot - 1;
  while (j >= 0 && is_ext_char(p[j])) j--;
  long start = (j >= 0 && p[j] == '.') ? j + 1 : dot + 1;
  lua_pushlstring(L, p + start, (size_t)(end - start));
  return 1;
}

int lua54_path(lua_State *L) {
  size_t len = 0;
  const char *p = file_api_text_arg(L, 1, &len);
  if (!p) return 0;
  const char *hash = (const char *)memchr(p, '#', len);
  lua_pushlstring(L, p, hash ? (size_t)(hash - p) : len);
  return 1;
}

int lua54_hloc(lua_State *L) {
  size_t len = 0;
  const char *p = file_api_text_arg(L, 1, &len);
  if (!p) return 0;
  const char *hash = (const char *)memchr(p, '#', len);
  if (hash)
    lua_pushlstring(L, hash + 1, len - (size_t)(hash - p) - 1);
  else
    lua_pushnil(L);
  return 1;
}
