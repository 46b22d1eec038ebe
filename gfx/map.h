// Map drawing: an i16 userdata whose cells name sprites, drawn as a grid of
// tiles into the draw target. Cell bits 0..12 are the sprite number, bit 13
// turns the tile by a quarter (its rows read along the sprite's columns),
// bit 14 flips it in x, bit 15 in y.
#pragma once
#include <cstdint>

#include "lang/lua_api.h"

struct udata;

// The current process's sprite-table entry n (null when empty, n outside
// 0..16383 or no current process).
udata *sprite_entry(int64_t n);
// A sprite argument: a userdata is itself; anything else is read with
// kvd_intp (default -1) as a sprite number for sprite_entry.
udata *get_sprite_p(lua_State *L, int index);

// _draw_map(map, [mx], [my], [x], [y], [w], [h], [layer], [tile_w], [tile_h]):
// cells mx.. mx + w - 1, my .. my + h - 1 with the top-left tile at (x, y)
// minus the camera; tile sizes default to 0x550E and 0x550F (0 meaning 256).
// Cells naming sprite 0 are drawn only with 0x5F36 bit 3; a non-zero layer
// draws only cells whose sprite flags share a bit with it. Tiles clipped away
// whole are not visited; 2 cycles per visited cell plus the drawing cost / 3.
// A map whose next tile could take the slice past the overrun bound stops
// there with the overrun error, the tiles drawn charged. No results.
int lua54_draw_map(lua_State *L);
