// The CPU budget globals and the charge of API work to the running slice.
#include "kernel/cpu_budget.h"

int32_t cpu_cycles = 0;
// Outside any slice (start-up, tools, tests) Lua code runs unbudgeted: the
// largest budget at which the interpreter's charge still saturates.
int32_t cpu_cycles_max = INT32_MAX - 2;
int32_t cpu_superyielding = 0;
int32_t total_frame_cycles = 0;
int32_t total_frame_cycles_since_wm_flip = 0;

void spend_cpu(int64_t n) {
  if (n < 0) return;
  cpu_counter_add(cpu_cycles, n < 1 ? 1 : n);
}

int32_t get_total_frame_cycles() { return total_frame_cycles; }
int32_t get_total_frame_cycles_since_wm_flip() { return total_frame_cycles_since_wm_flip; }
