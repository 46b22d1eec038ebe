// The memory room of the current process.
#include "machine/memory_room.h"

#include <algorithm>

#include "machine/process.h"

int64_t proc_counted_memory(const proc *p) {
  return p->mem.page_bytes + p->heap_bytes + p->file_bytes - p->baseline + memory_allowance;
}

int64_t memory_room_left() {
  if (!cproc) return memory_room_without_process;
  return std::max<int64_t>(0, memory_limit - proc_counted_memory(cproc));
}
