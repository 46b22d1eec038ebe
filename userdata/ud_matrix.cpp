// Vector and matrix methods of records.
#include "userdata/ud_matrix.h"

#include <cmath>
#include <cstring>
#include <type_traits>
#include <utility>

#include "base/cpu_budget.h"
#include "base/crc32.h"
#include "lang/args.h"
#include "userdata/ud_copy.h"
#include "userdata/ud_frame.h"
#include "userdata/udata.h"

namespace {

// An integer argument as the low 32 bits of kvd_intp, signed.
int64_t arg_i32(lua_State *L, int index, int64_t def) {
  return int32_t(uint32_t(kvd_intp(L, index, def)));
}

udata *to_f64(lua_State *L, int index) {
  udata *u = to_udata(L, index);
  return u && (u->utype & 31) == UTYPE_F64 ? u : nullptr;
}

double *f64_of(udata *u) { return reinterpret_cast<double *>(udata_elements(u)); }

// The destination argument (3): a record (which must be f64), the first
// operand for another true value, or none (a new record is made).
struct dest_arg {
  udata *ud;
  int index;  // its stack index, 0 for none
  bool ok;    // false for a record that is not f64
};
dest_arg read_dest(lua_State *L, udata *first) {
  if (udata *d = to_udata(L, 3)) return {d, 3, (d->utype & 31) == UTYPE_F64};
  if (lua_toboolean(L, 3)) return {first, 1, true};
  return {nullptr, 0, true};
}

// A destination of a point transform (matmul3d, matmul2d): at least `rows`
// rows of at least `cols` elements.
bool holds_rows(const udata *d, uint32_t rows, uint32_t cols) {
  return d->width >= cols && d->height >= rows;
}

// The operand m of a point transform, read from a scratch copy when it is
// also the destination; made once, before the first row is written.
const double *transform_source(udata *m, const udata *dest) {
  if (m != dest) return f64_of(m);
  return copy_dat(1, f64_of(m), int64_t(udata_count(m)));
}

// Pushes the destination of a point transform: the given one, or a new copy
// of v. Null, with nothing pushed, when making the copy ran a finalizer that
// reshaped v or m.
udata *push_transform_dest(lua_State *L, const dest_arg &d, udata *v, udata *m) {
  if (d.ud) {
    lua_pushvalue(L, d.index);
    return d.ud;
  }
  udata seen_v = *v, seen_m = *m;
  udata *dest = push_duplicate_userdata(L, v);
  if (udata_unchanged(v, seen_v) && udata_unchanged(m, seen_m)) return dest;
  lua_pop(L, 1);
  return nullptr;
}

}  // namespace

int lua54_ud_lerp(lua_State *L) {
  udata *ud = to_udata(L, 1);
  if (!ud) return 0;
  int64_t offset = arg_i32(L, 2, 0), len = arg_i32(L, 3, int64_t(ud->width) - 1);
  int64_t step = arg_i32(L, 4, 1), spans = arg_i32(L, 5, ud->height);
  int64_t stride = arg_i32(L, 6, ud->width);
  // In 64 bits: no product of 32-bit values wraps into range.
  if (len < 1 || spans < 1 || stride < 1 || step < 1 || offset < 0 ||
      (spans - 1) * stride + step * len + offset >= int64_t(udata_count(ud)))
    return 0;
  if (len >= 2) {
    // Runs may overlap, so the work is the elements written, not the record's.
    int64_t cost =
        ud_host_work(spans, UD_NS10_SPAN) + ud_host_work(spans * (len - 1), UD_NS10_LERP);
    frame_check_work(L, cost);
    udata_visit_type(ud->utype, [&](auto zero) {
      using T = decltype(zero);
      T *e = reinterpret_cast<T *>(udata_elements(ud));
      for (int64_t s = 0; s < spans; s++) {
        int64_t base = offset + s * stride;
        double a = double(e[base]), d = double(e[base + step * len]) - a;
        for (int64_t k = 1; k < len; k++) {
          double v = d * double(k) / double(len) + a;
          if constexpr (std::is_floating_point_v<T>)
            e[base + k * step] = v;
          else
            e[base + k * step] = T(kvd_double_to_i64(v));
        }
      }
    });
    spend_cpu(cost);
  }
  lua_pushvalue(L, 1);
  return 1;
}

int lua54_ud_magnitude(lua_State *L) {
  udata *v = to_f64(L, 1);
  if (!v) return 0;
  const double *e = f64_of(v);
  double sum = 0;
  for (uint32_t i = 0; i < v->width; i++) sum += e[i] * e[i];
  spend_cpu((v->width >> 3) + 2);
  lua_pushnumber(L, std::sqrt(sum));
  return 1;
}

int lua54_ud_distance(lua_State *L) {
  udata *a = to_f64(L, 1), *b = to_f64(L, 2);
  if (!a || !b) return 0;
  uint32_t n = a->width < b->width ? a->width : b->width;
  const double *x = f64_of(a), *y = f64_of(b);
  double sum = 0;
  for (uint32_t i = 0; i < n; i++) {
    float d = float(x[i] - y[i]);
    float square = d * d;
    sum += square;
  }
  spend_cpu(n / 8 + 2);
  lua_pushnumber(L, std::sqrt(sum));
  return 1;
}

int lua54_ud_dot(lua_State *L) {
  udata *a = to_f64(L, 1), *b = to_f64(L, 2);
  if (!a || !b) return 0;
  uint32_t n = a->width < b->width ? a->width : b->width;
  const double *x = f64_of(a), *y = f64_of(b);
  double sum = 0;
  for (uint32_t i = 0; i < n; i++) sum += x[i] * y[i];
  spend_cpu(n / 8 + 1);
  lua_pushnumber(L, sum);
  return 1;
}

int lua54_ud_cross(lua_State *L) {
  udata *a = to_f64(L, 1), *b = to_f64(L, 2);
  if (!a || !b) return 0;
  dest_arg d = read_dest(L, a);
  if (!d.ok || a->width < 3 || b->width < 3 || (d.ud && d.ud->width < 3)) return 0;
  const double *x = f64_of(a), *y = f64_of(b);
  double a0 = x[0], a1 = x[1], a2 = x[2], b0 = y[0], b1 = y[1], b2 = y[2];
  udata *dest = d.ud;
  if (dest)
    lua_pushvalue(L, d.index);
  else
    dest = push_duplicate_userdata(L, b);
  double *out = f64_of(dest);
  out[0] = a1 * b2 - a2 * b1;
  out[1] = a2 * b0 - a0 * b2;
  out[2] = a0 * b1 - a1 * b0;
  spend_cpu(2);
  return 1;
}

int lua54_ud_matmul(lua_State *L) {
  udata *a = to_f64(L, 1), *b = to_f64(L, 2);
  if (!a || !b) return 0;
  dest_arg d = read_dest(L, a);
  int64_t batch = arg_i32(L, 4, a->height);
  if (!d.ok || batch < 1 || a->height % batch != 0 || a->width != b->height) return 0;
  if (d.ud && (d.ud->width != b->width || d.ud->height != a->height)) return 0;
  int64_t aw = a->width, bw = b->width, rows = a->height;
  // At most 2^21 x 2^21 multiply-adds: f64 records hold 2^21 elements.
  int64_t cost = ud_host_work(rows * bw, UD_NS10_SPAN) + ud_host_work(aw * rows * bw, UD_NS10_MADD);
  frame_check_work(L, cost);
  // b is read whole by every group: when it is the destination it is copied
  // once, before any result is written over it.
  udata *dest = d.ud;
  if (dest) {
    lua_pushvalue(L, d.index);
  } else {
    udata seen_a = *a, seen_b = *b;
    dest = create_userdata(L, "f64", 2, int32_t(bw), int32_t(rows), nullptr);
    if (!dest) return 0;
    if (!udata_unchanged(a, seen_a) || !udata_unchanged(b, seen_b)) {
      lua_pop(L, 1);
      return 0;
    }
  }
  const double *bsrc = b == dest ? copy_dat(1, f64_of(b), int64_t(udata_count(b))) : f64_of(b);
  if (!bsrc) {
    lua_pop(L, 1);
    return 0;
  }
  double *out = f64_of(dest);
  for (int64_t r0 = 0; r0 < rows; r0 += batch) {
    // A group's rows of a are read only by that group.
    const double *asrc = f64_of(a) + r0 * aw;
    if (a == dest && !(asrc = copy_dat(0, asrc, batch * aw))) {
      lua_pop(L, 1);
      return 0;
    }
    for (int64_t i = 0; i < batch; i++) {
      // Each result element is a running sum over k in increasing order.
      double *row = out + (r0 + i) * bw;
      for (int64_t j = 0; j < bw; j++) row[j] = 0;
      for (int64_t k = 0; k < aw; k++) {
        double x = asrc[i * aw + k];
        const double *brow = bsrc + k * bw;
        for (int64_t j = 0; j < bw; j++) row[j] += x * brow[j];
      }
    }
  }
  spend_cpu(cost);
  return 1;
}

int lua54_ud_matmul3d(lua_State *L) {
  udata *v = to_f64(L, 1), *m = to_f64(L, 2);
  if (!v || !m) return 0;
  dest_arg d = read_dest(L, v);
  int64_t batch = arg_i32(L, 4, v->height);
  if (!d.ok || (batch != 1 && batch != 4) || v->height % batch != 0 || m->width < 3 ||
      m->height != 4 || v->width < 3)
    return 0;
  if (d.ud && !holds_rows(d.ud, v->height, 3)) return 0;
  udata *dest = push_transform_dest(L, d, v, m);
  if (!dest) return 0;
  const double *ms = transform_source(m, d.ud);
  if (!ms) {
    lua_pop(L, 1);
    return 0;
  }
  const double *vs = f64_of(v);
  double *out = f64_of(dest);
  int64_t vw = v->width, dw = dest->width, mw = m->width, rows = v->height;
  if (batch == 1) {
    for (int64_t r = 0; r < rows; r++) {
      double x = vs[r * vw], y = vs[r * vw + 1], z = vs[r * vw + 2];
      for (int64_t j = 0; j < 3; j++)
        out[r * dw + j] = x * ms[j] + y * ms[mw + j] + z * ms[2 * mw + j] + ms[3 * mw + j];
    }
    spend_cpu(rows);
    return 1;
  }
  // Groups of four rows: three axes and a position. m has four rows, so at
  // most four columns of v take part; each row is read whole before any of
  // it is written.
  int64_t cols = vw < 4 ? vw : 4;
  for (int64_t r = 0; r < rows; r++) {
    double in[4];
    for (int64_t k = 0; k < cols; k++) in[k] = vs[r * vw + k];
    for (int64_t j = 0; j < 3; j++) {
      double sum = 0;
      for (int64_t k = 0; k < cols; k++) sum += in[k] * ms[k * mw + j];
      if (r % 4 == 3) sum += ms[3 * mw + j];
      out[r * dw + j] = sum;
    }
  }
  spend_cpu(rows / 4 * 4);
  return 1;
}

int lua54_ud_matmul2d(lua_State *L) {
  udata *v = to_f64(L, 1), *m = to_f64(L, 2);
  if (!v || !m) return 0;
  dest_arg d = read_dest(L, v);
  int64_t batch = arg_i32(L, 4, v->height);
  if (!d.ok || (batch != 1 && batch != 3) || v->height % batch != 0 || m->width < 2 ||
      m->height != 3 || v->width < 2)
    return 0;
  if (d.ud && !holds_rows(d.ud, v->height, 2)) return 0;
  udata *dest = push_transform_dest(L, d, v, m);
  if (!dest) return 0;
  const double *ms = transform_source(m, d.ud);
  if (!ms) {
    lua_pop(L, 1);
    return 0;
  }
  const double *vs = f64_of(v);
  double *out = f64_of(dest);
  int64_t vw = v->width, dw = dest->width, mw = m->width, rows = v->height;
  for (int64_t r = 0; r < rows; r++) {
    double x = vs[r * vw], y = vs[r * vw + 1];
    // Batch 1 translates every point; batch 3 the third row of each group.
    bool moved = batch == 1 || r % 3 == 2;
    double p = x * ms[0] + y * ms[mw], q = x * ms[1] + y * ms[mw + 1];
    out[r * dw] = moved ? p + ms[2 * mw] : p;
    out[r * dw + 1] = moved ? q + ms[2 * mw + 1] : q;
  }
  spend_cpu(batch == 1 ? (rows >> 1) + 1 : ((rows * 12) >> 3) + 1);
  return 1;
}

int lua54_ud_transpose(lua_State *L) {
  udata *ud = to_udata(L, 1);
  if (!ud) return 0;
  udata *d = to_udata(L, 2);
  uint32_t type = ud->utype & 31;
  int64_t w = ud->width, h = ud->height;
  // ud as its own destination is the in-place form: read cell by cell it
  // would see its own results.
  if (d == ud || (!d && lua_toboolean(L, 2))) {
    int64_t n = w < h ? w : h, cost = ud_host_work(n * (n - 1) / 2, UD_NS10_SWAP);
    frame_check_work(L, cost);
    udata_visit_type(type, [&](auto zero) {
      using T = decltype(zero);
      T *e = reinterpret_cast<T *>(udata_elements(ud));
      for (int64_t i = 1; i < n; i++)
        for (int64_t j = 0; j < i; j++) std::swap(e[i * w + j], e[j * w + i]);
    });
    spend_cpu(cost);
    lua_pushvalue(L, 1);
    return 1;
  }
  if (d) {
    if ((d->utype & 31) != type) return 0;
    lua_pushvalue(L, 2);
  } else {
    udata seen = *ud;
    if (!(d = create_userdata(L, get_utype_string(type), 2, int32_t(h), int32_t(w), nullptr)))
      return 0;
    if (!udata_unchanged(ud, seen)) {
      lua_pop(L, 1);
      return 0;
    }
  }
  int64_t dw = d->width, ys = d->height < w ? d->height : w, xs = dw < h ? dw : h;
  int64_t cost = ud_host_work(ys * xs, UD_NS10_SWAP);
  frame_check_work(L, cost);
  udata_visit_type(type, [&](auto zero) {
    using T = decltype(zero);
    const T *src = reinterpret_cast<const T *>(udata_elements(ud));
    T *out = reinterpret_cast<T *>(udata_elements(d));
    for (int64_t y = 0; y < ys; y++)
      for (int64_t x = 0; x < xs; x++) out[y * dw + x] = src[x * w + y];
  });
  spend_cpu(cost);
  return 1;
}

int lua54_ud_row(lua_State *L) {
  udata *ud = to_udata(L, 1);
  if (!ud) return 0;
  int64_t i = kvd_intp(L, 2, -1);
  if (i < 0 || i >= int64_t(ud->height)) return 0;
  uint32_t type = ud->utype & 31, size = utype_size(type);
  udata seen = *ud;
  udata *r = create_userdata(L, get_utype_string(type), 2, int32_t(ud->width), 1, nullptr);
  if (!r) return 0;
  if (!udata_unchanged(ud, seen)) {
    lua_pop(L, 1);
    return 0;
  }
  std::memcpy(udata_elements(r), udata_elements(ud) + uint64_t(i) * ud->width * size,
              uint64_t(ud->width) * size);
  spend_cpu(ud->width >> 2);
  return 1;
}

int lua54_ud_column(lua_State *L) {
  udata *ud = to_udata(L, 1);
  if (!ud) return 0;
  int64_t i = kvd_intp(L, 2, -1);
  if (i < 0 || i >= int64_t(ud->width)) return 0;
  uint32_t type = ud->utype & 31;
  udata seen = *ud;
  udata *c = create_userdata(L, get_utype_string(type), 2, 1, int32_t(ud->height), nullptr);
  if (!c) return 0;
  if (!udata_unchanged(ud, seen)) {
    lua_pop(L, 1);
    return 0;
  }
  udata_visit_type(type, [&](auto zero) {
    using T = decltype(zero);
    const T *src = reinterpret_cast<const T *>(udata_elements(ud));
    T *out = reinterpret_cast<T *>(udata_elements(c));
    for (uint64_t y = 0; y < ud->height; y++) out[y] = src[y * ud->width + uint64_t(i)];
  });
  spend_cpu(ud->height >> 1);
  return 1;
}

int lua54_ud_crc(lua_State *L) {
  udata *ud = to_udata(L, 1);
  if (!ud) return 0;
  int64_t bytes = int64_t(udata_bytes(ud));
  int64_t cost = ud_host_work(bytes, UD_NS10_BYTE);
  frame_check_work(L, cost);
  lua_pushinteger(L, crc32b(udata_elements(ud), bytes));
  spend_cpu(cost);
  return 1;
}
