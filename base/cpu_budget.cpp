// The CPU budget globals and the charge of API work to the running slice.
#include "base/cpu_budget.h"

int32_t cpu_cycles = 0;
int32_t cpu_cycles_max = CPU_OUTSIDE_SLICE;
int32_t cpu_superyielding = 0;
int32_t total_frame_cycles = 0;
int32_t total_frame_cycles_since_wm_flip = 0;

void spend_cpu(int64_t n) {
  if (n < 0) return;
  cpu_counter_add(cpu_cycles, n < 1 ? 1 : n);
}

void cpu_slice_begin(int32_t budget) {
  cpu_cycles = 0;
  cpu_cycles_max = budget;
  cpu_superyielding = 0;
}

void cpu_budget_reset() {
  cpu_slice_begin(CPU_OUTSIDE_SLICE);
  total_frame_cycles = 0;
  total_frame_cycles_since_wm_flip = 0;
}

int32_t get_total_frame_cycles() { return total_frame_cycles; }
int32_t get_total_frame_cycles_since_wm_flip() { return total_frame_cycles_since_wm_flip; }
