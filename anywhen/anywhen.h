// The file history as the kernel calls it. Until the file history is built
// these do nothing (anywhen/anywhen_stubs.cpp).
#pragma once

void anywhen_open();
void anywhen_close();
// kind 4 with no paths opens the day's log.
void anywhen_event(int kind, const char *path, const char *second_path);

#include "kernel/pbuffer.h"

struct lua_State;

// History queries of the file API; each takes the Lua argument unchanged.
// Each pushes its table and returns 1, or returns 0 with nothing pushed.
int anywhen_list_by_loc(lua_State *L, const char *path);
int anywhen_list_by_day(lua_State *L, const char *query);
int anywhen_list_by_folder_moment(lua_State *L, const char *query);
// A new buffer with the bytes of the file the query names at its moment, or
// null.
pbuffer *anywhen_fetch(const char *query);
