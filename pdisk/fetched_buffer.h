// The Lua value of fetched bytes (a file, a download, a stored version),
// chosen by the name's extension and the bytes themselves.
#pragma once

#include "base/pbuffer.h"
#include "lang/lua_api.h"

// Bit of `flags`: PNG images as i32 pixels (0xAARRGGBB) instead of u8
// colour indices.
constexpr int FETCHED_PNG_AS_I32 = 1;

// Pushes the value of buffer's bytes (its whole length) for a file named
// name and returns the number of values pushed; 0 (nothing pushed) when
// buffer or name is null.
//  - "txt", "lua" and "pn" files are host text, converted to q7scii first;
//  - "png" and "q7.png" files that hold a PNG give a 2-D userdata of the
//    image: u8 indices of the nearest of the first 64 palette colours, or
//    i32 pixels with FETCHED_PNG_AS_I32; charged width x height / 2. A PNG
//    that cannot be decoded (or is too large for a userdata) is read on as
//    below;
//  - "pod" files and bytes that begin with "-- kavelund object data" or
//    "--[[pod" are read as a pod text: the value and any metadata table (0
//    when the text cannot be read);
//  - anything else is one string of the bytes.
int unpod_from_fetched_buffer(lua_State *L, pbuffer *buffer, const char *name, int flags);
