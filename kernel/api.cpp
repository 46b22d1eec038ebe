// The workstation API registration table: every global of a process, in the
// order it is registered. Aliases are rows naming the same function. Rows of
// functions not built yet are absent; each subsystem adds its own rows here.
#include "kernel/api.h"

#include "gfx/printh.h"
#include "kernel/memory_api.h"
#include "pod/pod_lua.h"
#include "userdata/ud_access.h"
#include "userdata/ud_blit.h"
#include "userdata/udata.h"

const api_row api_rows[] = {
    {"blit", lua54_blit},
    {"_printh", lua54__printh},
    {"printh", lua54__printh},
    {"pod", lua54_stringify},
    {"_pod", lua54_stringify},
    {"unpod", lua54_destringify},
    {"create_delta", lua54_create_diff},
    {"apply_delta", lua54_apply_diff},
    {"pid", lua54_pid},
    {"_send_message", lua54_send_message},
    {"send_message", lua54_send_message},
    {"_read_message", lua54__read_message},
    {"userdata", lua54_userdata},
    {"vec", lua54_vec},
    {"get", lua54_get},
    {"set", lua54_set},
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
    {"_blit_process_video", lua54__blit_process_video},
    {"_process_state", lua54__process_state},
    {"_get_process_display_size", lua54__get_process_display_size},
    {"_get_process_list", lua54__get_process_list},
    {"_apply_system_settings", lua54__apply_system_settings},
    {"_signal", lua54__signal},
    {"peek", lua54_peek},
    {"poke", lua54_poke},
    {"peek2", lua54_peek2},
    {"poke2", lua54_poke2},
    {"peek4", lua54_peek4},
    {"poke4", lua54_poke4},
    {"peek8", lua54_peek8},
    {"poke8", lua54_poke8},
    {"_ppeek", lua54__ppeek},
    {"_ppeek4", lua54__ppeek4},
    {"memcpy", lua54_memcpy},
    {"memset", lua54_memset},
};
const size_t api_row_count = sizeof api_rows / sizeof api_rows[0];

void api_add_c_functions(lua_State *L) {
  for (const api_row &row : api_rows) {
    lua_pushcclosure(L, row.fn, 0);
    lua_setglobal(L, row.name);
  }
}
