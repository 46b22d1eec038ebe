// A process's memory room: what it is counted for, its limit, and what it
// may still take. The allocator, the message queues and the decoders of
// untrusted data bound what they take by it.
#pragma once
#include <cstdint>

struct proc;

inline constexpr int64_t memory_limit = 0x2000000;    // 32 MiB
inline constexpr int64_t memory_allowance = 0x80000;  // 512 KiB
// The allocator refuses growth that would put a process's counted memory
// past memory_limit + alloc_headroom; the after-slice test then holds the
// limit itself.
inline constexpr int64_t alloc_headroom = 0x2000000;  // 32 MiB

// Page bytes + heap bytes + RAM file bytes - baseline + allowance.
int64_t proc_counted_memory(const proc *p);
// Work done outside any process (tools, the host's own reads) is bounded by
// this instead of a process's limit.
inline constexpr int64_t memory_room_without_process = 8 * memory_limit;
// The bytes the current process may still take before its counted memory
// passes memory_limit (0 once past it); memory_room_without_process when
// no process is current. Decoders of untrusted data cap what they allocate
// by it.
int64_t memory_room_left();
