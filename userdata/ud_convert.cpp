// Element type conversion and indexed images.
#include "userdata/ud_convert.h"

#include <cmath>
#include <cstring>
#include <type_traits>

#include "lang/args.h"
#include "base/cpu_budget.h"
#include "userdata/udata.h"

template <class D, class S>
static D convert_value(S v) {
  if constexpr (std::is_same_v<D, double>) {
    return double(v);
  } else if constexpr (std::is_same_v<S, double>) {
    if constexpr (std::is_same_v<D, int64_t>)
      return kvd_double_to_i64(std::floor(v));
    else
      return D(kvd_double_to_i32(std::floor(v)));  // low bits of the 32-bit value
  } else {
    return D(v);  // integers: low bits, or sign / zero extension
  }
}

template <class D, class S>
static void convert_run(const uint8_t *from, uint8_t *to, size_t n) {
  for (size_t i = 0; i < n; i++) {
    S v;
    std::memcpy(&v, from + i * sizeof(S), sizeof(S));
    D d = convert_value<D>(v);
    std::memcpy(to + i * sizeof(D), &d, sizeof(D));
  }
}

template <class S>
static void convert_from(uint32_t to_type, const uint8_t *from, uint8_t *to, size_t n) {
  switch (to_type) {
    case UTYPE_I16:
      return convert_run<int16_t, S>(from, to, n);
    case UTYPE_I32:
      return convert_run<int32_t, S>(from, to, n);
    case UTYPE_I64:
      return convert_run<int64_t, S>(from, to, n);
    case UTYPE_F64:
      return convert_run<double, S>(from, to, n);
    default:
      return convert_run<uint8_t, S>(from, to, n);
  }
}

static void convert_elements(uint32_t from_type, uint32_t to_type, const uint8_t *from, uint8_t *to,
                             size_t n) {
  switch (from_type) {
    case UTYPE_I16:
      return convert_from<int16_t>(to_type, from, to, n);
    case UTYPE_I32:
      return convert_from<int32_t>(to_type, from, to, n);
    case UTYPE_I64:
      return convert_from<int64_t>(to_type, from, to, n);
    case UTYPE_F64:
      return convert_from<double>(to_type, from, to, n);
    default:
      return convert_from<uint8_t>(to_type, from, to, n);
  }
}

static int convert_indexed(lua_State *L, const udata *src) {
  udata seen = *src;
  udata *image =
      create_userdata(L, "u8", src->dims, int32_t(src->width), int32_t(src->height), nullptr);
  if (!image) return 0;
  // Making the image can run a finalizer that reshapes the source.
  if (!udata_unchanged(src, seen)) {
    lua_pop(L, 1);
    return 0;
  }
  uint64_t n = udata_count(src);
  bool f64 = (src->utype & 31) == UTYPE_F64;
  int64_t keys[256];
  int count = 0;
  uint8_t *index = udata_elements(image);
  for (uint64_t i = 0; i < n; i++) {
    int64_t key = f64 ? kvd_double_to_i64(udata_get_num(src, i)) : udata_get_int(src, i);
    int found = 0;
    while (found < count && keys[found] != key) found++;
    if (found == count) {
      if (count < 256)
        keys[count++] = key;
      else
        found = 255;
    }
    index[i] = uint8_t(found);
  }
  udata *palette = create_userdata(L, get_utype_string(src->utype & 31), 1, count, 1, nullptr);
  if (!palette) return 0;
  for (int i = 0; i < count; i++) udata_set_int(palette, uint64_t(i), keys[i]);
  spend_cpu(int64_t(n));
  return 2;
}

int lua54_ud_convert(lua_State *L) {
  udata *src = to_udata(L, 1);
  if (!src) return 0;
  int t = lua_type(L, 2);
  const char *type = t == LUA_TSTRING || t == LUA_TNUMBER ? lua_tostring(L, 2) : nullptr;
  if (t == LUA_TSTRING && std::strcmp(type, "u8") == 0 && lua_rawlen(L, 2) == 2 &&
      lua_toboolean(L, 3))
    return convert_indexed(L, src);
  udata seen = *src;
  udata *dst =
      create_userdata(L, type, src->dims, int32_t(src->width), int32_t(src->height), nullptr);
  if (!dst) return 0;
  if (!udata_unchanged(src, seen)) {
    lua_pop(L, 1);
    return 0;
  }
  // A "[gfx]" or "[map]" type text sizes the result itself: fill only what
  // both hold.
  uint64_t n = udata_count(src) < udata_count(dst) ? udata_count(src) : udata_count(dst);
  uint32_t from = src->utype & 31, to = dst->utype & 31;
  if (from == to) {
    std::memcpy(udata_elements(dst), udata_elements(src), n * utype_size(from));
    return 1;
  }
  convert_elements(from, to, udata_elements(src), udata_elements(dst), size_t(n));
  int64_t cost = from == UTYPE_F64 || to == UTYPE_F64   ? 2 * int64_t(n)
                 : from == UTYPE_I64 || to == UTYPE_I64 ? int64_t(n)
                                                        : int64_t(n) / 2;
  spend_cpu(cost);
  return 1;
}
