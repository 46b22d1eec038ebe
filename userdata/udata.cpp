// The udata record: type names, creation from sizes and from its text forms,
// duplication, and the record check used by every function taking one.
#include "userdata/udata.h"

#include <cstdlib>
#include <cstring>

#include "base/cpu_budget.h"
#include "base/pbuffer.h"
#include "machine/process.h"
#include "lang/args.h"

const char *const utype_string[23] = {
    "?",   "?",   "?",   "u8", "?", "?", "?", "?", "?", "?", "?",   "?",
    "i16", "i32", "i64", "?",  "?", "?", "?", "?", "?", "?", "f64",
};

static constexpr std::array<uint8_t, 256> make_b64_val() {
  std::array<uint8_t, 256> t{};
  for (int c = '0'; c <= '9'; c++) t[c] = uint8_t(c - '0');
  for (int c = 'a'; c <= 'z'; c++) t[c] = uint8_t(c - 'a' + 10);
  for (int c = 'A'; c <= 'Z'; c++) t[c] = uint8_t(c - 'A' + 36);
  t['_'] = 62;
  t['-'] = 63;
  return t;
}
const std::array<uint8_t, 256> b64_val = make_b64_val();

uint8_t str_to_utype(const char *text) {
  if (!text || !text[0]) return UTYPE_U8;
  uint8_t code = text[0] == 'f' ? UTYPE_F64 : text[0] == 'i' ? UTYPE_I64 : UTYPE_U8;
  if (text[1] == '3')
    code = UTYPE_I32;
  else if (text[1] == '1')
    code = UTYPE_I16;
  return code;
}

const char *get_utype_string(uint32_t code) {
  return code < 23 ? utype_string[code] : utype_string[0];
}

// Gives the record the table in the global USERDATA when it is one (read raw:
// creation runs no Lua code). The record is at the top of the stack. A
// program may have put anything in the registry's globals slot: a value that
// is not a table gives the record no metatable.
static void set_userdata_metatable(lua_State *L) {
  if (lua_rawgeti(L, LUA_REGISTRYINDEX, LUA_RIDX_GLOBALS) != LUA_TTABLE) {
    lua_pop(L, 1);
    return;
  }
  lua_pushliteral(L, "USERDATA");
  lua_rawget(L, -2);
  if (lua_istable(L, -1)) {
    lua_setmetatable(L, -3);
    lua_pop(L, 1);
  } else {
    lua_pop(L, 2);
  }
}

static uint64_t rounded_block(uint64_t bytes) { return (bytes + 7) & ~uint64_t(7); }

static void fill_f64_list(udata *ud, const char *s) {
  double *el = reinterpret_cast<double *>(udata_elements(ud));
  uint64_t n = udata_count(ud);
  for (uint64_t i = 0; i < n; i++) {
    el[i] = 0;
    if (*s == ')' || *s == '"' || *s == 0) continue;  // resting: the rest reads 0
    char *end = nullptr;
    double v = std::strtod(s, &end);
    if (end != s) el[i] = v;
    while (*s && *s != ',' && *s != ')' && *s != '"') s++;
    if (*s == ',') s++;
  }
}

static void fill_hex(udata *ud, const char *s) {
  uint8_t *el = udata_elements(ud);
  uint64_t n = udata_count(ud);
  switch (ud->utype & 31) {
    case UTYPE_I16:
      for (uint64_t i = 0; i < n; i++) {
        int16_t v = int16_t(read_i16_from_hex_str(&s));
        std::memcpy(el + 2 * i, &v, 2);
      }
      break;
    case UTYPE_I32:
      for (uint64_t i = 0; i < n; i++) {
        int32_t v = read_i32_from_hex_str(&s);
        std::memcpy(el + 4 * i, &v, 4);
      }
      break;
    case UTYPE_I64:
      for (uint64_t i = 0; i < n; i++) {
        int64_t v = read_i64_from_hex_str(&s);
        std::memcpy(el + 8 * i, &v, 8);
      }
      break;
    default:
      for (uint64_t i = 0; i < n; i++) el[i] = uint8_t(read_u8_from_hex_str(&s));
      break;
  }
}

static void fill_from_text(udata *ud, const char *text) {
  uint8_t *el = udata_elements(ud);
  uint64_t n = udata_count(ud);
  if (std::strncmp(text, "[gfx]", 5) == 0) {
    // One character per pixel from position 9; nothing past the text's end.
    size_t len = std::strlen(text);
    const char *px = len > 9 ? text + 9 : text + len;
    for (uint64_t i = 0; i < n && px[i]; i++) el[i] = b64_val[uint8_t(px[i])];
  } else if (std::strncmp(text, "[map]", 5) == 0) {
    // 16-bit cells; a u8 record takes only as many as its block holds.
    uint64_t cells = rounded_block(udata_bytes(ud)) / 2;
    if (cells > n) cells = n;
    const char *s = std::strlen(text) > 9 ? text + 9 : text + std::strlen(text);
    for (uint64_t i = 0; i < cells; i++) {
      int16_t v = int16_t(read_i16_from_hex_str(&s));
      std::memcpy(el + 2 * i, &v, 2);
    }
  } else {
    if (std::strncmp(text, "hex:", 4) == 0) text += 4;
    if ((ud->utype & 31) == UTYPE_F64)
      fill_f64_list(ud, text);
    else
      fill_hex(ud, text);
  }
}

udata *create_userdata(lua_State *L, const char *type_text, int32_t dims, int32_t width,
                       int32_t height, const char *data_text) {
  uint8_t code = str_to_utype(type_text);
  if (dims < 2) height = 1;
  bool gfx = type_text && std::strncmp(type_text, "[gfx]", 5) == 0;
  bool map = type_text && std::strncmp(type_text, "[map]", 5) == 0;
  if ((gfx || map) && std::strlen(type_text) >= 9) {
    const uint8_t *t = reinterpret_cast<const uint8_t *>(type_text);
    width = hex_digit_to_int[t[5]] * 16 + hex_digit_to_int[t[6]];
    height = hex_digit_to_int[t[7]] * 16 + hex_digit_to_int[t[8]];
    code = gfx ? UTYPE_U8 : UTYPE_I16;
    dims = 2;
    data_text = type_text;
  } else if (dims != 1 && dims != 2) {
    return nullptr;
  }
  if (width < 1 || height < 1) return nullptr;
  uint64_t bytes = 0;
  if (!udata_shape_bytes(uint64_t(width), uint64_t(height), code, &bytes) || bytes < 1 ||
      bytes > UDATA_MAX_BYTES)
    return nullptr;
  uint64_t block = rounded_block(bytes);

  udata *ud = static_cast<udata *>(lua_newuserdatauv(L, sizeof(udata) + block, 0));
  std::memset(ud, 0, sizeof(udata) + block);
  ud->utype = code;
  ud->dims = uint8_t(dims);
  ud->width = uint32_t(width);
  ud->height = uint32_t(height);
  set_userdata_metatable(L);
  if (data_text) {
    spend_cpu(int64_t((uint32_t(width) * uint32_t(height)) << (code & 7) >> 5));
    fill_from_text(ud, data_text);
  }
  return ud;
}

// Pushes a record of src's size whose first `copied` bytes (header
// included) and block padding are src's.
static udata *push_copied_userdata(lua_State *L, const udata *src, uint64_t copied) {
  uint64_t bytes = udata_bytes(src), block = rounded_block(bytes);
  udata *ud = static_cast<udata *>(lua_newuserdatauv(L, sizeof(udata) + block, 0));
  std::memcpy(ud, src, copied);
  ud->mapped[0] = UDATA_NOT_MAPPED;  // a new record, mapped nowhere
  ud->map_run = 0;
  std::memcpy(udata_elements(ud) + bytes, udata_elements(src) + bytes, block - bytes);
  set_userdata_metatable(L);
  return ud;
}

udata *push_duplicate_userdata(lua_State *L, const udata *src) {
  return push_copied_userdata(L, src, sizeof(udata) + udata_bytes(src));
}

udata *push_userdata_to_overwrite(lua_State *L, const udata *src) {
  return push_copied_userdata(L, src, sizeof(udata));
}

void udata_mark_mapped_pages(const udata *ud) {
  if (!cproc || !ud) return;
  proc_memory &m = cproc->mem;
  // Marked already since the marks were last taken in.
  if (m.mapped_write_seen == ud) return;
  m.mapped_write_seen = ud;
  if (ud->mapped[0] == UDATA_MAPPED_ONCE) {
    uint32_t first = ud->map_run & (RAM_PAGES - 1), count = ((ud->map_run >> 12) & 0xFFF) + 1;
    for (uint32_t p = first; p < first + count && p < RAM_PAGES; p++)
      m.page_flags[p] |= uint8_t(PAGE_WRITTEN & ~PAGE_MEMORY_WRITE);
    // Charged, so that calls alternating between large mapped records pay
    // for marking them again each time.
    spend_cpu(count / 64);
  } else {
    m.mapped_marks |= MAPPED_ALL_WRITTEN;
  }
}

udata *to_udata(lua_State *L, int index) {
  if (lua_type(L, index) != LUA_TUSERDATA) return nullptr;
  udata *ud = static_cast<udata *>(lua_touserdata(L, index));
  size_t len = lua_rawlen(L, index);
  if (!ud || len < sizeof(udata)) return nullptr;
  if (ud->dims < 1 || ud->dims > 2 || ud->width < 1 || ud->height < 1) return nullptr;
  uint64_t size = utype_size(ud->utype & 31);
  if (size < 1 || udata_count(ud) > (len - sizeof(udata)) / size) return nullptr;
  // Whatever takes a record as an argument may write it.
  udata_note_write(ud);
  return ud;
}

int64_t udata_get_int(const udata *ud, uint64_t i) {
  const uint8_t *p = udata_elements(ud) + i * utype_size(ud->utype & 31);
  switch (ud->utype & 31) {
    case UTYPE_I16: {
      int16_t v;
      std::memcpy(&v, p, 2);
      return v;
    }
    case UTYPE_I32: {
      int32_t v;
      std::memcpy(&v, p, 4);
      return v;
    }
    case UTYPE_I64: {
      int64_t v;
      std::memcpy(&v, p, 8);
      return v;
    }
    case UTYPE_F64: {
      double v;
      std::memcpy(&v, p, 8);
      return kvd_double_to_i64(v);
    }
    default:
      return *p;
  }
}

double udata_get_num(const udata *ud, uint64_t i) {
  if ((ud->utype & 31) != UTYPE_F64) return double(udata_get_int(ud, i));
  double v;
  std::memcpy(&v, udata_elements(ud) + i * 8, 8);
  return v;
}

void udata_set_int(udata *ud, uint64_t i, int64_t v) {
  uint8_t *p = udata_elements(ud) + i * utype_size(ud->utype & 31);
  switch (ud->utype & 31) {
    case UTYPE_I16: {
      int16_t x = int16_t(v);
      std::memcpy(p, &x, 2);
      break;
    }
    case UTYPE_I32: {
      int32_t x = int32_t(v);
      std::memcpy(p, &x, 4);
      break;
    }
    case UTYPE_I64:
      std::memcpy(p, &v, 8);
      break;
    case UTYPE_F64: {
      double x = double(v);
      std::memcpy(p, &x, 8);
      break;
    }
    default:
      *p = uint8_t(v);
      break;
  }
}

void udata_set_num(udata *ud, uint64_t i, double v) {
  if ((ud->utype & 31) == UTYPE_F64)
    std::memcpy(udata_elements(ud) + i * 8, &v, 8);
  else
    udata_set_int(ud, i, kvd_double_to_i64(v));
}

void udata_push_element(lua_State *L, const udata *ud, uint64_t i) {
  if ((ud->utype & 31) == UTYPE_F64)
    lua_pushnumber(L, udata_get_num(ud, i));
  else
    lua_pushinteger(L, udata_get_int(ud, i));
}
