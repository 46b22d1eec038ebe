// The pod text reader: values, strings, numbers, tables, userdata text forms
// and the metadata block, with the binary forms read by pod_binary and pxu.
#include "pod/pod_read.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/cpu_budget.h"
#include "machine/memory_room.h"
#include "machine/process.h"
#include "userdata/udata.h"
#include "pod/pod_binary.h"
#include "pod/pod_write.h"
#include "pod/pxu.h"

namespace {

// The longest run of number characters read as one number.
constexpr int POD_MAX_NUMBER_TEXT = 44;

// The byte at p, or 0 at the end of the text.
inline int at(const uint8_t *p, const uint8_t *end) { return p < end ? *p : 0; }

inline bool starts(const uint8_t *p, const uint8_t *end, const char *lit, size_t n) {
  return size_t(end - p) >= n && std::memcmp(p, lit, n) == 0;
}
#define STARTS(p, end, lit) starts(p, end, lit, sizeof(lit) - 1)

// Bytes 1-32 and 128-255 (below 33 as signed bytes), skipped before a value.
inline bool is_blank(int c) { return c != 0 && static_cast<signed char>(c) < 33; }
inline bool is_digit(int c) { return c >= '0' && c <= '9'; }
inline bool is_ident(int c) {
  return c == '_' || is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
inline bool is_number_char(int c) {
  return is_digit(c) || c == '_' || c == '+' || c == '-' || c == '.' || c == 'e';
}

// Strings with escapes are built here (main thread only).
std::string string_scratch;

const uint8_t *read_string(pod_reader &r, const uint8_t *p, const uint8_t *end) {
  p++;  // the opening quote
  const uint8_t *q = p;
  while (q < end && *q != '"' && *q != '\\' && *q != 0) q++;
  if (at(q, end) == '"') {  // no escapes: straight from the text
    size_t n = size_t(q - p);
    if (n > POD_MAX_QUOTED_STRING) return nullptr;
    lua_pushlstring(r.L, reinterpret_cast<const char *>(p), n);
    spend_cpu(int64_t(n / 4));
    return q + 1;
  }
  std::string &s = string_scratch;
  s.assign(reinterpret_cast<const char *>(p), size_t(q - p));
  for (;;) {
    int c = at(q, end);
    if (c == 0 || s.size() > POD_MAX_QUOTED_STRING) return nullptr;
    if (c == '"') break;
    if (c != '\\') {  // a run of plain bytes in one piece
      const uint8_t *run = q;
      while (q < end && *q != '"' && *q != '\\' && *q != 0) q++;
      s.append(reinterpret_cast<const char *>(run), size_t(q - run));
      continue;
    }
    int d = at(q + 1, end);
    if (d == '"' || d == '\\') {
      s.push_back(char(d));
      q += 2;
    } else if (d == 'n') {
      s.push_back('\n');
      q += 2;
    } else if (is_digit(d)) {
      // Up to three decimal digits, each step modulo 256.
      uint32_t v = 0;
      q++;
      for (int k = 0; k < 3 && is_digit(at(q, end)); k++, q++)
        v = (v * 10 + uint32_t(*q - '0')) & 255;
      s.push_back(char(v));
    } else {
      // Any other escape gives a 0 byte; the byte after the backslash is then
      // read as text (and the end of the text still ends the string).
      s.push_back(0);
      q++;
    }
  }
  if (s.size() > POD_MAX_QUOTED_STRING) return nullptr;
  lua_pushlstring(r.L, s.data(), s.size());
  spend_cpu(int64_t(s.size() / 4));
  return q + 1;
}

// The two forms the writer makes, read without Lua's general conversion:
// a decimal integer of at most 18 digits, and a float that std::from_chars
// reads whole (correctly rounded, as strtod). Pushes the number and returns
// true; anything else (overflow, signs, out of range) is left to Lua.
bool push_plain_number(lua_State *L, const char *text, int n) {
  int i = text[0] == '-' ? 1 : 0;
  int k = i;
  int64_t v = 0;
  while (k < n && k - i < 18 && is_digit(text[k])) v = v * 10 + (text[k++] - '0');
  if (k == n && k > i) {
    lua_pushinteger(L, i ? -v : v);
    return true;
  }
  // A text of digits alone is an integer up to the largest one: Lua's.
  if (!std::memchr(text, '.', size_t(n)) && !std::memchr(text, 'e', size_t(n))) return false;
  double d;
  auto res = std::from_chars(text, text + n, d, std::chars_format::general);
  if (res.ec != std::errc() || res.ptr != text + n) return false;
  lua_pushnumber(L, d);
  return true;
}

const uint8_t *read_number(pod_reader &r, const uint8_t *p, const uint8_t *end) {
  int n = 0;
  while (n < POD_MAX_NUMBER_TEXT && is_number_char(at(p + n, end))) n++;
  if (n == 0) return nullptr;
  if (push_plain_number(r.L, reinterpret_cast<const char *>(p), n)) return p + n;
  // Lua's conversion wants a terminated text.
  char text[POD_MAX_NUMBER_TEXT + 1];
  std::memcpy(text, p, size_t(n));
  text[n] = 0;
  if (lua_stringtonumber(r.L, text) == 0) return nullptr;
  return p + n;
}

// Whether an entry at p begins with a key (rather than a positional value).
bool starts_key(const uint8_t *p, const uint8_t *end) {
  int c = at(p, end);
  if (c == '[') return true;
  if (!(c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
  // A name followed by '=' is a key whatever the name (the common case).
  const uint8_t *q = p;
  while (q < end && is_ident(*q)) q++;
  if (at(q, end) == '=') return true;
  static const char *const words[] = {"false", "nil", "true"};
  for (const char *w : words) {
    size_t n = std::strlen(w);
    if (starts(p, end, w, n)) {
      int d = at(p + n, end);
      if (static_cast<signed char>(d) < 33 || d == ',' || d == ']' || d == '}') return false;
    }
  }
  if (STARTS(p, end, "b64:") || starts(p, end, "lz4", 4) || starts(p, end, "pxu", 4) ||
      starts(p, end, "str", 4))
    return false;
  for (const char *w : {"userdata", "unpod"}) {
    size_t n = std::strlen(w);
    if (starts(p, end, w, n)) {
      int d = at(p + n, end);
      if (d == '"' || d == '(') return false;
    }
  }
  return true;
}

// A key that a Lua table cannot hold: nil or NaN.
bool bad_key(lua_State *L, int index) {
  if (lua_isnil(L, index)) return true;
  return lua_type(L, index) == LUA_TNUMBER && !lua_isinteger(L, index) &&
         std::isnan(lua_tonumber(L, index));
}

// Table entries up to "}" (consumed) or "]" (left to the caller); a "{" before
// the first entry is skipped. The metadata block's body is read the same way.
const uint8_t *read_table(pod_reader &r, const uint8_t *p, const uint8_t *end) {
  lua_State *L = r.L;
  if (r.table_depth >= POD_MAX_DEPTH || !lua_checkstack(L, 6)) return nullptr;
  r.table_depth++;
  lua_newtable(L);
  int t = lua_gettop(L);
  lua_Integer next_index = 1;
  bool first = true;
  for (;;) {
    if (at(p, end) == (first ? '{' : ',')) p++;
    first = false;
    int c = at(p, end);
    if (c == 0) break;  // fails
    if (c == '}' || c == ']') {
      r.table_depth--;
      return c == '}' ? p + 1 : p;
    }
    if (!starts_key(p, end)) {
      if (!(p = pod_get_value(r, p, end))) break;
      lua_rawseti(L, t, next_index++);
      continue;
    }
    if (c == '[') {
      if (!(p = pod_get_value(r, p + 1, end))) break;
      if (at(p, end) != ']' || bad_key(L, -1)) break;
      p++;
      // An integer key with a value goes in by the table's integer path.
      if (lua_isinteger(L, -1) && at(p, end) == '=') {
        lua_Integer k = lua_tointeger(L, -1);
        if (!(p = pod_get_value(r, p + 1, end))) break;
        lua_rawseti(L, t, k);
        lua_pop(L, 1);
        continue;
      }
    } else {
      const uint8_t *q = p;
      while (q < end && is_ident(*q)) q++;
      lua_pushlstring(L, reinterpret_cast<const char *>(p), size_t(q - p));
      p = q;
    }
    c = at(p, end);
    if (c == '=') {
      if (!(p = pod_get_value(r, p + 1, end))) break;
    } else if (c == ',' || c == '}' || c == ']') {
      lua_pushnil(L);
    } else {
      break;
    }
    lua_rawset(L, t);
  }
  r.table_depth--;
  lua_settop(L, t - 1);
  return nullptr;
}

// Decimal size between commas; out-of-range values give -1 (refused).
int32_t parse_size(const uint8_t *p, const uint8_t *end) {
  int64_t v = 0;
  bool neg = false;
  while (p < end && is_blank(*p)) p++;
  if (p < end && (*p == '-' || *p == '+')) neg = *p++ == '-';
  bool any = false;
  for (; p < end && is_digit(*p); p++) {
    any = true;
    v = v * 10 + (*p - '0');
    if (v > INT32_MAX) return -1;
  }
  return any ? int32_t(neg ? -v : v) : 0;
}

// userdata("type",w[,h],"data"): p is just after "userdata(".
const uint8_t *read_userdata_text(pod_reader &r, const uint8_t *p, const uint8_t *end) {
  const uint8_t *type_start = p, *type_end;
  if (at(p, end) == '"') {
    type_start = ++p;
    while (p < end && *p != '"' && *p != 0) p++;
    if (at(p, end) != '"') return nullptr;
    type_end = p++;
  } else {
    while (p < end && *p != ',' && *p != '"' && *p != 0) p++;
    type_end = p;
  }
  std::string type(reinterpret_cast<const char *>(type_start), size_t(type_end - type_start));
  if (type.compare(0, 5, "[gfx]") == 0) {
    // A whole bitmap in the type string: its sizes and pixels are inside it.
    if (!create_userdata(r.L, type.c_str(), 0, 0, 0, nullptr)) return nullptr;
    if (at(p, end) == ')') p++;
    return p;
  }
  // The sizes: 2 commas give a width, 3 a width and height, 4 three sizes.
  int commas = 0;
  int32_t size[3] = {0, 0, 0};
  for (; p < end && *p != '"' && *p != 0; p++)
    if (*p == ',') {
      if (commas < 3) size[commas] = parse_size(p + 1, end);
      commas++;
    }
  if (at(p, end) != '"') return nullptr;
  const uint8_t *data_start = ++p;
  while (p < end && *p != '"' && *p != 0) p++;
  if (at(p, end) != '"') return nullptr;
  std::string data(reinterpret_cast<const char *>(data_start), size_t(p - data_start));
  p++;
  if (at(p, end) == ')') p++;
  int32_t dims = commas - 1;
  // A short text may not make a large array: every element the writer writes
  // takes at least one character, so the block may be at most 8 bytes a
  // character (small arrays always pass).
  if (dims >= 1 && dims <= 2 && size[0] > 0 && (dims == 1 || size[1] > 0)) {
    uint64_t block = uint64_t(size[0]) * uint64_t(dims == 2 ? size[1] : 1) *
                     utype_size(str_to_utype(type.c_str()));
    if (block > 64 && block > 8 * uint64_t(data.size())) return nullptr;
  }
  if (!create_userdata(r.L, type.c_str(), dims, size[0], size[1], data.c_str())) return nullptr;
  return p;
}

}  // namespace

static int64_t lua_state_bytes(lua_State *L) {
  return int64_t(lua_gc(L, LUA_GCCOUNT, 0)) * 1024 + lua_gc(L, LUA_GCCOUNTB, 0);
}

pod_reader pod_reader_start(lua_State *L) {
  return pod_reader{L, 0, 0, 0, uint64_t(memory_room_left()), lua_state_bytes(L)};
}

// Whether the values read so far take more than the reader may hold.
static bool over_memory_limit(const pod_reader &r) {
  if (cproc) return memory_room_left() <= 0;
  // The whole kilobytes decide unless the limit falls inside the last one.
  int64_t kib = int64_t(lua_gc(r.L, LUA_GCCOUNT, 0)) * 1024 - r.start_bytes;
  if (kib + 1023 <= memory_room_without_process) return false;
  if (kib > memory_room_without_process) return true;
  return kib + lua_gc(r.L, LUA_GCCOUNTB, 0) > memory_room_without_process;
}

const uint8_t *pod_get_value(pod_reader &r, const uint8_t *p, const uint8_t *end) {
  spend_cpu(1);
  // A short text can make many values: the read stops once the process
  // holds more than it may.
  if (over_memory_limit(r)) return nullptr;
  while (p < end && is_blank(*p)) p++;
  lua_State *L = r.L;
  switch (at(p, end)) {
    case '"':
      return read_string(r, p, end);
    case '{':
      return read_table(r, p, end);
    case 'b':
      if (STARTS(p, end, "b64:")) return get_b64(r, p, end);
      break;
    case 'f':
      if (STARTS(p, end, "false")) return lua_pushboolean(L, 0), p + 5;
      break;
    case 'l':
      if (starts(p, end, "lz4", 4)) return get_lz4pod(r, p, end);
      break;
    case 'n':
      if (STARTS(p, end, "nil")) return lua_pushnil(L), p + 3;
      break;
    case 'p':
      if (starts(p, end, "pxu", 4)) return get_binary_pxu(L, p, end);
      break;
    case 's':
      if (starts(p, end, "str", 4)) return get_binary_str(L, p, end);
      break;
    case 't':
      if (STARTS(p, end, "true")) return lua_pushboolean(L, 1), p + 4;
      break;
    case 'u':
      if (STARTS(p, end, "userdata(")) return read_userdata_text(r, p + 9, end);
      if (STARTS(p, end, "unpod(\"")) {
        if (r.wrap_depth >= POD_MAX_WRAP) return nullptr;
        r.wrap_depth++;
        const uint8_t *q = pod_get_value(r, p + 7, end);
        r.wrap_depth--;
        if (!q) return nullptr;
        if (at(q, end) == '"') q++;
        if (at(q, end) == ')') q++;
        return q;
      }
      break;
  }
  return read_number(r, p, end);
}

int64_t find_metadata_length(const char *text, int64_t length) {
  if (length < 7 || std::memcmp(text, "--[[pod", 7) != 0) return 0;
  for (int64_t i = 4; i + 1 < length; i++) {
    if (text[i] == 0) return i;
    if (text[i] == ']' && text[i + 1] == ']') {
      int64_t n = i + 2;
      if (n < length && text[n] == '\n') n++;
      return n;
    }
  }
  const void *nul = std::memchr(text, 0, size_t(length));
  return nul ? static_cast<const char *>(nul) - text : length;
}

// The body of a metadata block (from byte 4) read as table entries.
static bool read_metadata(pod_reader &r, const uint8_t *text, const uint8_t *end) {
  return read_table(r, text + 4, end) != nullptr;
}

int pod_read_text(pod_reader &r, const uint8_t *text, const uint8_t *end, bool with_metadata) {
  lua_State *L = r.L;
  int64_t length = end - text;
  int top = lua_gettop(L);
  int64_t meta = find_metadata_length(reinterpret_cast<const char *>(text), length);
  if (meta == 0) {
    if ((length == 3 || (length == 4 && text[3] == 0)) && std::memcmp(text, "str", 3) == 0) {
      lua_pushliteral(L, "str");
      return 1;
    }
    return pod_get_value(r, text, end) ? 1 : 0;
  }
  const uint8_t *payload = text + meta;
  if (length >= 20 && std::memcmp(text + 4, "pod_format=\"raw\"", 16) == 0) {
    // A raw payload is the rest of the text as it is (without the zero byte
    // that ends a message).
    const uint8_t *stop = end;
    if (stop > payload && stop[-1] == 0) stop--;
    lua_pushlstring(L, reinterpret_cast<const char *>(payload), size_t(stop - payload));
  } else if (!pod_get_value(r, payload, end)) {
    return 0;
  }
  if (!with_metadata) return 1;
  if (read_metadata(r, text, end)) return 2;
  lua_settop(L, top + 1);
  const char *body = reinterpret_cast<const char *>(text + 4);
  size_t n = strnlen(body, size_t(length - 4));
  std::printf("bad metadata format; ignoring %.*s\n", int(n), body);
  std::fflush(stdout);
  return 1;
}

int destringify_object_ex(lua_State *L, const char *text, int64_t length) {
  if (!text || length <= 0) return 0;
  pod_reader r = pod_reader_start(L);
  const uint8_t *t = reinterpret_cast<const uint8_t *>(text);
  return pod_read_text(r, t, t + length, true);
}

int destringify_object(lua_State *L, const char *text, int64_t length) {
  return destringify_object_ex(L, text, length);
}

int destringify_object_metadata(lua_State *L, const char *text, int64_t length) {
  pod_reader r = pod_reader_start(L);
  const uint8_t *t = reinterpret_cast<const uint8_t *>(text);
  if (length < 4 || !read_metadata(r, t, t + length)) lua_newtable(L);
  return 1;
}
