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

proc *get_process(int64_t id) {
  for (int32_t i = 0; i < procs.count; i++)
    if (procs.slot[i]->id == id) return procs.slot[i];
  return nullptr;
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
