// Process slices: resuming a process's main thread with a budget of virtual
// CPU cycles, the debt that carries overspending forward, and the per-frame
// bookkeeping before and after the frame's slices.
#pragma once
#include <cstdint>

#include "machine/memory_room.h"

struct proc;
struct lua_State;

inline constexpr int32_t debt_cap = 2796200;  // ten frames

// Runs one slice of p with `fraction` of a frame's budget; the cycles used.
// `from` is the thread of the Lua code asking for the slice (null from the
// frame loop): the resumed thread carries on its count of C calls, so slices
// nested through API calls share one bound on the host stack. A process whose
// debt covers the whole budget runs no instruction: the slice pays it down.
uint32_t run_process_slice(proc *p, double fraction, lua_State *from = nullptr);
// Clears the frame's counters, then resumes every running process's paused
// print (resume_paused_prints).
void prepare_processes_for_frame();
// One step of every running process's paused print (continue_print_text),
// into its draw target; the cycles it costs become the process's debt.
void resume_paused_prints();
void update_processes_after_frame();

// A runtime error of the process in table slot 0 or 1, or any failure in
// slot 0, ends the program: prints the kernel or window-manager line and the
// message, logs both, exit code 1. Running out of memory in any other slot
// only removes the process.
[[noreturn]] void slice_fatal_error(int32_t slot, const char *message);
