// Game-style buttons: each process keeps the state of 8 players' 16 buttons,
// sampled from the host by _update_buttons; btn reads the pressure, btnp
// reports fresh presses with an auto-repeat whose delays userland sets at
// RAM_BTNP_DELAY and RAM_BTNP_INTERVAL.
#pragma once

#include <cstdint>

#include "lang/lua_api.h"

struct proc;

inline constexpr int BUTTON_PLAYERS = 8;
inline constexpr int BUTTONS_PER_PLAYER = 16;
inline constexpr int BUTTON_ENTRIES = BUTTON_PLAYERS * BUTTONS_PER_PLAYER;
// btnp counts a value from this on as pressed (btn any non-zero value).
inline constexpr int BUTTON_PRESSED = 64;

// Sets the held-over flag of every one of p's 128 buttons and clears their
// current state, so buttons held now read as released until let go.
void buttons_hold_over_all(proc *p);
// One update of p from 128 sampled pressure bytes: the previous state takes
// the current one, the samples are copied to RAM_BUTTONS (the page is not
// marked changed), opposite directions cancel, diagonals are limited to the
// length of a full press, and held-over buttons read 0 until released.
void buttons_apply_sample(proc *p, const uint8_t sampled[BUTTON_ENTRIES]);

int lua54__update_buttons(lua_State *L);
int lua54_btn(lua_State *L);
int lua54_btnp(lua_State *L);
