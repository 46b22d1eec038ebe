// The registered API against the full registration table of the workstation:
// the same rows in the same order, and aliases are one function.
#include <set>
#include <vector>

#include "kernel/api.h"
#include "kernel/process_life.h"
#include "tests/kernel/kernel_fixture.h"

namespace {

// Every global of the registration table, in order.
const char *const full_table[] = {"deli",
                                  "add",
                                  "del",
                                  "count",
                                  "time",
                                  "t",
                                  "stat",
                                  "date",
                                  "cls",
                                  "fillp",
                                  "pset",
                                  "pget",
                                  "fset",
                                  "fget",
                                  "mset",
                                  "mget",
                                  "camera",
                                  "clip",
                                  "rectfill",
                                  "rect",
                                  "ovalfill",
                                  "circfill",
                                  "oval",
                                  "circ",
                                  "rrect",
                                  "rrectfill",
                                  "line",
                                  "tline3d",
                                  "sspr",
                                  "spr",
                                  "_draw_map",
                                  "blit",
                                  "_print_q7scii",
                                  "_printh",
                                  "printh",
                                  "cursor",
                                  "color",
                                  "pal",
                                  "palt",
                                  "note",
                                  "sfx",
                                  "music",
                                  "pod",
                                  "_pod",
                                  "unpod",
                                  "create_delta",
                                  "apply_delta",
                                  "fetch",
                                  "store",
                                  "_fetch_local",
                                  "_store_local",
                                  "_cache_store",
                                  "_cache_fetch",
                                  "_fetch_anywhen",
                                  "_list_anywhen_by_day",
                                  "_list_anywhen_by_loc",
                                  "_list_anywhen_folder_moment",
                                  "_fetch_remote",
                                  "_fetch_remote_result",
                                  "_fetch_metadata_from_file",
                                  "_store_metadata_str_to_file",
                                  "_ls",
                                  "_mkdir",
                                  "_fstat",
                                  "_fullpath",
                                  "ls",
                                  "mkdir",
                                  "fstat",
                                  "fullpath",
                                  "cp",
                                  "_fcopy",
                                  "_fdelete",
                                  "pid",
                                  "_send_message",
                                  "send_message",
                                  "_read_message",
                                  "chr",
                                  "ord",
                                  "tokenoid",
                                  "rnd",
                                  "srand",
                                  "abs",
                                  "sgn",
                                  "max",
                                  "min",
                                  "mid",
                                  "sqrt",
                                  "cos",
                                  "sin",
                                  "atan2",
                                  "flr",
                                  "ceil",
                                  "userdata",
                                  "vec",
                                  "get",
                                  "set",
                                  "_flip",
                                  "flip",
                                  "burn",
                                  "split",
                                  "_ext",
                                  "_path",
                                  "_hloc",
                                  "_get_userland_clipboard_text",
                                  "_set_userland_clipboard_text",
                                  "_yielded_to_escape_slice",
                                  "_create_process_from_code",
                                  "_run_process_slice",
                                  "_kill_process",
                                  "_close_process_host_resources",
                                  "_halt",
                                  "_mount",
                                  "mount",
                                  "_set_draw_target",
                                  "_pwd",
                                  "_cd",
                                  "pwd",
                                  "cd",
                                  "_normalise_userland_path",
                                  "norm",
                                  "_is_well_formed_bbs_path",
                                  "load",
                                  "_blit_process_video",
                                  "_process_state",
                                  "_get_process_display_size",
                                  "_get_process_list",
                                  "_apply_system_settings",
                                  "_signal",
                                  "_warp_mouse",
                                  "_set_spr",
                                  "_map_ram",
                                  "_unmap_ram",
                                  "_update_buttons",
                                  "_set_host_window_icon",
                                  "_set_host_window_title",
                                  "_md5",
                                  "_crc",
                                  "_strindex",
                                  "btn",
                                  "btnp",
                                  "peek",
                                  "poke",
                                  "peek2",
                                  "poke2",
                                  "peek4",
                                  "poke4",
                                  "peek8",
                                  "poke8",
                                  "_ppeek",
                                  "_ppeek4",
                                  "memcpy",
                                  "memset"};

const std::pair<const char *, const char *> aliases[] = {{"time", "t"},
                                                         {"_printh", "printh"},
                                                         {"pod", "_pod"},
                                                         {"fetch", "_fetch_local"},
                                                         {"store", "_store_local"},
                                                         {"_ls", "ls"},
                                                         {"_mkdir", "mkdir"},
                                                         {"_fstat", "fstat"},
                                                         {"_fullpath", "fullpath"},
                                                         {"cp", "_fcopy"},
                                                         {"_send_message", "send_message"},
                                                         {"_flip", "flip"},
                                                         {"_mount", "mount"},
                                                         {"_pwd", "pwd"},
                                                         {"_cd", "cd"}};

// The registration table is the workstation's API: every row is registered,
// once, in the table's order, and nothing else is.
TEST(ApiRegistry, RowsAreTheTableInOrder) {
  std::vector<std::string> want(std::begin(full_table), std::end(full_table)), got;
  for (size_t i = 0; i < api_row_count; i++) got.push_back(api_rows[i].name);
  EXPECT_EQ(got, want);
  EXPECT_EQ(std::set<std::string>(got.begin(), got.end()).size(), got.size());
}

TEST(ApiRegistry, AliasesAreOneFunction) {
  for (auto [a, b] : aliases) {
    lua_CFunction fa = nullptr, fb = nullptr;
    for (size_t i = 0; i < api_row_count; i++) {
      if (std::string(api_rows[i].name) == a) fa = api_rows[i].fn;
      if (std::string(api_rows[i].name) == b) fb = api_rows[i].fn;
    }
    EXPECT_EQ(fa == nullptr, fb == nullptr) << a << " and " << b << " come together";
    EXPECT_EQ(fa, fb) << a << " / " << b;
  }
}

using api_state_test = kernel_fixture;

TEST_F(api_state_test, EveryRowIsAGlobalOfANewProcessAndAliasesAreSeparateGlobals) {
  proc *p = create_process_from_code("flip = nil", "p", "/p.lua", "");
  ASSERT_NE(p, nullptr);
  for (size_t i = 0; i < api_row_count; i++) {
    lua_getglobal(p->L, api_rows[i].name);
    EXPECT_EQ(lua_tocfunction(p->L, -1), api_rows[i].fn) << api_rows[i].name;
    lua_pop(p->L, 1);
  }
  prepare_processes_for_frame();
  run_process_slice(p, 1.0);  // the program ends (and is removed)
  EXPECT_EQ(root_eval("return type(flip) .. ' ' .. type(_flip)"), "function function");
}

// A valid precompiled chunk of "return 6*7", dumped by this build.
static std::string precompiled_chunk(lua_State *L) {
  std::string out;
  EXPECT_EQ(luaL_loadstring(L, "return 6*7"), LUA_OK);
  lua_dump(
      L,
      [](lua_State *, const void *p, size_t n, void *ud) {
        static_cast<std::string *>(ud)->append(static_cast<const char *>(p), n);
        return 0;
      },
      &out, 0);
  lua_pop(L, 1);
  return out;
}

TEST_F(api_state_test, LoadCompilesTextOnly) {
  EXPECT_EQ(root_eval("return load('return 6*7')()"), "42");
  EXPECT_EQ(root_eval("return load('return x', 'c', 't', {x = 5})()"), "5");
  std::string chunk = precompiled_chunk(root->L);
  lua_pushlstring(root->L, chunk.data(), chunk.size());
  lua_setglobal(root->L, "chunk");
  // Every mode refuses a precompiled chunk, however well formed.
  for (const char *mode : {"nil", "'b'", "'bt'"}) {
    std::string r = root_eval(std::string("local f, e = load(chunk, 'c', ") + mode +
                              ") return tostring(f) .. ' ' .. e");
    EXPECT_EQ(r.rfind("nil attempt to load a binary chunk", 0), 0u) << mode << ": " << r;
  }
  // Process programs are text only as well.
  EXPECT_EQ(root_eval("return select('#', _create_process_from_code(chunk, 'b', '/b.lua'))"), "0");
}

}  // namespace
