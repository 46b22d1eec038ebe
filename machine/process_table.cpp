// The process table and its look-ups, and the current process's setter.
#include "base/debug_log.h"
#include "base/ram_layout.h"
#include "machine/process.h"

proc *process[max_processes];
int32_t num_processes;
int64_t process_id = PID_ROOT;

void set_current_process(proc *p) {
  if (!p) debug_log_assert_failed("proc", "process", 1178, "set_current_process");
  cproc = p;
}

int32_t get_cproc_id() { return cproc ? (int32_t)cproc->id : 0; }
int32_t get_process_count() { return num_processes; }

proc *get_process(int64_t id) {
  for (int32_t i = 0; i < num_processes; i++)
    if (process[i]->id == id) return process[i];
  return nullptr;
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
