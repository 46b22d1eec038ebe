// A record's shape: its queries and reshaping in place.
#pragma once

#include "lang/lua_api.h"

// __len: width x height. width: the width. height: the height of a 2-D
// record, nil for a 1-D one. attribs: width, height, type name, dims.
int lua54_ud_len(lua_State *L);
int lua54_ud_width(lua_State *L);
int lua54_ud_height(lua_State *L);
int lua54_ud_attribs(lua_State *L);

// mutate(ud, type, [w], [h]): the same bytes as another type and shape.
// Integer types change into each other, a type into itself; otherwise the
// text "can not mutate between integer and float data types". w (truncated)
// below 1 keeps the row's byte length; h below 1 keeps the height, and a
// numeric w without a numeric h means 1. dims becomes 2 with numeric w and
// h, 1 with numeric w alone, and 2 whenever the new height is above 1 (a
// 1-D record is one row). The new size, at least one element, must fit
// in the old bytes (compared in 64 bits), else the text "new size is larger
// than old size". Returns nothing on success.
int lua54_ud_mutate(lua_State *L);
