// The reduced standard-library set of the workstation's Lua states.
#pragma once
#include "lang/lua_api.h"

// Opens base (with tonum; without dofile, loadfile, load, xpcall),
// coroutine, table (without sort), string (without dump), math, utf8 and
// debug (without setcstacklimit), in that order, each as a global and a
// loaded-module entry. No package, io or os. A left-out field is not
// cleared: it keeps what the state held there before (the API's own load,
// when the libraries are opened again over it).
void lang_openlibs(lua_State *L);

// tonum(v): v itself for a number, 1/0 for true/false, the number a
// numeral string denotes; otherwise no value. Never raises an error.
int lang_tonum(lua_State *L);
