// The life of a process: creation with its Lua state, restarts, removal from
// the table. It sits above every subsystem, since creating and ending a
// process touches each of them; the record and the table are machine/process.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "machine/process.h"

// A new process (current while it is created, so its allocations are charged
// to it); null when the table is full or the program does not compile (the
// id is used up either way).
proc *create_process_from_code(const char *code, const char *name, const char *path,
                               const char *env);
// Fills a record for a new Lua state running `code`: 0, or 1 when it does
// not compile (reported to process 3).
int init_process(proc *p, int64_t id, const char *code, size_t code_len, const char *name,
                 const char *path, const char *env);
// Runs the same program again in the same record with the same id; the
// current process becomes its parent, unless it is p itself (a process
// restarting itself keeps its parent). For a process whose slice is running
// the restart is left pending until that slice ends (finish_pending_restart).
// A restart of the root process asks for a reboot instead.
void restart_process(proc *p);
// Carries out the restart left pending on p, with the parent chosen when it
// was asked for.
void finish_pending_restart(proc *p);
// Releases everything the record owns (the record itself stays). Its
// finalisers run with a bounded budget of their own, even outside a slice.
void free_process(proc *p);
// Tells the parent, frees the record and closes the gap. A process whose
// slice is running is removed when that slice ends; the root process is
// removed only by a reset (anything else ends the program).
void kill_process_by_index(int32_t slot);
void kill_process_by_id(int64_t id);
void kill_process(proc *p);
// Empties the table (last slot first) and restarts ids at 1.
void processes_init();

// The shared empty 16x16 u8 sprite standing for a missing sprite (owned by
// no Lua state).
udata *get_null_sprite();
