// The process table and its look-ups, and the current process's setter.
#include "base/debug_log.h"
#include "base/ram_layout.h"
#include "machine/process.h"

process_table procs = {{}, 0, PID_ROOT, nullptr};

void process_table_reset() {
  INVARIANT(procs.count == 0);
  procs = process_table{{}, 0, PID_ROOT, nullptr};
}

void set_current_process(proc *p) {
  if (!p) debug_log_assert_failed("proc", "process", 1178, "set_current_process");
  cproc = p;
}

int32_t get_cproc_id() { return cproc ? (int32_t)cproc->id : 0; }
int32_t get_process_count() { return procs.count; }

// Records are added at the end with ids that only grow and removals keep the
// order, so the table is sorted by id.
proc *get_process(int64_t id) {
  int32_t lo = 0, hi = procs.count;
  while (lo < hi) {
    int32_t mid = lo + (hi - lo) / 2;
    if (procs.slot[mid]->id < id)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo < procs.count && procs.slot[lo]->id == id ? procs.slot[lo] : nullptr;
}

proc *get_process_by_index(int32_t slot) {
  if (slot < 0 || slot >= procs.count) return nullptr;
  return procs.slot[slot];
}

int32_t get_process_slot(const proc *p) {
  for (int32_t i = 0; i < procs.count; i++)
    if (procs.slot[i] == p) return i;
  return -1;
}
