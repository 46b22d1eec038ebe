// What the core and its libraries charge for work done in C loops, beyond
// the instruction that asked for it: scans and comparisons of long strings,
// slots passed over by 'next', work of the collector run on request.
#pragma once
#include <cstddef>
#include <cstdint>

#include "base/cpu_budget.h"

// Bytes that a library scan (memchr, memcmp, strcoll) covers for one cycle.
inline constexpr size_t KVD_SCAN_BYTES_PER_CYCLE = 16;
// Bytes of two strings compared at once, uncharged, before the rest of a
// comparison is charged as a scan: most comparisons end within them.
inline constexpr size_t KVD_SCAN_FREE = 64;
// Bytes of a long string hashed (a byte loop) for one cycle.
inline constexpr size_t KVD_HASH_BYTES_PER_CYCLE = 4;
// Bytes of source text the lexer reads for one cycle.
inline constexpr size_t KVD_LEX_BYTES_PER_CYCLE = 4;
// Values that a vararg expression copies at the cost of its instruction;
// beyond them each value copied costs a cycle.
inline constexpr int KVD_FREE_VALUES = 16;
// Empty slots of a table that 'next' passes over for one cycle.
inline constexpr unsigned KVD_SLOTS_PER_CYCLE = 2;
// Units of collector work (slots traversed, objects swept) for one cycle.
inline constexpr uint64_t KVD_GC_WORK_PER_CYCLE = 2;

// Charges the scan of n bytes (nothing for fewer than a cycle's worth).
inline void kvd_charge_scan(size_t n) {
  cpu_counter_add(cpu_budget.cycles, int64_t(n / KVD_SCAN_BYTES_PER_CYCLE));
}
