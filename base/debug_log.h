// The debug log "log.txt" in the application-data folder, and the assertion
// line of internal invariants.
#pragma once

#include <cstdio>
#include <cstdlib>

// Scratch text: callers format a line into it (bounded to its size) and pass
// it to debug_log. Main thread only.
extern char debug_log_text[16384];

// Appends one line "[<ms> <pid>] text" to the debug log and flushes it. One
// leading '>' and then one leading '<' of text are skipped. Until start-up
// calls debug_log_open_allowed the lines are kept in memory.
void debug_log(const char *text);

// Start-up calls this once the command line and the system ROM have decided
// where the application-data folder is: the log is then opened (truncated)
// there and the lines kept so far are written first.
void debug_log_open_allowed();

// An internal invariant that fails prints the assertion line on standard
// output and ends the program.
[[noreturn]] void debug_log_assert_failed(const char *expr, const char *file, int line,
                                          const char *func);
#define ASSERT(expr) \
  ((expr) ? (void)0 : debug_log_assert_failed(#expr, __FILE__, __LINE__, __func__))

// INVARIANT checks what the code relies on but never expects to see broken
// (a queue of whole messages, a compact process table, a buffer with room
// for its terminator). Checked in debug and sanitizer builds (which define
// KVD_CHECK_INVARIANTS, or leave NDEBUG undefined); compiled out otherwise.
#if defined(KVD_CHECK_INVARIANTS) || !defined(NDEBUG)
#define KVD_INVARIANTS_CHECKED 1
#define INVARIANT(expr)        ASSERT(expr)
#else
#define KVD_INVARIANTS_CHECKED 0
#define INVARIANT(expr)        ((void)0)
#endif
