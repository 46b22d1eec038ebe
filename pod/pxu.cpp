// pxu writer and reader: raw bytes, run-length coding (RLE) and run-length
// coding with a small move-to-front table of recent values (MTF).
#include "pod/pxu.h"

#include <algorithm>
#include <cstring>

#include "base/cpu_budget.h"

namespace {

// Move-to-front state shared by writer and reader: the value of each slot and
// the recency order of the slots. Only the first 2^N - 1 of each take part.
struct mtf_state {
  uint32_t value[256];
  uint32_t order[256];
  uint32_t slots;  // 2^N - 1

  explicit mtf_state(int bits) : slots((1u << bits) - 1) {
    for (uint32_t i = 0; i < 256; i++) value[i] = order[i] = i;
  }
  void to_front(uint32_t s) {
    uint32_t pos = 0;
    while (pos < slots && order[pos] != s) pos++;
    if (pos == slots) return;
    std::memmove(order + 1, order, pos * sizeof order[0]);
    order[0] = s;
  }
  // A literal replaces the value of the least recent slot; the order stays.
  void set_literal(uint32_t v) { value[order[slots - 1]] = v; }
};

// Extension bytes of a run: the rest in bytes of at most 255, a 255 always
// followed by another byte.
void write_extension(pbuffer *b, uint64_t rest) {
  uint32_t byte;
  do {
    byte = uint32_t(std::min<uint64_t>(rest, 255));
    bwrite_uint8(byte, b);
    rest -= byte;
  } while (byte == 255);
}

uint32_t element_at(const uint8_t *el, uint64_t i, bool wide) {
  if (!wide) return el[i];
  uint16_t v;
  std::memcpy(&v, el + 2 * i, 2);
  return v;
}

// Run length of equal elements from i.
uint64_t run_from(const uint8_t *el, uint64_t i, uint64_t n, bool wide) {
  uint32_t v = element_at(el, i, wide);
  uint64_t j = i + 1;
  while (j < n && element_at(el, j, wide) == v) j++;
  return j - i;
}

// Reads bytes of a form, never past its end.
struct pxu_cursor {
  const uint8_t *p;
  const uint8_t *end;
  bool ok = true;

  uint32_t u8() {
    if (p >= end) return ok = false, 0;
    return *p++;
  }
  uint32_t u32() {
    if (end - p < 4) return ok = false, 0;
    uint32_t v = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    p += 4;
    return v;
  }
  // Adds the extension bytes of a run to run.
  void extension(uint64_t &run) {
    uint32_t byte;
    do {
      byte = u8();
      run += byte;
    } while (ok && byte == 255);
  }
};

bool decode_raw(pxu_cursor &c, uint8_t *out, uint64_t n) {
  if (uint64_t(c.end - c.p) < n) return false;
  std::memcpy(out, c.p, n);
  c.p += n;
  return true;
}

bool decode_mtf(pxu_cursor &c, uint8_t *out, uint64_t n, int bits) {
  mtf_state st(bits);
  const uint32_t run_max = (1u << (8 - bits)) - 1;
  uint64_t filled = 0;
  while (filled < n) {
    uint32_t code = c.u8();
    uint32_t idx = code & st.slots;
    uint32_t v;
    if (idx == st.slots) {
      v = c.u8();
      st.set_literal(v);
    } else {
      v = st.value[idx];
      st.to_front(idx);
    }
    uint64_t run = code >> bits;
    if (run == run_max) c.extension(run);
    if (!c.ok) return false;
    uint64_t k = std::min(run + 1, n - filled);
    std::memset(out + filled, int(v), k);
    filled += k;
  }
  return true;
}

bool decode_rle(pxu_cursor &c, uint8_t *out, uint64_t n, bool wide) {
  uint64_t filled = 0;
  while (filled < n) {
    uint64_t run = c.u8();
    uint32_t v = c.u8();
    if (wide) v |= c.u8() << 8;
    if (run == 255) c.extension(run);
    if (!c.ok) return false;
    uint64_t k = std::min(run + 1, n - filled);
    if (wide) {
      for (uint64_t i = 0; i < k; i++) std::memcpy(out + 2 * (filled + i), &v, 2);
    } else {
      std::memset(out + filled, int(v), k);
    }
    filled += k;
  }
  return true;
}

}  // namespace

int64_t write_binary_pxu(const udata *ud, pbuffer *b, int bits, int mode) {
  int64_t before = b->cursor;
  if (bits < 1 || bits > 6) bits = 4;  // the move-to-front table needs 1 to 6 index bits
  bool big = ud->width >= 256 || ud->height >= 256;
  bwrite("pxu", 1, 4, b);
  bwrite_uint8(uint32_t((ud->dims - 1) << 6) | (ud->utype & 0x3f), b);
  bwrite_uint8(uint32_t(mode) | (big ? PXU_SIZE_FLAG : 0), b);
  for (uint32_t size : {ud->width, ud->height}) {
    if (big)
      bwrite_uint32(size, b);
    else
      bwrite_uint8(size, b);
    if (ud->dims != 2) break;
  }
  const uint8_t *el = udata_elements(ud);
  uint64_t n = udata_count(ud);
  if (mode == PXU_MODE_RAW) {
    bwrite(el, 1, n, b);
  } else if (mode == PXU_MODE_RLE) {
    bool wide = (ud->utype & 31) == UTYPE_I16;
    bwrite_uint8(0, b);
    for (uint64_t i = 0; i < n;) {
      uint64_t len = run_from(el, i, n, wide);
      uint32_t v = element_at(el, i, wide);
      uint32_t k = uint32_t(std::min<uint64_t>(len - 1, 255));
      bwrite_uint8(k, b);
      if (wide)
        bwrite_uint16(v, b);
      else
        bwrite_uint8(v, b);
      if (k == 255) write_extension(b, len - 1 - 255);
      i += len;
    }
  } else {
    mtf_state st(bits);
    const uint32_t run_max = (1u << (8 - bits)) - 1;
    bwrite_uint8(uint32_t(bits), b);
    for (uint64_t i = 0; i < n;) {
      uint64_t len = run_from(el, i, n, false);
      uint32_t v = el[i];
      uint32_t field = uint32_t(std::min<uint64_t>(len - 1, run_max));
      uint32_t slot = st.slots;
      for (uint32_t s = 0; s < st.slots; s++)
        if (st.value[s] == v) slot = s;  // the last slot holding it wins
      bwrite_uint8(field << bits | slot, b);
      if (slot == st.slots) {
        bwrite_uint8(v, b);
        st.set_literal(v);
      } else {
        st.to_front(slot);
      }
      if (len - 1 >= run_max) write_extension(b, len - 1 - run_max);
      i += len;
    }
  }
  return b->cursor - before;
}

const uint8_t *get_binary_pxu(lua_State *L, const uint8_t *text, const uint8_t *end) {
  pxu_cursor c{text + 4, end};
  uint32_t dims, code, mode, width, height;
  if (end - text < 6) return nullptr;
  if ((text[5] & 0xf0) == 0) {
    // Legacy header: u32 sizes, the type at byte 16, move-to-front data.
    if (end - text < 17) return nullptr;
    width = c.u32();
    height = c.u32();
    c.p = text + 16;
    code = c.u8();
    dims = 2;
    mode = PXU_MODE_MTF;
  } else {
    uint32_t type_byte = c.u8();
    uint32_t mode_byte = c.u8();
    dims = (type_byte >> 6) + 1;
    code = type_byte & 0x3f;
    mode = mode_byte & 0xf0;
    bool big = mode_byte & PXU_SIZE_FLAG;
    width = big ? c.u32() : c.u8();
    height = dims == 2 ? (big ? c.u32() : c.u8()) : 1;
  }
  if (!c.ok || (mode != PXU_MODE_RAW && mode != PXU_MODE_MTF && mode != PXU_MODE_RLE))
    return nullptr;
  int bits = 0;
  if (mode == PXU_MODE_MTF) {
    bits = int(c.u8());
    if (!c.ok || bits < 1 || bits > 6) return nullptr;
  } else if (mode == PXU_MODE_RLE) {
    c.u8();  // the leading 0 byte
    if (!c.ok) return nullptr;
  }
  // Refuse sizes the remaining bytes cannot fill before anything is made: a
  // raw byte gives one element, any other byte at most 255.
  uint64_t n = uint64_t(width) * height;
  uint64_t left = uint64_t(c.end - c.p);
  if (mode == PXU_MODE_RAW ? n > left : n > left * 255 + 256) return nullptr;
  if (width > INT32_MAX || height > INT32_MAX) return nullptr;

  udata *ud = create_userdata(L, get_utype_string(code), int32_t(dims), int32_t(width),
                              int32_t(height), nullptr);
  if (!ud) return nullptr;
  spend_cpu(int64_t(udata_bytes(ud) / 4));
  uint8_t *out = udata_elements(ud);
  uint32_t type = ud->utype & 31;
  bool ok = true;
  if (mode == PXU_MODE_RAW)
    ok = decode_raw(c, out, n);
  else if (mode == PXU_MODE_MTF)
    ok = decode_mtf(c, out, n, bits);
  else if (type == UTYPE_U8 || type == UTYPE_I16)
    ok = decode_rle(c, out, n, type == UTYPE_I16);
  // (RLE data of any other type is not read: the array stays zero-filled.)
  if (!ok) {
    lua_pop(L, 1);
    return nullptr;
  }
  return c.p;
}
