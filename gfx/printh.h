// printh / _printh: a line to the host's standard output.
#pragma once
#include "lang/lua_api.h"

// Writes a string argument and a newline to standard output and flushes it;
// any other argument prints nothing. No results.
int lua54__printh(lua_State *L);
