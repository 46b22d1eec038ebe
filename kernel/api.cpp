// The workstation API registration table: every global of a process, in the
// order it is registered. Aliases are rows naming the same function. Rows of
// functions not built yet are absent; each subsystem adds its own rows here.
#include "kernel/api.h"

#include "gfx/printh.h"

const api_row api_rows[] = {
    {"_printh", lua54__printh},
    {"printh", lua54__printh},
    {"pid", lua54_pid},
    {"_send_message", lua54_send_message},
    {"send_message", lua54_send_message},
    {"_read_message", lua54__read_message},
    {"_flip", lua54_flip},
    {"flip", lua54_flip},
    {"burn", lua54_burn},
    {"_yielded_to_escape_slice", lua54_yielded_to_escape_slice},
    {"_create_process_from_code", lua54__create_process_from_code},
    {"_run_process_slice", lua54__run_process_slice},
    {"_kill_process", lua54__kill_process},
    {"_close_process_host_resources", lua54__close_process_host_resources},
    {"_halt", lua54__halt},
    {"load", lua54_load},
    {"_process_state", lua54__process_state},
    {"_get_process_display_size", lua54__get_process_display_size},
    {"_get_process_list", lua54__get_process_list},
    {"_apply_system_settings", lua54__apply_system_settings},
    {"_signal", lua54__signal},
};
const size_t api_row_count = sizeof api_rows / sizeof api_rows[0];

void api_add_c_functions(lua_State *L) {
  for (const api_row &row : api_rows) {
    lua_pushcclosure(L, row.fn, 0);
    lua_setglobal(L, row.name);
  }
}
