// The pod text writer: values as Lua-literal-like text with no blanks, table
// keys in a fixed order (string keys, then number keys, each ascending, then
// the sequence part), and the binary forms and wrappings that pod flags pick.
#include "pod/pod_write.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <span>
#include <vector>

#include "base/cpu_budget.h"
#include "machine/memory_room.h"
#include "userdata/udata.h"
#include "pod/pod_binary.h"
#include "pod/pod_read.h"
#include "pod/pxu.h"

namespace {

struct pod_writer {
  lua_State *L;
  pbuffer *b;
  int flags;
  int64_t stop_at;                        // the cursor past which the walk stops
  bool full;                              // the text would not fit: the walk stops
  std::vector<const void *> open_tables;  // tables being written, outermost first
};

// The longest text a buffer can hold, less room for the closing braces of
// every open table (each write checks its own bytes first, so no write fails
// halfway and leaves a corrupt text behind).
constexpr int64_t POD_TEXT_LIMIT = INT32_MAX - 1 - 2 * POD_MAX_DEPTH - 64;

// Whether `need` more bytes fit; once they do not, the whole walk stops (a
// value that shares tables many times over would otherwise go on for ages
// writing nothing).
bool has_room(pod_writer &w, uint64_t need) {
  if (!w.full && w.b->cursor <= w.stop_at && need <= uint64_t(POD_TEXT_LIMIT - w.b->cursor))
    return true;
  w.full = true;
  return false;
}

// The most bytes a record's text or pxu form can take (with a separator).
uint64_t userdata_text_bound(const udata *ud) {
  uint32_t code = ud->utype & 31;
  uint64_t per = (code & 15) == 6 ? 25 : std::max<uint64_t>(3, 2 * utype_size(code));
  return 64 + udata_count(ud) * per;
}

// One collected table key, sorted in C++ so that no Lua code runs while the
// table is written. String pointers stay valid: the key array on the Lua
// stack keeps every key alive.
struct pod_key {
  bool is_string;
  bool is_int;
  lua_Integer i;
  lua_Number d;
  const char *s;
  size_t len;
  int slot;  // index in the key array, or the key's stack index
};

// Writes n bytes at the cursor: in place when they and the terminator's byte
// fit (the common case: most writes are a few bytes), else through bwrite,
// which grows the buffer.
void put(pbuffer *b, const void *p, size_t n) {
  if (b->cursor >= 0 && uint64_t(b->cursor) + n < b->capacity) {
    std::memcpy(b->data + b->cursor, p, n);
    b->cursor += int32_t(n);
    if (b->cursor > b->length) b->length = b->cursor;
    return;
  }
  bwrite(p, 1, n, b);
}

// A finite float as "%.14g" writes it (std::to_chars with a precision is
// defined as that conversion, without printf's slow exact-decimal path).
// Returns the length; out holds at least 32 bytes and ends with a 0 byte.
int float_text(double d, char *out) {
  auto r = std::to_chars(out, out + 31, d, std::chars_format::general, 14);
  *r.ptr = 0;
  return int(r.ptr - out);
}
void put_lit(pbuffer *b, const char *s) { bwrite(s, 1, std::strlen(s), b); }

// Lua's '<' on two numbers, exact across integers and floats.
bool number_less(const pod_key &a, const pod_key &b) {
  if (a.is_int && b.is_int) return a.i < b.i;
  if (!a.is_int && !b.is_int) return a.d < b.d;
  // Mixed: compare the float against the integer without rounding the integer.
  if (a.is_int) {  // i < f
    if (std::isnan(b.d)) return false;
    if (b.d >= 9223372036854775808.0) return true;
    if (b.d <= -9223372036854775808.0) return false;
    lua_Number fl = std::floor(b.d);
    lua_Integer fi = lua_Integer(fl);
    return fl == b.d ? a.i < fi : a.i <= fi;
  }
  // f < i
  if (std::isnan(a.d)) return false;
  if (a.d >= 9223372036854775808.0) return false;
  if (a.d < -9223372036854775808.0) return true;
  lua_Number ce = std::ceil(a.d);
  lua_Integer ci = lua_Integer(ce);
  return ce == a.d ? ci < b.i : ci <= b.i;
}

// String keys before number keys; strings compare bytewise as the C locale
// does (a prefix first), numbers numerically.
bool key_less(const pod_key &a, const pod_key &b) {
  if (a.is_string != b.is_string) return a.is_string;
  if (a.is_string) {
    int c = std::memcmp(a.s, b.s, std::min(a.len, b.len));
    return c != 0 ? c < 0 : a.len < b.len;
  }
  return number_less(a, b);
}

bool is_bare_key(const char *s, size_t n) {
  if (n == 0 || (s[0] >= '0' && s[0] <= '9')) return false;
  for (size_t i = 0; i < n; i++) {
    unsigned char c = s[i];
    if (!(c == '_' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')))
      return false;
  }
  return true;
}

// A byte a quoted pod string carries as it is.
inline bool plain_string_byte(unsigned char c) {
  return c >= 32 && c < 127 && c != '"' && c != '\\' && c != ']';
}

// Writes the escaped bytes of a string (without quotes): runs of plain bytes
// in one piece, the others through the shared pod escaping. Returns the
// bytes written.
int64_t write_escaped(pbuffer *b, const char *s, size_t n) {
  int64_t before = b->cursor;
  size_t i = 0;
  while (i < n) {
    size_t j = i;
    while (j < n && plain_string_byte(static_cast<unsigned char>(s[j]))) j++;
    if (j > i) put(b, s + i, j - i);
    if (j < n) bwrite_escaped_string(s + j, b, 1), j++;
    i = j;
  }
  return b->cursor - before;
}

void write_string(pod_writer &w, int index) {
  size_t n;
  const char *s = lua_tolstring(w.L, index, &n);
  // No form the reader takes holds a longer string: the text is refused.
  if (n > POD_MAX_BINARY_STR) {
    w.full = true;
    return;
  }
  // Longer strings than a quoted string may hold take the binary form.
  bool binary = (w.flags & POD_FLAG_BINARY_STR) || n > POD_MAX_QUOTED_STRING;
  if (!has_room(w, binary ? uint64_t(n) + 9 : 4 * uint64_t(n) + 3)) return;
  if (binary) {
    put(w.b, "str", 4);  // with its 0 byte
    bwrite_uint32(uint32_t(n), w.b);
    put(w.b, s, n);
    spend_cpu(int64_t(n / 4));
    return;
  }
  put(w.b, "\"", 1);
  int64_t k = write_escaped(w.b, s, n);
  put(w.b, "\"", 1);
  spend_cpu(k / 4);
}

// The text form: userdata("type",w[,h],"elements").
void write_userdata_text(pod_writer &w, const udata *ud) {
  char head[64];
  const char *name = get_utype_string(ud->utype & 31);
  if (name[0] == '?') name = "";
  int n = ud->dims == 2
              ? std::snprintf(head, sizeof head, "userdata(\"%s\",%u,%u,\"", name, ud->width,
                              ud->height)
              : std::snprintf(head, sizeof head, "userdata(\"%s\",%u,\"", name, ud->width);
  put(w.b, head, size_t(n));
  const uint8_t *el = udata_elements(ud);
  uint64_t count = udata_count(ud);
  char chunk[4096 + 64];
  size_t used = 0;
  auto flush = [&] {
    put(w.b, chunk, used);
    used = 0;
  };
  uint32_t size = 0;
  switch (ud->utype & 15) {
    case 3:
      size = 1;
      break;
    case 12:
      size = 2;
      break;
    case 13:
      size = 4;
      break;
    case 14:
      size = 8;
      break;
  }
  if (size) {
    // Lower-case hex of each element's two's-complement bits, most
    // significant digit first.
    for (uint64_t i = 0; i < count; i++) {
      uint64_t v = 0;
      std::memcpy(&v, el + i * size, size);  // little-endian host
      for (int d = int(size) * 2 - 1; d >= 0; d--) chunk[used++] = hex_char[(v >> (d * 4)) & 15];
      if (used >= 4096) flush();
    }
  } else if ((ud->utype & 15) == 6) {
    for (uint64_t i = 0; i < count; i++) {
      double v;
      std::memcpy(&v, el + i * 8, 8);
      if (i) chunk[used++] = ',';
      if (std::isfinite(v))
        used += size_t(float_text(v, chunk + used));
      else
        used += size_t(std::snprintf(chunk + used, 48, "%0.14g", v));
      if (used >= 4096) flush();
    }
  }
  flush();
  put(w.b, "\")", 2);
}

void write_value(pod_writer &w, int index, int depth);

void write_key(pod_writer &w, const pod_key &k, int key_index) {
  if (k.is_string) {
    if (is_bare_key(k.s, k.len)) {
      put(w.b, k.s, k.len);
    } else {
      put(w.b, "[\"", 2);
      write_escaped(w.b, k.s, k.len);
      put(w.b, "\"]", 2);
    }
    return;
  }
  char num[32];
  int n = pod_number_text(w.L, key_index, num);
  put(w.b, "[", 1);
  put(w.b, num, size_t(n));
  put(w.b, "]", 1);
}

void write_table(pod_writer &w, int t, int depth) {
  lua_State *L = w.L;
  const void *id = lua_topointer(L, t);
  // A table nested too deep, or one that contains itself, is written as nil
  // so that the writer ends and its text reads back.
  if (depth >= POD_MAX_DEPTH || !lua_checkstack(L, 8) ||
      std::find(w.open_tables.begin(), w.open_tables.end(), id) != w.open_tables.end()) {
    put_lit(w.b, "nil");
    return;
  }
  w.open_tables.push_back(id);
  lua_Integer n = lua_Integer(lua_rawlen(L, t));

  // Collect the keys that are not part of the sequence into a key array on
  // the stack (which keeps them alive) and a C++ list that is sorted. The
  // array is made for the first such key only: sequences need none.
  // A first walk counts the keys, so that neither the list nor the key array
  // grows (and rehashes) key by key.
  int counted = 0;
  lua_pushnil(L);
  while (lua_next(L, t)) {
    lua_pop(L, 1);
    int kt = lua_type(L, -1);
    if (kt == LUA_TSTRING ||
        (kt == LUA_TNUMBER &&
         !(lua_isinteger(L, -1) && lua_tointeger(L, -1) >= 1 && lua_tointeger(L, -1) <= n)))
      counted++;
  }
  int keys = 0;
  // The list lives in place for small records (no allocation), else on the heap.
  constexpr int INLINE_KEYS = 8;
  pod_key inline_keys[INLINE_KEYS];
  std::vector<pod_key> heap_keys(size_t(counted > INLINE_KEYS ? counted : 0));
  pod_key *const list = counted > INLINE_KEYS ? heap_keys.data() : inline_keys;
  int listed = 0;
  // A few keys are kept on the stack itself (slot = their stack index), which
  // spares a key array for the small records most data is made of.
  constexpr int STACK_KEYS = 32;
  const bool on_stack = counted <= STACK_KEYS && lua_checkstack(L, STACK_KEYS + 8);
  lua_pushnil(L);
  while (lua_next(L, t)) {
    lua_pop(L, 1);
    int kt = lua_type(L, -1);
    pod_key k{};
    if (kt == LUA_TSTRING) {
      k.is_string = true;
      k.s = lua_tolstring(L, -1, &k.len);
    } else if (kt == LUA_TNUMBER) {
      k.is_int = lua_isinteger(L, -1);
      if (k.is_int) {
        k.i = lua_tointeger(L, -1);
        if (k.i >= 1 && k.i <= n) continue;
      } else {
        k.d = lua_tonumber(L, -1);
      }
    } else {
      continue;  // keys without a text form are skipped with their values
    }
    if (listed == counted) {  // the walks agree: never taken
      lua_pop(L, 1);
      break;
    }
    if (on_stack) {
      lua_pushvalue(L, -1);
      lua_insert(L, -2);  // below the key that lua_next goes on from
      k.slot = lua_gettop(L) - 1;
      keys++;
      list[listed++] = k;
      continue;
    }
    if (!keys) {
      lua_createtable(L, counted, 0);
      lua_insert(L, -2);  // below the key that lua_next goes on from
      keys = lua_gettop(L) - 1;
    }
    k.slot = listed + 1;
    lua_pushvalue(L, -1);
    lua_rawseti(L, keys, k.slot);
    list[listed++] = k;
  }
  std::sort(list, list + listed, key_less);

  put(w.b, "{", 1);
  bool first = true;
  for (const pod_key &k : std::span(list, size_t(listed))) {
    if (!has_room(w, 4 * uint64_t(k.len) + 40)) break;
    if (!first) put(w.b, ",", 1);
    first = false;
    if (on_stack)
      lua_pushvalue(L, k.slot);
    else
      lua_rawgeti(L, keys, k.slot);
    write_key(w, k, lua_gettop(L));
    put(w.b, "=", 1);
    lua_rawget(L, t);
    write_value(w, lua_gettop(L), depth + 1);
    lua_pop(L, 1);
  }
  for (lua_Integer i = 1; i <= n && !w.full; i++) {
    if (!first) put(w.b, ",", 1);
    first = false;
    lua_rawgeti(L, t, i);
    write_value(w, lua_gettop(L), depth + 1);
    lua_pop(L, 1);
  }
  put(w.b, "}", 1);
  if (keys) lua_pop(L, on_stack ? keys : 1);  // the keys or the key array
  w.open_tables.pop_back();
}

void write_value(pod_writer &w, int index, int depth) {
  // Every value but strings, tables and records takes at most 32 bytes; one
  // more for a separator.
  if (!has_room(w, 33)) return;
  spend_cpu(2);
  lua_State *L = w.L;
  switch (lua_type(L, index)) {
    case LUA_TBOOLEAN:
      put_lit(w.b, lua_toboolean(L, index) ? "true" : "false");
      break;
    case LUA_TNUMBER: {
      char num[32];
      put(w.b, num, size_t(pod_number_text(L, index, num)));
      break;
    }
    case LUA_TSTRING:
      write_string(w, index);
      break;
    case LUA_TTABLE:
      write_table(w, index, depth);
      break;
    case LUA_TUSERDATA: {
      const udata *ud = to_udata(L, index);
      if (!ud) {
        put_lit(w.b, "nil");
        break;
      }
      if (!has_room(w, userdata_text_bound(ud))) break;
      spend_cpu(int64_t(udata_bytes(ud) / 4));
      uint32_t code = ud->utype & 31;
      if ((w.flags & POD_FLAG_PXU) && code == UTYPE_U8)
        write_binary_pxu(ud, w.b, 4, (w.flags & POD_FLAG_PXU_RAW) ? PXU_MODE_RAW : PXU_MODE_MTF);
      else if ((w.flags & POD_FLAG_PXU) && code == UTYPE_I16)
        write_binary_pxu(ud, w.b, 0, PXU_MODE_RLE);
      else
        write_userdata_text(w, ud);
      break;
    }
    default:
      put_lit(w.b, "nil");
      break;
  }
}

}  // namespace

int pod_number_text(lua_State *L, int index, char *out) {
  if (lua_isinteger(L, index)) {
    lua_Integer v = lua_tointeger(L, index);
    // Decimal digits written backwards; the unsigned magnitude covers the
    // smallest integer too.
    char tmp[24];
    int n = 0;
    uint64_t m = v < 0 ? 0 - uint64_t(v) : uint64_t(v);
    do {
      tmp[n++] = char('0' + m % 10);
      m /= 10;
    } while (m);
    int len = 0;
    if (v < 0) out[len++] = '-';
    while (n) out[len++] = tmp[--n];
    out[len] = 0;
    return len;
  }
  lua_Number d = lua_tonumber(L, index);
  if (std::isnan(d)) return std::snprintf(out, 32, "nil");
  if (std::isinf(d)) return std::snprintf(out, 32, d > 0 ? "1e999" : "-1e999");
  // Lua's own "%.14g" form; the ".0" Lua adds to integral-looking floats is
  // the one the pod text cuts, so it is never added.
  return float_text(d, out);
}

int stringify_object(lua_State *L, int index, pbuffer *b, int flags, int depth) {
  // The text becomes a string of the caller's, and a reader takes no more
  // from a wrapped form than it may hold: a longer text is refused early.
  return stringify_object_within(L, index, b, flags, depth, memory_room_left());
}

int stringify_object_within(lua_State *L, int index, pbuffer *b, int flags, int depth,
                            int64_t most) {
  if (!b) return 0;
  index = lua_absindex(L, index);
  int32_t start = b->length;
  b->cursor = start;  // the text is appended
  if (most < 0) most = 0;
  bool ok;
  if (!(flags & (POD_FLAG_LZ4 | POD_FLAG_BASE64))) {
    pod_writer w{L, b, flags, start + most, false, {}};
    write_value(w, index, depth);
    ok = !w.full && b->cursor - start <= most;
  } else {
    // Lua errors (out of memory) unwind as exceptions: the scratch buffers
    // are owned so that they are freed then too.
    pbuffer_owner text(create_buffer_2(1024, 'o'));
    pod_writer w{L, text.get(), flags, most, false, {}};
    write_value(w, index, depth);
    ok = !w.full && text->cursor <= most;
    if (ok && !(flags & POD_FLAG_BASE64)) {
      ok = write_lz4_form(text->data, text->length, b);
    } else if (ok && (flags & POD_FLAG_LZ4)) {
      pbuffer_owner packed(create_buffer_2(text->length / 2 + 64, 'o'));
      ok = write_lz4_form(text->data, text->length, packed.get()) &&
           write_b64_form(packed->data, packed->length, b);
    } else if (ok) {
      ok = write_b64_form(text->data, text->length, b);
    }
  }
  if (!ok) {
    // A text too long for a buffer is not appended at all: a cut text
    // would read as a different value or not at all.
    b->length = b->cursor = start;
    b->data[start] = 0;
    return -1;
  }
  return 0;
}
