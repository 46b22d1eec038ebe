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

#include "lang/args.h"
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

// The loops of a walk once their order is chosen (spans > length swaps them),
// with the outer indices j0 <= j < j1 outside of which no span can touch the
// records, found without visiting the spans.
struct frame_plan {
  int64_t outer, inner;      // loop counts
  int64_t step_a, step_b;    // inner steps
  int64_t outer_a, outer_b;  // outer steps
  int64_t n_a, n_b;          // element counts (n_b 0 with a scalar)
  int64_t j0, j1;            // the outer range that can process elements
  int64_t span_most;         // the most elements one span can process
  bool idle;                 // a swapped walk with an inner step below 1
};
frame_plan frame_plan_walk(const frame_call &c);

// The host work of a call: what the overrun test weighs. A method charges
// the cycles its own rule fixes (elements / D for the element-wise family);
// those rules follow the virtual machine, not the host, and run from about
// the host's time (a double mod) to hundreds of times it (a byte max, which
// the host does 16 elements at once). So the test weighs the host time each
// call will take instead, in cycles of the budget (a frame's 279620 cycles
// span 16.7 ms: a cycle is about 60 ns), from the same counts of elements,
// spans and rows that make the charge, at per-element times measured on the
// release build: a few times the typical time, and at least the slowest
// the values can make it (a double modulo is priced by its operands'
// exponents). A call that passes the bound at the start of a
// slice ends well inside it, and one that would hold the host past it is
// refused before it starts.
//
// Host time of one item, in tenths of a nanosecond.
enum ud_host_cost : int64_t {
  UD_NS10_SPAN = 100,     // one span or row visited: its clipping and set-up
  UD_NS10_CHEAP = 40,     // one element of a rule the host vectorises
  UD_NS10_DIVIDE = 100,   // integer division and modulo, double division
  UD_NS10_FMOD = 400,     // double modulo of close exponents
  UD_NS10_FMOD_BIT = 20,  // and for each bit the exponents lie apart
  UD_NS10_POW = 600,      // powers (about the slowest the host takes)
  UD_NS10_LERP = 60,      // one interpolated element
  UD_NS10_MADD = 10,      // one multiply-add of a matrix product
  UD_NS10_SWAP = 300,     // one element of a transpose (a cache miss each)
  UD_NS10_BYTE = 10,      // one byte read, checksummed or moved in a block
  UD_NS10_MEMORY = 20,    // one byte between a record and process memory
  UD_NS10_KEY_STEP = 60,  // one key of one radix pass of a sort
  UD_NS10_ROW_BYTE = 3,   // one byte of a row a sort moves
};
constexpr int64_t UD_NS10_PER_CYCLE = 600;

// count items of ns10 tenths of a nanosecond each, in cycles (rounded up);
// a count past any real call saturates instead of wrapping.
int64_t ud_host_work(int64_t count, int64_t ns10);

// The host work of a walk, from its plan alone: the spans it visits and the
// most elements they can process, at ns10 an element.
int64_t frame_host_work(const frame_plan &p, int64_t ns10);

#if defined(__clang__)
#define UD_NO_LOOP_DEPENDENCE _Pragma("clang loop vectorize(assume_safety)")
#else
#define UD_NO_LOOP_DEPENDENCE _Pragma("GCC ivdep")
#endif

// One run of steps of 1 whose every element depends only on the operands'
// element at the same k: the destination is the primary itself or apart from
// it, and apart from the second operand or that same run of it. Results are
// those of the element-by-element order, so the compiler may vectorise.
template <class T, class Rule>
inline void frame_span_apart(T *d, const T *a, const T *b, T s, frame_form form, int64_t count,
                             Rule rule) {
  if (form == FORM_OPERAND) {
    UD_NO_LOOP_DEPENDENCE
    for (int64_t k = 0; k < count; k++) d[k] = rule(a[k], b[k]);
  } else if (form == FORM_SCALAR_RIGHT) {
    UD_NO_LOOP_DEPENDENCE
    for (int64_t k = 0; k < count; k++) d[k] = rule(a[k], s);
  } else {
    UD_NO_LOOP_DEPENDENCE
    for (int64_t k = 0; k < count; k++) d[k] = rule(s, a[k]);
  }
}

// One run of a walk: d[k * step_a] = rule(a[k * step_a], y) for 0 <= k <
// count, y being b[k * step_b] or the scalar, or rule(scalar, a[...]) with
// the scalar on the left. Reads and writes in increasing order through
// pointers that may overlap, so that a destination overlapping the second
// operand at another position reads results already written.
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

// Runs a planned walk with one element rule on elements of type T.
template <class T, class Rule>
frame_totals frame_apply(const frame_call &c, const frame_plan &p, Rule rule) {
  const ud_walk &w = c.walk;
  T *d = reinterpret_cast<T *>(udata_elements(c.dest));
  const T *a = reinterpret_cast<const T *>(udata_elements(c.primary));
  const T *b = c.second ? reinterpret_cast<const T *>(udata_elements(c.second)) : nullptr;
  T s = frame_scalar<T>(c.scalar);
  // A negative outer count takes its part of the charge as it is.
  frame_totals t = {0, p.outer};
  if (p.idle) return t;
  // The destination is the primary or another record, so it meets the primary
  // only at the same positions; only a second operand that is the
  // destination can overlap it elsewhere.
  bool b_is_dest = c.second == c.dest;
  bool unit = p.step_a == 1 && (!b || p.step_b == 1);
  for (int64_t j = p.j0; j < p.j1; j++) {
    int64_t pa = w.a_offset + j * p.outer_a, pb = w.b_offset + j * p.outer_b;
    ud_run r = clip_run(pa, p.step_a, p.inner, p.n_a);
    if (b) {
      ud_run rb = clip_run(pb, p.step_b, p.inner, p.n_b);
      if (rb.k0 > r.k0) r.k0 = rb.k0;
      if (rb.k1 < r.k1) r.k1 = rb.k1;
    }
    if (r.k1 <= r.k0) continue;
    int64_t count = r.k1 - r.k0;
    int64_t first_a = pa + r.k0 * p.step_a, first_b = pb + r.k0 * p.step_b;
    if (unit && (!b_is_dest || first_b == first_a || first_b + count <= first_a ||
                 first_a + count <= first_b))
      frame_span_apart<T>(d + first_a, a + first_a, b ? b + first_b : nullptr, s, c.form, count,
                          rule);
    else
      frame_span<T>(d + first_a, a + first_a, b ? b + first_b : nullptr, s, c.form, count, p.step_a,
                    p.step_b, rule);
    t.elements += count;
  }
  return t;
}

// Charges a finished walk: elements / divisor + outer / 2, in 64 bits.
void frame_charge(const frame_totals &t, int64_t divisor);
// Raises the overrun error (CPU_OVERRUN_MESSAGE) when `work` more cycles of
// host work would take the running slice past the overrun bound: the check
// every record method makes before a loop whose work grows with its
// arguments. Any work, however large, is compared without overflow.
void frame_check_work(lua_State *L, int64_t work);

// An element-wise member, written once: Op gives
//   template <class T> static T rule(T x, T y);   the element rule
//   static int64_t divisor(uint32_t type);        the cost divisor
//   static int64_t host_ns10(const frame_call &, const frame_plan &);
//                                                 the host time of an element
// and frame_run runs the frame with it for the element type of the call.
// A walk whose work could take the slice past the overrun bound raises the
// overrun error before it touches an element.
template <class Op>
int frame_run(lua_State *L, frame_prologue prologue, bool integer_only = false) {
  frame_call c;
  if (!frame_begin(L, prologue, &c, integer_only)) return 0;
  frame_plan p = frame_plan_walk(c);
  frame_check_work(L, frame_host_work(p, Op::host_ns10(c, p)));
  frame_totals t = udata_visit_type(c.type, [&c, &p](auto zero) {
    using T = decltype(zero);
    return frame_apply<T>(c, p, [](T x, T y) { return Op::rule(x, y); });
  });
  frame_charge(t, Op::divisor(c.type));
  return 1;
}
