// copy, take, clear and the operand scratch copies.
#include "userdata/ud_copy.h"

#include <algorithm>
#include <cstring>

#include "base/cpu_budget.h"
#include "base/pbuffer.h"
#include "lang/args.h"
#include "userdata/ud_frame.h"
#include "userdata/udata.h"

// Cost divisor of the moving operations: 12 for 8-byte elements, else 24.
static int64_t move_divisor(uint32_t type) { return utype_size(type) == 8 ? 12 : 24; }

// copy's element rule is the right-hand value.
struct op_copy {
  template <class T>
  static T rule(T, T right) {
    return right;
  }
  static int64_t divisor(uint32_t type) { return move_divisor(type); }
  static int64_t host_ns10(const frame_call &, const frame_plan &) { return UD_NS10_CHEAP; }
};

int lua54_ud_copy(lua_State *L) {
  udata *a = to_udata(L, 1), *b = to_udata(L, 2);
  if (a && b && (b->utype & 31) == UTYPE_I32 && (a->utype & 31) != UTYPE_I32)
    return lua54_ud_take(L);
  return frame_run<op_copy>(L, PROLOGUE_SELF);
}

// The element move of take, as unsigned bits of the element's width; one
// element at a time, in increasing order, so that a destination overlapping
// the source reads what was already written.
template <class T>
static void take_rows(const udata *src, const int32_t *index, int64_t r0, int64_t r1, int64_t ioff,
                      int64_t istride, udata *dst, int64_t doff, int64_t dstride, int64_t span) {
  const T *from = reinterpret_cast<const T *>(udata_elements(src));
  T *to = reinterpret_cast<T *>(udata_elements(dst));
  int64_t slen = int64_t(udata_count(src)), dlen = int64_t(udata_count(dst));
  for (int64_t r = r0; r < r1; r++) {
    int64_t s = index[ioff + r * istride], d = doff + r * dstride;
    int64_t k0 = 0, k1 = span;
    if (-s > k0) k0 = -s;
    if (-d > k0) k0 = -d;
    if (slen - s < k1) k1 = slen - s;
    if (dlen - d < k1) k1 = dlen - d;
    for (int64_t k = k0; k < k1; k++) to[d + k] = from[s + k];
  }
}

int lua54_ud_take(lua_State *L) {
  udata *src = to_udata(L, 1), *list = to_udata(L, 2);
  if (!src || !list || (list->utype & 31) != UTYPE_I32) return 0;
  auto arg = [L](int i, int64_t def) { return int32_t(uint32_t(kvd_intp(L, i, def))); };
  int64_t index_len = int64_t(udata_count(list));
  int32_t ioff = arg(4, 0), doff = arg(5, 0), span = arg(6, 1), istride = arg(7, 1);
  int32_t dstride = arg(8, span);
  int32_t count = arg(9, span != 1 ? int64_t(list->width) : index_len);
  uint32_t type = src->utype & 31;
  udata *dst = to_udata(L, 3);
  if (dst || lua_toboolean(L, 3)) {
    if (!dst) dst = src;
    if ((dst->utype & 31) != type) return 0;
    lua_pushvalue(L, dst == src && !to_udata(L, 3) ? 1 : 3);
  } else {
    // The new record can run finalizers that reshape the source or the list.
    udata seen_src = *src, seen_list = *list;
    if (span == 1)
      dst = create_userdata(L, get_utype_string(type), list->dims, int32_t(list->width),
                            int32_t(list->height), nullptr);
    else if (span >= 1 && count >= 1)
      dst = create_userdata(L, get_utype_string(type), 2, span, count, nullptr);
    if (dst && (!udata_unchanged(src, seen_src) || !udata_unchanged(list, seen_list))) {
      lua_pop(L, 1);
      return 0;
    }
  }
  if (!dst) return 0;
  // Rows: the count, at most the entries left from the index offset over the
  // stride, all as unsigned 32-bit values (a negative count allows them all;
  // an offset past the list's end allows the count, whose entries are then
  // all skipped). None for an index stride of 0.
  int64_t rows = 0;
  if (istride != 0) {
    uint32_t allowed = (uint32_t(index_len) - uint32_t(ioff)) / uint32_t(istride);
    rows = int64_t(uint32_t(count) < allowed ? uint32_t(count) : allowed);
  }
  // Visit only the rows whose entry lies in the list.
  ud_run run = clip_run(ioff, istride, rows, index_len);
  int64_t r0 = run.k0, r1 = run.k1;
  const int32_t *index = reinterpret_cast<const int32_t *>(udata_elements(list));
  int64_t step = span;
  // The rows visited each move at most min(span, source, destination)
  // elements: past the overrun bound the call fails before moving any.
  int64_t most = std::min<int64_t>({step, int64_t(udata_count(src)), int64_t(udata_count(dst))});
  if (r1 > r0)
    frame_check_work(L, ud_host_work(r1 - r0, UD_NS10_SPAN) +
                            ud_host_work((r1 - r0) * std::max<int64_t>(most, 0), UD_NS10_CHEAP));
  switch (utype_size(type)) {
    case 2:
      take_rows<uint16_t>(src, index, r0, r1, ioff, istride, dst, doff, dstride, step);
      break;
    case 4:
      take_rows<uint32_t>(src, index, r0, r1, ioff, istride, dst, doff, dstride, step);
      break;
    case 8:
      take_rows<uint64_t>(src, index, r0, r1, ioff, istride, dst, doff, dstride, step);
      break;
    default:
      take_rows<uint8_t>(src, index, r0, r1, ioff, istride, dst, doff, dstride, step);
      break;
  }
  spend_cpu(int64_t(span) * rows / move_divisor(type) + rows / 6);
  return 1;
}

int lua54_ud_clear(lua_State *L) {
  udata *ud = to_udata(L, 1);
  if (!ud) return 0;
  uint64_t bytes = udata_bytes(ud);
  std::memset(udata_elements(ud), 0, bytes);
  spend_cpu(int64_t(bytes / 64));
  return 0;
}

static pbuffer *dat_storage[2];

double *copy_dat(int slot, const double *data, int64_t n) {
  if (slot < 0 || slot > 1 || n < 0) return nullptr;
  if (!dat_storage[0]) {
    dat_storage[0] = create_buffer_2(1024, 's');
    dat_storage[1] = create_buffer_2(1024, 's');
  }
  pbuffer *b = dat_storage[slot];
  uint64_t bytes = uint64_t(n) * sizeof(double);
  if (ballocate(b, bytes) != 0) return nullptr;
  std::memcpy(b->data, data, bytes);
  spend_cpu(n >> 8);
  return reinterpret_cast<double *>(b->data);
}
