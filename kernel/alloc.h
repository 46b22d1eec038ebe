// The per-process Lua allocator: every block carries its accounted size in a
// hidden header, so the current process's heap total needs no lookup.
#pragma once
#include <cstddef>

// The six-argument allocator of the workstation's Lua: charges the current
// process (`cproc`), never the user value. Growth that would take the
// process's counted memory past memory_limit + memory_headroom fails; a
// failure on the retry (or of a block larger than the headroom) also marks
// the process for removal as out of memory. Every refusal sets the process's
// memory_refused, so a slice that then fails is taken as out of memory too.
void *l_alloc(void *ud, void *ptr, size_t osize, size_t nsize, int retry, size_t accounted);
