// The per-slice CPU budget in virtual cycles. The interpreter loop, the
// allocator and the API functions charge the running slice through one
// plain record; the scheduler sets the budget and saves/restores the slice's
// three fields around nested slices.
#pragma once

#include <cstdint>

struct cpu_budget_state {
  // Cycles charged so far in the running slice.
  int32_t cycles;
  // The running slice's budget.
  int32_t cycles_max;
  // Or-ed into cycles by the interpreter's budget test; CPU_FORCE_YIELD
  // makes it yield at the next instruction that can yield.
  int32_t superyielding;
  // Cycles used by all slices finished in this frame.
  int32_t frame_cycles;
  // Cycles used by all slices since process 3 last flipped.
  int32_t frame_cycles_since_wm_flip;
};
extern cpu_budget_state cpu_budget;

constexpr int32_t CPU_FORCE_YIELD = 0x40000000;
constexpr int32_t CPU_CYCLES_PER_FRAME = 279620;
// A budget that the interpreter's test never finds exceeded, whatever the
// charge (which wraps instead of saturating under it): no forced yield, no
// slow path. For tools that run code without slices.
constexpr int32_t CPU_UNBUDGETED = INT32_MAX;
// The budget outside any slice (start-up, tools): the largest at which the
// interpreter's charge still saturates.
constexpr int32_t CPU_OUTSIDE_SLICE = INT32_MAX - 2;

// Adds n (>= 0) to a cycle counter, saturating at INT32_MAX instead of
// overflowing.
inline void cpu_counter_add(int32_t &counter, int64_t n) {
  counter = n > int64_t(INT32_MAX) - counter ? INT32_MAX : int32_t(counter + n);
}

// How far past its budget a slice may run in code that cannot yield (a
// finaliser, a metamethod or callback called from C, a pattern match)
// before an error is raised in it: ten frames.
constexpr int64_t CPU_OVERRUN_LIMIT = 10 * int64_t(CPU_CYCLES_PER_FRAME);
// The text of that error.
inline constexpr const char CPU_OVERRUN_MESSAGE[] = "out of time in code that cannot yield";

// True when the running slice is more than CPU_OVERRUN_LIMIT past its
// budget. Never outside a slice (the budget there is the largest value).
inline bool cpu_overrun() {
  return int64_t(cpu_budget.cycles) > cpu_budget.cycles_max + CPU_OVERRUN_LIMIT;
}
// True when a C loop of n charged steps would take the running slice past
// the overrun bound; such a loop fails before it starts, so a huge length
// (from a count or '__len') cannot hold the host.
// The room left is computed first: n may be any count, up to INT64_MAX.
inline bool cpu_loop_overruns(int64_t n) {
  return n > 0 &&
         n > int64_t(cpu_budget.cycles_max) + CPU_OVERRUN_LIMIT - int64_t(cpu_budget.cycles);
}

// Charges the running slice: nothing for a negative n, 1 for 0 or 1, else n.
// Callers that must read a value as 32 bits (`burn`) narrow it themselves.
void spend_cpu(int64_t n);

// Starts a slice of the given budget: nothing charged yet, no forced yield
// pending. The scheduler saves and restores around nested slices itself;
// this is for code that runs Lua outside the scheduler (tools, tests).
void cpu_slice_begin(int32_t budget);
// The budget state as start-up leaves it: outside any slice, nothing charged
// in this frame. Called by reset_subsystems.
void cpu_budget_reset();

int32_t get_total_frame_cycles();
int32_t get_total_frame_cycles_since_wm_flip();
