// The buttons of the current process and their Lua functions.
#include "kernel/buttons.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/ram_layout.h"
#include "machine/memory.h"
#include "machine/process.h"
#include "lang/args.h"
#include "host/os_host.h"

// The repeat delays' defaults and the value that turns repeats off.
static constexpr int32_t default_first_delay = 30;
static constexpr int32_t default_interval = 8;
static constexpr int32_t no_repeat = 255;

void buttons_hold_over_all(proc *p) {
  std::memset(p->buttons_held_over, 1, sizeof p->buttons_held_over);
  std::memset(p->buttons_current, 0, sizeof p->buttons_current);
}

// Buttons 0 and 1, and 2 and 3, of a group of eight are opposite
// directions: pressed together they read as neither; a diagonal longer than
// a full press is scaled back to that length.
static void limit_directions(uint8_t *g) {
  for (int pair = 0; pair < 4; pair += 2)
    if (g[pair] && g[pair + 1]) g[pair] = g[pair + 1] = 0;
  int32_t dx = g[1] - g[0], dy = g[3] - g[2];
  int32_t square = dx * dx + dy * dy;
  if (square <= 256 * 256) return;
  double scale = 256.0 / std::sqrt(double(square));
  for (int k = 0; k < 4; k++) g[k] = uint8_t(std::clamp<int32_t>(int32_t(g[k] * scale), 0, 255));
}

void buttons_apply_sample(proc *p, const uint8_t sampled[BUTTON_ENTRIES]) {
  std::memcpy(p->buttons_previous, p->buttons_current, BUTTON_ENTRIES);
  std::memcpy(p->buttons_current, sampled, BUTTON_ENTRIES);
  uint32_t page = RAM_BUTTONS / RAM_PAGE_SIZE;
  uint8_t flags = p->mem.page_flags[page];
  for (int i = 0; i < BUTTON_ENTRIES; i++) poke_proc(p, int32_t(RAM_BUTTONS) + i, sampled[i]);
  p->mem.page_flags[page] = flags;  // a copy for reading, not a change
  for (int g = 0; g < BUTTON_ENTRIES; g += 8) limit_directions(p->buttons_current + g);
  for (int i = 0; i < BUTTON_ENTRIES; i++) {
    if (!p->buttons_held_over[i]) continue;
    if (p->buttons_current[i])
      p->buttons_current[i] = 0;
    else
      p->buttons_held_over[i] = 0;
  }
}

int lua54__update_buttons(lua_State *L) {
  proc *p = cproc;
  if (!p) return 0;
  if (!lua_toboolean(L, 1)) {
    std::memset(p->buttons_previous, 0, sizeof p->buttons_previous);
    std::memset(p->buttons_current, 0, sizeof p->buttons_current);
    std::memset(p->buttons_repeat, 0, sizeof p->buttons_repeat);
    std::memset(p->buttons_held_over, 1, sizeof p->buttons_held_over);
    return 0;
  }
  uint8_t sampled[BUTTON_ENTRIES] = {};  // the host only raises pressures
  for (int player = 0; player < BUTTON_PLAYERS; player++)
    host_get_button_states(player, sampled + player * BUTTONS_PER_PLAYER);
  buttons_apply_sample(p, sampled);
  return 0;
}

// The button (argument 1, -1 when absent) and player (argument 2, default 0);
// the entry index, or -1 when either is out of range.
static int32_t button_entry(lua_State *L, int32_t *button, int32_t *player) {
  *button = int32_t(kvd_intp(L, 1, -1));
  int64_t pl = kvd_intp(L, 2, 0);
  *player = int32_t(pl);
  if (*button < 0 || *button >= BUTTONS_PER_PLAYER || pl < 0 || pl >= BUTTON_PLAYERS) return -1;
  return *player * BUTTONS_PER_PLAYER + *button;
}

// The 64-bit mask of buttons 0 to 7 of every player that pass `test`.
template <typename Test>
static lua_Integer button_mask(Test test) {
  uint64_t mask = 0;
  for (int player = 0; player < BUTTON_PLAYERS; player++)
    for (int k = 0; k < 8; k++)
      if (test(player * BUTTONS_PER_PLAYER + k)) mask |= uint64_t(1) << (player * 8 + k);
  return lua_Integer(mask);
}

int lua54_btn(lua_State *L) {
  proc *p = cproc;
  int32_t button, player;
  int32_t entry = button_entry(L, &button, &player);
  if (p && button == -1) {
    lua_pushinteger(L, button_mask([p](int i) { return p->buttons_current[i] != 0; }));
    return 1;
  }
  if (!p || entry < 0 || !p->buttons_current[entry])
    lua_pushboolean(L, 0);
  else
    lua_pushinteger(L, p->buttons_current[entry]);
  return 1;
}

// A repeat delay byte of process memory: 0 gives the default, 255 no repeat.
static int32_t repeat_delay(uint32_t addr, int32_t def) {
  int32_t v = peek(int32_t(addr));
  return v == 0 ? def : v == no_repeat ? -1 : v;
}

int lua54_btnp(lua_State *L) {
  proc *p = cproc;
  int32_t button, player;
  int32_t entry = button_entry(L, &button, &player);
  if (p && button == -1) {
    lua_pushinteger(L, button_mask([p](int i) {
                      return p->buttons_current[i] >= BUTTON_PRESSED &&
                             p->buttons_previous[i] < BUTTON_PRESSED;
                    }));
    return 1;
  }
  bool fired = false;
  if (p && entry >= 0 && p->buttons_current[entry] >= BUTTON_PRESSED) {
    int32_t &counter = p->buttons_repeat[entry];
    if (p->buttons_previous[entry] < BUTTON_PRESSED) {
      counter = repeat_delay(RAM_BTNP_DELAY, default_first_delay);
      fired = true;
    } else if (counter > 0 && --counter == 0) {
      counter = repeat_delay(RAM_BTNP_INTERVAL, default_interval);
      fired = true;
    }
  }
  lua_pushboolean(L, fired);
  return 1;
}
