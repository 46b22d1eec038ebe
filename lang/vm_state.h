// Per-thread interpreter state the kernel reads and writes.
#pragma once
#include "lang/lua_api.h"

// The flag that the interpreter sets to 1 whenever its budget test suspends
// the thread L; it never clears it. New threads start with 0.
int lang_yielded_to_escape_slice(lua_State *L);
void lang_set_yielded_to_escape_slice(lua_State *L, int value);
