// The metatable every record of a process gets: the global USERDATA.
#pragma once

#include <cstddef>

#include "lang/lua_api.h"

struct ud_metatable_row {
  const char *key;
  lua_CFunction fn;
};
// The entries of USERDATA in the order they are stored.
extern const ud_metatable_row ud_metatable_rows[];
extern const size_t ud_metatable_row_count;

// Builds the table of ud_metatable_rows (native functions without upvalues)
// in L and stores it as the global USERDATA. Process creation calls it once,
// after the workstation API and the host functions.
void add_userdata_metatable_functions(lua_State *L);
