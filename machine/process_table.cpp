// The process table and its look-ups, and the current process's setter.
#include "base/debug_log.h"
#include "base/ram_layout.h"
#include "machine/process.h"

proc *process[max_processes];
int32_t num_processes;
int64_t process_id = PID_ROOT;

void set_current_process(proc *p) {
  if (!p) hosk_assert_failed("proc", "process", 1178, "set_current_process");
  cproc = p;
}

int32_t get_cproc_id() { return cproc ? (int32_t)cproc->id : 0; }
int32_t get_process_count() { return num_processes; }

// Records are added at the end with ids that only grow and removals keep the
// order, so the table is sorted by id.
proc *get_process(int64_t id) {
  int32_t lo = 0, hi = num_processes;
  while (lo < hi) {
    int32_t mid = lo + (hi - lo) / 2;
    if (process[mid]->id < id)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo < num_processes && process[lo]->id == id ? process[lo] : nullptr;
}

proc *get_process_by_index(int32_t slot) {
  if (slot < 0 || slot >= num_processes) return nullptr;
  return process[slot];
}

int32_t get_process_slot(const proc *p) {
  for (int32_t i = 0; i < num_processes; i++)
    if (process[i] == p) return i;
  return -1;
}
