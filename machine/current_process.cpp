// The current process on its own: code that only reads process memory (the
// interpreter's memory opcodes, peek) links without the process table and
// all that it brings in, so a standalone interpreter starts in milliseconds.
#include "machine/process.h"

proc *cproc = nullptr;
