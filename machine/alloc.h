// The per-process Lua allocator: every block carries its accounted size in a
// hidden header, so the current process's heap total needs no lookup.
#pragma once
#include <cstddef>
#include <cstdint>

struct proc;

// The six-argument allocator of the workstation's Lua: charges the current
// process (`cproc`), never the user value. Growth that would take the
// process's counted memory past memory_limit + alloc_headroom fails; a
// failure on the retry (or of a block larger than the headroom) also marks
// the process for removal as out of memory. Every refusal sets the process's
// memory_refused, so a slice that then fails is taken as out of memory too.
void *l_alloc(void *ud, void *ptr, size_t osize, size_t nsize, int retry, size_t accounted);

// A freed block of a process's state that holds its draw target is kept
// (accounted as freed) until the target changes: this frees it.
void alloc_release_lost_target(proc *p);

// The host heap's policy for the blocks l_alloc takes, set once at start-up
// before any process runs: a block of up to memory_limit bytes (every record)
// comes from the heap and goes back to it when freed, and up to
// 2 x memory_limit of freed heap stays with the program. Left to the host
// library's defaults, large blocks are mapped for each allocation and
// unmapped when freed, or the heap is trimmed after a collection, so each
// new large record (an operator on two 8 MiB records makes one per call)
// faults all of its pages in again.
void alloc_keep_freed_memory();

// Fault injection for tests. Every allocation or growth (not a retry) counts
// one attempt; when fail_at is N > 0 the Nth attempt fails, and so does its
// retry after the emergency collection, as if memory were exhausted then.
// fail_at 0 (the default) fails nothing.
struct alloc_fault_state {
  int64_t attempts;
  int64_t fail_at;
  bool failing;  // the failed attempt's retry fails too
};
extern alloc_fault_state alloc_faults;
