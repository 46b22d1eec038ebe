// The file functions of the workstation's Lua API, registered in every
// process. Each acts for the current process, reads integer arguments with
// kvd_intp and string arguments with Lua's usual conversion (numbers are
// accepted), and never raises a Lua error: bad or missing arguments give no
// result, failures no result or a message string.
#pragma once

#include "lang/lua_api.h"

int lua54_fetch_local(lua_State *L);          // fetch, _fetch_local
int lua54_store_local(lua_State *L);          // store, _store_local
int lua54_cache_store(lua_State *L);          // _cache_store
int lua54_cache_fetch(lua_State *L);          // _cache_fetch
int lua54_fetch_anywhen(lua_State *L);        // _fetch_anywhen
int lua54_list_anywhen_by_day(lua_State *L);  // _list_anywhen_by_day
int lua54_list_anywhen_by_loc(lua_State *L);  // _list_anywhen_by_loc
int lua54_list_anywhen_folder_moment(lua_State *L);
int lua54_fetch_remote(lua_State *L);         // _fetch_remote
int lua54_fetch_remote_result(lua_State *L);  // _fetch_remote_result
int lua54_fetch_metadata(lua_State *L);       // _fetch_metadata_from_file
int lua54_store_metadata_str(lua_State *L);   // _store_metadata_str_to_file
int lua54_list_files(lua_State *L);           // ls, _ls
int lua54_mkdir(lua_State *L);                // mkdir, _mkdir
int lua54_fstat(lua_State *L);                // fstat, _fstat
int lua54_resolve_filename(lua_State *L);     // fullpath, _fullpath
int lua54__fcopy(lua_State *L);               // cp, _fcopy
int lua54__fdelete(lua_State *L);  // _fdelete: an error text when what the path names stays
int lua54_split(lua_State *L);     // split
int lua54_ext(lua_State *L);       // _ext
int lua54_path(lua_State *L);      // _path
int lua54_hloc(lua_State *L);      // _hloc

// The argument at index as text when it is a string or a number, else null.
const char *file_api_text_arg(lua_State *L, int index, size_t *len = nullptr);

struct gurl_job;
// Completion callback of userland downloads, on the worker thread: stores a
// finished PNG download of at least 512 bytes in the host file named by the
// job's extra text (cart_cache_host_path of its url, made when it started);
// it reads nothing but the job.
void gurl_cb(gurl_job *job);
