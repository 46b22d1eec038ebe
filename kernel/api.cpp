// The workstation API registration table: every global of a process, in the
// order it is registered. Aliases are rows naming the same function. Rows of
// functions not built yet are absent; each subsystem adds its own rows here.
#include "kernel/api.h"

#include "gfx/draw_api.h"
#include "gfx/map.h"
#include "gfx/print.h"
#include "gfx/printh.h"
#include "kernel/memory_api.h"
#include "pdisk/file_api.h"
#include "pod/pod_lua.h"
#include "userdata/ud_access.h"
#include "userdata/ud_blit.h"
#include "userdata/udata.h"

const api_row api_rows[] = {
    {"cls", lua54_cls},
    {"fillp", lua54_fillp},
    {"pset", lua54_pset},
    {"pget", lua54_pget},
    {"fset", lua54_fset},
    {"fget", lua54_fget},
    {"mset", lua54_mset},
    {"mget", lua54_mget},
    {"camera", lua54_camera},
    {"clip", lua54_clip},
    {"rectfill", lua54_rectfill},
    {"rect", lua54_rect},
    {"ovalfill", lua54_ovalfill},
    {"circfill", lua54_circfill},
    {"oval", lua54_oval},
    {"circ", lua54_circ},
    {"rrect", lua54_rrect},
    {"rrectfill", lua54_rrectfill},
    {"line", lua54_line},
    {"tline3d", lua54_tline3d},
    {"sspr", lua54_sspr},
    {"spr", lua54_spr},
    {"_draw_map", lua54_draw_map},
    {"blit", lua54_blit},
    {"_print_q7scii", lua54__print_q7scii},
    {"_printh", lua54__printh},
    {"printh", lua54__printh},
    {"cursor", lua54_cursor},
    {"color", lua54_color},
    {"pal", lua54_pal},
    {"palt", lua54_palt},
    {"pod", lua54_stringify},
    {"_pod", lua54_stringify},
    {"unpod", lua54_destringify},
    {"create_delta", lua54_create_diff},
    {"apply_delta", lua54_apply_diff},
    {"fetch", lua54_fetch_local},
    {"store", lua54_store_local},
    {"_fetch_local", lua54_fetch_local},
    {"_store_local", lua54_store_local},
    {"_cache_store", lua54_cache_store},
    {"_cache_fetch", lua54_cache_fetch},
    {"_fetch_anywhen", lua54_fetch_anywhen},
    {"_list_anywhen_by_day", lua54_list_anywhen_by_day},
    {"_list_anywhen_by_loc", lua54_list_anywhen_by_loc},
    {"_list_anywhen_folder_moment", lua54_list_anywhen_folder_moment},
    {"_fetch_remote", lua54_fetch_remote},
    {"_fetch_remote_result", lua54_fetch_remote_result},
    {"_fetch_metadata_from_file", lua54_fetch_metadata},
    {"_store_metadata_str_to_file", lua54_store_metadata_str},
    {"_ls", lua54_list_files},
    {"_mkdir", lua54_mkdir},
    {"_fstat", lua54_fstat},
    {"_fullpath", lua54_resolve_filename},
    {"ls", lua54_list_files},
    {"mkdir", lua54_mkdir},
    {"fstat", lua54_fstat},
    {"fullpath", lua54_resolve_filename},
    {"cp", lua54__fcopy},
    {"_fcopy", lua54__fcopy},
    {"_fdelete", lua54__fdelete},
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
    {"split", lua54_split},
    {"_ext", lua54_ext},
    {"_path", lua54_path},
    {"_hloc", lua54_hloc},
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
