// The workstation API registration table: every global of a process, in the
// order it is registered. Aliases are rows naming the same function. Rows of
// functions not built yet are absent; each subsystem adds its own rows here.
#include "kernel/api.h"

#include "gfx/printh.h"

const api_row api_rows[] = {
    {"_printh", lua54__printh},
    {"printh", lua54__printh},
    {"_send_message", lua54_send_message},
    {"send_message", lua54_send_message},
    {"_read_message", lua54__read_message},
};
const size_t api_row_count = sizeof api_rows / sizeof api_rows[0];

void api_add_c_functions(lua_State *L) {
  for (const api_row &row : api_rows) {
    lua_pushcclosure(L, row.fn, 0);
    lua_setglobal(L, row.name);
  }
}
