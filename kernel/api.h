// The workstation's Lua API: the registration table (one row per global, in
// registration order; aliases name the same function) and the kernel's own
// API functions.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "lang/lua_api.h"
#include "kernel/process_life.h"

struct api_row {
  const char *name;
  lua_CFunction fn;
};

// Every row, in registration order.
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

// stat, time and date. `global_unique_id` is what stat 333 gives next (one
// counter for the whole workstation, 1 at program start); `audio_dat` is the
// scratch area the synthesiser's sample queries fill.
inline constexpr int32_t AUDIO_DAT_SAMPLES = 262144 / 2;
extern int64_t global_unique_id;
extern int16_t audio_dat[AUDIO_DAT_SAMPLES];
int lua54_stat(lua_State *L);
int lua54_time(lua_State *L);
int lua54_date(lua_State *L);

// The tokenizer.
int lua54_tokenoid(lua_State *L);

// Math, random and characters. `seed_entropy` is stirred by every srand and
// goes into its default seed (18368724 at program start).
extern uint32_t seed_entropy;
int lua54_abs(lua_State *L);
int lua54_sgn(lua_State *L);
int lua54_max(lua_State *L);
int lua54_min(lua_State *L);
int lua54_mid(lua_State *L);
int lua54_flr(lua_State *L);
int lua54_ceil(lua_State *L);
int lua54_sqrt(lua_State *L);
int lua54_cos(lua_State *L);
int lua54_sin(lua_State *L);
int lua54_atan2(lua_State *L);
int lua54_rnd(lua_State *L);
int lua54_srand(lua_State *L);
int lua54_chr(lua_State *L);
int lua54_ord(lua_State *L);

// List helpers.
int lua54_add(lua_State *L);
int lua54_del(lua_State *L);
int lua54_deli(lua_State *L);
int lua54_count(lua_State *L);

// Other system functions. `userland_clipboard_text` is the one clipboard
// every process shares (empty until first set).
extern std::string userland_clipboard_text;
int lua54_get_userland_clipboard_text(lua_State *L);
int lua54_set_userland_clipboard_text(lua_State *L);
int lua54_mount(lua_State *L);
int lua54__set_draw_target(lua_State *L);
int lua54_get_process_pwd(lua_State *L);
int lua54_set_process_pwd(lua_State *L);
int lua54_normalise_userland_path(lua_State *L);
int lua54_normalise_userland_path_debug(lua_State *L);
int lua54_is_well_formed_bbs_path(lua_State *L);
int lua54__warp_mouse(lua_State *L);
int lua54__set_spr(lua_State *L);
int lua54__set_host_window_icon(lua_State *L);
int lua54__set_host_window_title(lua_State *L);
int lua54__md5(lua_State *L);
int lua54__crc(lua_State *L);
int lua54__strindex(lua_State *L);

// RAM mapping.
int lua54__map_ram(lua_State *L);
int lua54__unmap_ram_by_userdata(lua_State *L);
