// The per-process Lua allocator: every block carries its accounted size in a
// hidden header, so the current process's heap total needs no lookup.
#pragma once
#include <cstddef>

// The six-argument allocator of the workstation's Lua: charges the current
// process (`cproc`), never the user value.
void *l_alloc(void *ud, void *ptr, size_t osize, size_t nsize, int retry, size_t accounted);
