// The workstation's Lua API: the registration table (one row per global, in
// registration order; aliases name the same function) and the kernel's own
// API functions.
#pragma once
#include <cstddef>

#include "lang/lua_api.h"

struct api_row {
  const char *name;
  lua_CFunction fn;
};

// The rows registered so far, in order; rows whose functions are not built
// yet are absent.
extern const api_row api_rows[];
extern const size_t api_row_count;

// Registers every row as a global of L (a closure without upvalues).
void api_add_c_functions(lua_State *L);

// Process control.
int lua54_pid(lua_State *L);
int lua54__create_process_from_code(lua_State *L);
int lua54__run_process_slice(lua_State *L);
int lua54__kill_process(lua_State *L);
int lua54__close_process_host_resources(lua_State *L);
int lua54__halt(lua_State *L);
int lua54_yielded_to_escape_slice(lua_State *L);
int lua54_load(lua_State *L);
int lua54__blit_process_video(lua_State *L);
int lua54__process_state(lua_State *L);
int lua54__get_process_display_size(lua_State *L);
int lua54__get_process_list(lua_State *L);

// System signals and settings.
int lua54__signal(lua_State *L);
int lua54__apply_system_settings(lua_State *L);
int lua54_flip(lua_State *L);
int lua54_burn(lua_State *L);

// Messages.
int lua54_send_message(lua_State *L);
int lua54__read_message(lua_State *L);
