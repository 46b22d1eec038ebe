// Process slices: resuming a process's main thread with a budget of virtual
// CPU cycles, the debt that carries overspending forward, and the per-frame
// bookkeeping before and after the frame's slices.
#pragma once
#include <cstdint>

struct proc;

inline constexpr int32_t debt_cap = 2796200;          // ten frames
inline constexpr int64_t memory_limit = 0x2000000;    // 32 MiB
inline constexpr int64_t memory_allowance = 0x80000;  // 512 KiB
// The allocator refuses growth that would put a process's counted memory
// past memory_limit + alloc_headroom; the after-slice test then holds the
// limit itself.
inline constexpr int64_t alloc_headroom = 0x2000000;  // 32 MiB
inline constexpr uint32_t boot_hold_ms = 2200;

// Runs one slice of p with `fraction` of a frame's budget; the cycles used.
uint32_t run_process_slice(proc *p, double fraction);
// Clears the frame's counters, then resumes every running process's paused
// print (resume_paused_prints).
void prepare_processes_for_frame();
// One step of every running process's paused print (continue_print_text),
// into its draw target; the cycles it costs become the process's debt.
void resume_paused_prints();
void update_processes_after_frame();
// Page bytes + heap bytes - baseline + allowance.
int64_t proc_counted_memory(const proc *p);
// Work done outside any process (tools, the host's own reads) is bounded by
// this instead of a process's limit.
inline constexpr int64_t memory_room_without_process = 8 * memory_limit;
// The bytes the current process may still take before its counted memory
// passes memory_limit (0 once past it); memory_room_without_process when
// no process is current. Decoders of untrusted data cap what they allocate
// by it.
int64_t memory_room_left();

// A runtime error of the process in table slot 0 or 1, or any failure in
// slot 0, ends the program: prints the kernel or window-manager line and the
// message, logs both, exit code 1. Running out of memory in any other slot
// only removes the process.
[[noreturn]] void slice_fatal_error(int32_t slot, const char *message);

// Milliseconds of boot clock: the first reading after a reset starts it.
uint32_t boot_get_time();
