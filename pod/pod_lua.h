// The pod functions of the workstation's Lua API: pod and _pod (one
// function), unpod, create_delta and apply_delta.
#pragma once

#include "lang/lua_api.h"

// pod(value, flags = 0, prefix): the pod text of value, after prefix when
// prefix is a string or number; nothing when the text would not fit in a
// buffer.
int lua54_stringify(lua_State *L);
// unpod(text): the value (and its metadata table) of a pod text; nothing
// when text is not a string or number or cannot be read.
int lua54_destringify(lua_State *L);
// create_delta(a, b): the stored delta that turns string a into b.
int lua54_create_diff(lua_State *L);
// apply_delta(a, delta): the string the delta makes of a; nothing when the
// delta does not fit a.
int lua54_apply_diff(lua_State *L);

// Registers pod, _pod, unpod, create_delta and apply_delta as globals.
void pod_register_lua(lua_State *L);
