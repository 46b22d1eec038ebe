// udata: the typed array record behind every bitmap, sprite, map, vector and
// matrix. One full Lua userdata (no user values) holds a 16-byte header and
// then the elements, row-major, 8-byte aligned, in a block rounded up to a
// multiple of 8 bytes and zeroed at creation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "lang/lua_api.h"

// Element type codes: the low 3 bits are log2 of the element width in bits,
// bit 3 marks a signed integer, bit 4 a float. Readers use code & 31.
enum : uint8_t {
  UTYPE_U8 = 3,
  UTYPE_I16 = 12,
  UTYPE_I32 = 13,
  UTYPE_I64 = 14,
  UTYPE_F64 = 22,
};

struct udata {
  uint8_t utype;  // element type code
  uint8_t dims;   // 1 or 2
  // [0]: UDATA_NOT_MAPPED, UDATA_MAPPED_ONCE or UDATA_MAPPED_MORE; [1] unused.
  uint8_t mapped[2];
  uint32_t width;   // elements per row, at least 1
  uint32_t height;  // rows, at least 1; 1 when dims is 1
  // While mapped once: the first page of the run its bytes show in, and the
  // page count less one (bits 12 to 23). Also pads the header to 16 bytes so
  // elements are 8-aligned.
  uint32_t map_run;
};
static_assert(sizeof(udata) == 16, "the elements start 16 bytes into the record");

// Whether a record's bytes are seen through process memory (_map_ram): never,
// at one run of pages (map_run), or at more than one.
enum : uint8_t { UDATA_NOT_MAPPED = 0, UDATA_MAPPED_ONCE = 1, UDATA_MAPPED_MORE = 2 };

// The largest rounded element block: a 4096 x 4096 u8 bitmap.
constexpr uint64_t UDATA_MAX_BYTES = 0x1000000;

// Called where a record may be written (or passed to a call that may write
// it): when its bytes are mapped into the current process's memory, the
// pages they show in are marked as written, so that what follows that memory
// (the audio mirror) looks at them, and only at them, again.
void udata_mark_mapped_pages(const udata *ud);
inline void udata_note_write(const udata *ud) {
  if (ud && ud->mapped[0] != UDATA_NOT_MAPPED) udata_mark_mapped_pages(ud);
}

// Names by type code: "u8", "i16", "i32", "i64", "f64" at their codes, "?"
// at every other index.
extern const char *const utype_string[23];
// Digit table of the text forms (hex digits use the buffer's hex_digit_to_int):
// b64_val ('0'-'9' 0-9, 'a'-'z' 10-35, 'A'-'Z' 36-61, '_' 62,
// '-' 63; 0 otherwise).
extern const std::array<uint8_t, 256> b64_val;

inline uint8_t *udata_elements(udata *ud) {
  return reinterpret_cast<uint8_t *>(ud) + sizeof(udata);
}
inline const uint8_t *udata_elements(const udata *ud) {
  return reinterpret_cast<const uint8_t *>(ud) + sizeof(udata);
}
// Bytes of one element of a type code.
inline uint32_t utype_size(uint32_t code) { return (1u << (code & 7)) >> 3; }
inline uint64_t udata_count(const udata *ud) { return uint64_t(ud->width) * ud->height; }
// Bytes the elements take (width x height x element size, not rounded). Exact
// for every record to_udata accepts.
inline uint64_t udata_bytes(const udata *ud) {
  return udata_count(ud) * utype_size(ud->utype & 31);
}
// The element bytes of a width x height shape of a type code, formed without
// overflow: false when the product does not fit in 64 bits.
inline bool udata_shape_bytes(uint64_t width, uint64_t height, uint32_t code, uint64_t *bytes) {
  uint64_t count = 0;
  return !__builtin_mul_overflow(width, height, &count) &&
         !__builtin_mul_overflow(count, uint64_t(utype_size(code & 31)), bytes);
}
// True when ud's header is still the one a call copied into `seen`. Any
// allocation can run pending finalizers, and a finalizer can mutate a record
// the call has already checked: a call that read a shape or an element type
// before allocating compares afterwards and refuses when it changed. A null
// record is unchanged.
inline bool udata_unchanged(const udata *ud, const udata &seen) {
  return !ud || (ud->utype == seen.utype && ud->dims == seen.dims && ud->width == seen.width &&
                 ud->height == seen.height);
}
// The header of a record, or a zeroed one for null: what udata_unchanged
// compares against.
inline udata udata_header(const udata *ud) { return ud ? *ud : udata{}; }

// Element i of a record read as an integer (u8 zero-extended, i16 and i32
// sign-extended, f64 converted by kvd_double_to_i64) or as a float; and
// written from an integer (low bits kept) or a float (integers converted by
// kvd_double_to_i64 first). i must be below udata_count.
int64_t udata_get_int(const udata *ud, uint64_t i);
double udata_get_num(const udata *ud, uint64_t i);
void udata_set_int(udata *ud, uint64_t i, int64_t v);
void udata_set_num(udata *ud, uint64_t i, double v);
// Pushes element i: a float for f64, an integer for the integer types.
void udata_push_element(lua_State *L, const udata *ud, uint64_t i);

// The type code of a type name by its first two characters: 'f' f64, 'i'
// i64, anything else u8; then a second character '3' gives i32 and '1' i16.
// Null or empty gives u8.
uint8_t str_to_utype(const char *text);
// The name of a code below 23, else "?".
const char *get_utype_string(uint32_t code);

// Creates a zero-filled record, pushes it and returns it; with a data text,
// fills it from the text (hex digits, "[gfx]" or "[map]" bitmaps, f64 lists)
// and charges the bits filled / 32 cycles. Refused (nothing pushed, null
// returned) when dims is not 1 or 2, a size is below 1, or the rounded block
// is above 16 MiB. A "[gfx]" or "[map]" type text of 9 or more characters
// carries its own sizes and data.
udata *create_userdata(lua_State *L, const char *type_text, int32_t dims, int32_t width,
                       int32_t height, const char *data_text);
// Pushes a byte-for-byte copy of ud (header and rounded block); no size check,
// no charge.
udata *push_duplicate_userdata(lua_State *L, const udata *ud);
// Pushes a record of ud's header whose elements the caller is about to write
// every one of: only the header and the block's padding past the last
// element are copied. No size check, no charge.
udata *push_userdata_to_overwrite(lua_State *L, const udata *ud);
// The record at a stack index, or null when the value is not a full userdata
// whose header fits its allocation (dims 1 or 2, sizes at least 1, an element
// size of at least one byte, elements within the block, tested by division).
udata *to_udata(lua_State *L, int index);

// Lua globals userdata(type, width, [height], [data]) and vec(...).
int lua54_userdata(lua_State *L);
int lua54_vec(lua_State *L);
