// Keeping alive the records the kernel points at. A process's draw target,
// sprites, current map and mapped pages are plain pointers into userdata of
// its Lua state; each is backed by a slot of one table that the collector
// always reaches but no program can: the table sits on the stack of a
// thread of the kernel's own (the keeper), and the keeper sits on the main
// thread's stack below the program's main function, a place that neither
// the registry, nor any global, nor the debug library leads to. So wiping
// the registry or any table a program reaches never frees a record the
// kernel still points at. The slots go with the state when the process is
// freed.
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

// Creates p's keeper and leaves it on top of the stack of p's fresh state
// (whose main stack must still be empty, so that it lands below anything a
// program's code ever runs in). False when the state has no memory for it.
bool keep_alive_open(proc *p);
// Slot `slot` of L's state holds the value at stack index `index` from now
// on; a nil value (or an index of 0) empties it. May raise a memory error,
// so a setter keeps the record first and stores its pointer after. L must be
// a thread of a process's state.
void keep_alive_set(lua_State *L, int64_t slot, int index);
// The value slot `slot` holds, pushed (nil when empty); for tests.
void keep_alive_push(lua_State *L, int64_t slot);
// Called when p's Lua state has been closed: the records went with it, so
// p's draw target, sprites and current map point at nothing any more.
void keep_alive_forget(proc *p);
