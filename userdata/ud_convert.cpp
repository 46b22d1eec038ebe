// Element type conversion and indexed images.
#include "userdata/ud_convert.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

#include "base/cpu_budget.h"
#include "lang/args.h"
#include "userdata/ud_frame.h"
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

namespace {

// The palette of an indexed image: at most 256 keys in order of first
// appearance, found in constant time through an open-addressed table four
// times their number, hashed with a multiplier drawn per image so that no
// set of keys a program picks makes the lookups walk far.
struct palette_table {
  static constexpr unsigned slots = 1024;
  int64_t keys[256];
  int count = 0;
  int64_t slot_key[slots];
  int16_t slot_index[slots];
  uint64_t multiplier;

  explicit palette_table(uint64_t seed) {
    for (int16_t &s : slot_index) s = -1;
    // splitmix64 of the seed, made odd.
    uint64_t z = seed + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    multiplier = (z ^ (z >> 31)) | 1;
  }
  // The index of a key: its entry, a new entry while there is room, else 255.
  uint8_t index_of(int64_t key) {
    unsigned s = unsigned((uint64_t(key) * multiplier) >> 54);
    while (slot_index[s] >= 0) {
      if (slot_key[s] == key) return uint8_t(slot_index[s]);
      s = (s + 1) & (slots - 1);
    }
    if (count == 256) return 255;
    slot_key[s] = key;
    slot_index[s] = int16_t(count);
    keys[count] = key;
    return uint8_t(count++);
  }
};

// Each source element's key (u8 zero-extended, i16 and i32 sign-extended,
// i64 as it is, f64 truncated toward zero) looked up in the palette; a run
// of equal keys looks up once.
template <class T>
void index_elements(const T *src, uint8_t *index, uint64_t n, palette_table *palette) {
  if constexpr (std::is_integral_v<T> && sizeof(T) <= 2) {
    // Narrow keys: a table of every value, each looked up the first time
    // it is seen.
    constexpr size_t values = size_t(1) << (8 * sizeof(T));
    std::vector<int16_t> seen(values, -1);
    using U = std::make_unsigned_t<T>;
    for (uint64_t i = 0; i < n; i++) {
      int16_t &slot = seen[U(src[i])];
      if (slot < 0) slot = palette->index_of(int64_t(src[i]));
      index[i] = uint8_t(slot);
    }
    return;
  }
  int64_t last_key = 0;
  uint8_t last_index = 0;
  bool have_last = false;
  for (uint64_t i = 0; i < n; i++) {
    int64_t key;
    if constexpr (std::is_floating_point_v<T>)
      key = kvd_double_to_i64(src[i]);
    else
      key = int64_t(src[i]);
    if (!have_last || key != last_key) {
      last_index = palette->index_of(key);
      last_key = key;
      have_last = true;
    }
    index[i] = last_index;
  }
}

uint64_t palette_seed;

}  // namespace

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
  auto palette = std::make_unique<palette_table>(palette_seed++ ^ uint64_t(uintptr_t(image)));
  uint8_t *index = udata_elements(image);
  udata_visit_type(src->utype, [&](auto zero) {
    using T = decltype(zero);
    index_elements(reinterpret_cast<const T *>(udata_elements(src)), index, n, palette.get());
  });
  int count = palette->count;
  udata *palette_ud = create_userdata(L, get_utype_string(src->utype & 31), 1, count, 1, nullptr);
  if (!palette_ud) return 0;
  for (int i = 0; i < count; i++) udata_set_int(palette_ud, uint64_t(i), palette->keys[i]);
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
