// Keeping alive the records the kernel points at. A process's draw target,
// sprites, current map and mapped pages are plain pointers into userdata of
// its Lua state; each is backed by a slot of one table in that state's
// registry, so the collector never frees a record the kernel still points
// at. The slots go with the state when the process is freed.
#pragma once

#include <cstdint>

#include "base/ram_layout.h"
#include "lang/lua_api.h"

struct proc;

// Slots: one each for the draw target and the current map, one per sprite
// number and one per page of the address space.
inline constexpr int64_t KEEP_DRAW_TARGET = 1;
inline constexpr int64_t KEEP_CURRENT_MAP = 2;
inline constexpr int64_t KEEP_SPRITES = 16;
inline constexpr int64_t KEEP_PAGES = KEEP_SPRITES + GFX_SPRITES;

// Slot `slot` of L's state holds the value at stack index `index` from now
// on; a nil value (or an index of 0) empties it. May raise a memory error,
// so a setter keeps the record first and stores its pointer after.
void keep_alive_set(lua_State *L, int64_t slot, int index);
// The value slot `slot` holds, pushed (nil when empty); for tests.
void keep_alive_push(lua_State *L, int64_t slot);
// Called when p's Lua state has been closed: the records went with it, so
// p's draw target, sprites and current map point at nothing any more.
void keep_alive_forget(proc *p);
