// blit(src, dst, sx, sy, dx, dy, w, h) as a global and a record method: picks
// the records, arranges the clip and charges the copy.
#pragma once

#include <cstdint>

#include "lang/lua_api.h"

// A missing src or dst is the current process's draw target; nothing happens
// while either is still missing. Into the draw target the copy is clipped to
// its clip (refreshed from the draw state, and kept inside the target); into
// any other record only to that record. w and h default to src's size.
// Charges the blitter's work / 64; returns nothing.
int lua54_blit_0(lua_State *L);
int lua54_blit(lua_State *L);
int lua54_ud_blit(lua_State *L);
