// The frame shared by the element-wise operations: operands, scalar and
// destination of a call, the walk over offsets, strides and spans with its
// clipping, and the charge. An operation supplies its element rule (a pure
// function of two element values), its prologue and its cost divisor.
//
// Call form: op(a, b, destination, b offset, a offset, length, b stride,
// a stride, spans). The primary operand is argument 1 when it is a record,
// else argument 2; the second operand is argument 2 when both are records;
// otherwise a scalar stands on the right (argument 2: a number, anything
// else 0) or, when argument 1 is not a record, on the left (argument 1).
// Destination: a record of the primary's shape and type at argument 3; the
// primary itself for any other true argument 3; else a new copy of the
// primary. Element k of span j is at a offset + j * a stride + k in the
// primary and the destination, at b offset + j * b stride + k in the second
// operand; positions outside a record are skipped. Each result is stored
// before the next element is read, so overlapping operands see earlier
// results.
#pragma once

#include <cstdint>
#include <type_traits>

#include "kernel/args.h"
#include "lang/lua_api.h"
#include "userdata/udata.h"

// Arguments 4 to 9, each the low 32 bits of kvd_intp.
struct ud_walk {
  int32_t b_offset, a_offset, length, b_stride, a_stride, spans;
};
ud_walk read_walk(lua_State *L);

// The k, 0 <= k < count, for which p + k * step lies in [0, n), as the run
// k0 <= k < k1 (empty when k1 <= k0). Any step: those k always form one run
// (all or none for a step of 0). Magnitudes up to 2^62 are exact.
struct ud_run {
  int64_t k0, k1;
};
ud_run clip_run(int64_t p, int64_t step, int64_t count, int64_t n);

// Calls f with a value of the element type of a type code (u8 for any code
// that is not one of the five), so that a generic lambda is instantiated
// once per element type.
template <class F>
decltype(auto) udata_visit_type(uint32_t type, F &&f) {
  switch (type & 31) {
    case UTYPE_I16:
      return f(int16_t{});
    case UTYPE_I32:
      return f(int32_t{});
    case UTYPE_I64:
      return f(int64_t{});
    case UTYPE_F64:
      return f(double{});
    default:
      return f(uint8_t{});
  }
}

// Where the operand of an element rule comes from.
enum frame_form { FORM_OPERAND, FORM_SCALAR_RIGHT, FORM_SCALAR_LEFT };

// What a call works on, once its arguments are read (frame_begin).
struct frame_call {
  udata *primary;
  udata *second;  // null with a scalar
  udata *dest;    // pushed on the stack as the call's result
  frame_form form;
  double scalar;  // argument value as a float (lua_tonumberx)
  uint32_t type;  // element type code & 31
  ud_walk walk;
};

// How a member treats a nil or missing argument 2: refuse the call (strict),
// a scalar 0 on the right (open), or argument 1 as the second operand too
// (self).
enum frame_prologue { PROLOGUE_STRICT, PROLOGUE_OPEN, PROLOGUE_SELF };

// Reads the operands, scalar, destination and walk, and pushes the
// destination (a new copy of the primary, charged (width * height) >> 7, when
// there is none). False, with nothing pushed or written, for a refused call:
// no record among arguments 1 and 2, an f64 element type when integer_only,
// operand types that differ, a strict prologue's missing argument 2, a
// destination of another width, height or element type.
bool frame_begin(lua_State *L, frame_prologue prologue, frame_call *call,
                 bool integer_only = false);

// The scalar in an element type: f64 keeps it; u8, i16, i32 take the low
// bits of kvd_double_to_i32, i64 kvd_double_to_i64 (NaN and out-of-range
// values give the most negative value of that width).
template <class T>
T frame_scalar(double v) {
  if constexpr (std::is_floating_point_v<T>)
    return v;
  else if constexpr (sizeof(T) == 8)
    return T(kvd_double_to_i64(v));
  else
    return T(kvd_double_to_i32(v));
}

// Counts of one walk: elements processed, and the outer count (below 1 when
// no outer iteration runs).
struct frame_totals {
  int64_t elements, outer;
};

// One run of a walk: d[k * step_a] = rule(a[k * step_a], y) for 0 <= k <
// count, y being b[k * step_b] or the scalar, or rule(scalar, a[...]) with
// the scalar on the left. Steps of 1 get a loop of their own that the compiler
// can vectorise; it still reads and writes in increasing order through
// pointers that may overlap.
template <class T, class Rule>
inline void frame_span(T *d, const T *a, const T *b, T s, frame_form form, int64_t count,
                       int64_t step_a, int64_t step_b, Rule rule) {
  if (step_a == 1 && (!b || step_b == 1)) {
    if (form == FORM_OPERAND)
      for (int64_t k = 0; k < count; k++) d[k] = rule(a[k], b[k]);
    else if (form == FORM_SCALAR_RIGHT)
      for (int64_t k = 0; k < count; k++) d[k] = rule(a[k], s);
    else
      for (int64_t k = 0; k < count; k++) d[k] = rule(s, a[k]);
    return;
  }
  if (form == FORM_OPERAND)
    for (int64_t k = 0; k < count; k++) d[k * step_a] = rule(a[k * step_a], b[k * step_b]);
  else if (form == FORM_SCALAR_RIGHT)
    for (int64_t k = 0; k < count; k++) d[k * step_a] = rule(a[k * step_a], s);
  else
    for (int64_t k = 0; k < count; k++) d[k * step_a] = rule(s, a[k * step_a]);
}

// Runs the walk with one element rule on elements of type T.
template <class T, class Rule>
frame_totals frame_apply(const frame_call &c, Rule rule) {
  const ud_walk &w = c.walk;
  T *d = reinterpret_cast<T *>(udata_elements(c.dest));
  const T *a = reinterpret_cast<const T *>(udata_elements(c.primary));
  const T *b = c.second ? reinterpret_cast<const T *>(udata_elements(c.second)) : nullptr;
  T s = frame_scalar<T>(c.scalar);
  int64_t n_a = int64_t(udata_count(c.primary));
  int64_t n_b = c.second ? int64_t(udata_count(c.second)) : 0;
  bool swapped = w.spans > w.length;
  int64_t outer = swapped ? w.length : w.spans;
  int64_t inner = swapped ? w.spans : w.length;
  int64_t step_a = swapped ? w.a_stride : 1, step_b = swapped ? w.b_stride : 1;
  int64_t outer_a = swapped ? 1 : w.a_stride, outer_b = swapped ? 1 : w.b_stride;
  // A negative outer count takes its part of the charge as it is.
  frame_totals t = {0, outer};
  // Swapped order with a stride below 1 processes nothing.
  if (step_a < 1 || (b && step_b < 1)) return t;
  for (int64_t j = 0; j < outer; j++) {
    int64_t pa = w.a_offset + j * outer_a, pb = w.b_offset + j * outer_b;
    ud_run r = clip_run(pa, step_a, inner, n_a);
    if (b) {
      ud_run rb = clip_run(pb, step_b, inner, n_b);
      if (rb.k0 > r.k0) r.k0 = rb.k0;
      if (rb.k1 < r.k1) r.k1 = rb.k1;
    }
    if (r.k1 <= r.k0) continue;
    int64_t first_a = pa + r.k0 * step_a, first_b = pb + r.k0 * step_b;
    frame_span<T>(d + first_a, a + first_a, b ? b + first_b : nullptr, s, c.form, r.k1 - r.k0,
                  step_a, step_b, rule);
    t.elements += r.k1 - r.k0;
  }
  return t;
}

// Charges a finished walk: elements / divisor + outer / 2, in 64 bits.
void frame_charge(const frame_totals &t, int64_t divisor);

// An element-wise member, written once: Op gives
//   template <class T> static T rule(T x, T y);   the element rule
//   static int64_t divisor(uint32_t type);        the cost divisor
// and frame_run runs the frame with it for the element type of the call.
template <class Op>
int frame_run(lua_State *L, frame_prologue prologue, bool integer_only = false) {
  frame_call c;
  if (!frame_begin(L, prologue, &c, integer_only)) return 0;
  frame_totals t = udata_visit_type(c.type, [&c](auto zero) {
    using T = decltype(zero);
    return frame_apply<T>(c, [](T x, T y) { return Op::rule(x, y); });
  });
  frame_charge(t, Op::divisor(c.type));
  return 1;
}
