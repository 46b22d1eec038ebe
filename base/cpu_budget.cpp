// The CPU budget record and the charge of API work to the running slice.
#include "base/cpu_budget.h"

cpu_budget_state cpu_budget = {0, CPU_OUTSIDE_SLICE, 0, 0, 0};

void spend_cpu(int64_t n) {
  if (n < 0) return;
  cpu_counter_add(cpu_budget.cycles, n < 1 ? 1 : n);
}

void cpu_slice_begin(int32_t budget) {
  cpu_budget.cycles = 0;
  cpu_budget.cycles_max = budget;
  cpu_budget.superyielding = 0;
}

void cpu_budget_reset() { cpu_budget = cpu_budget_state{0, CPU_OUTSIDE_SLICE, 0, 0, 0}; }

int32_t get_total_frame_cycles() { return cpu_budget.frame_cycles; }
int32_t get_total_frame_cycles_since_wm_flip() { return cpu_budget.frame_cycles_since_wm_flip; }
