// A root process drawing through the Lua API: a draw target, sprites and a
// map made as Lua userdata (kept alive in globals) and stored in the process
// record directly, as the kernel's setters would.
#pragma once
#include <string>

#include "lang/lua_api.h"
#include "gfx/draw_target.h"
#include "gfx/font.h"
#include "tests/gfx/gfx_fixture.h"

struct api_fixture : gfx_fixture {
  udata *target = nullptr;

  void SetUp() override {
    gfx_fixture::SetUp();
    target = lua_bitmap("u8", 64, 48, "_target");
    set_target(target);
  }

  // A new userdata held by the Lua global `name`.
  udata *lua_bitmap(const char *type, int32_t w, int32_t h, const char *name) {
    lua_State *L = root->L;
    udata *u = create_userdata(L, type, 2, w, h, nullptr);
    lua_setglobal(L, name);
    return u;
  }
  // The draw target with its clip words covering it all.
  void set_target(udata *t) {
    root->draw_target = t;
    poke2(int32_t(RAM_CLIP_RECT), 0);
    poke2(int32_t(RAM_CLIP_RECT) + 2, 0);
    poke2(int32_t(RAM_CLIP_RECT) + 4, int32_t(t->width));
    poke2(int32_t(RAM_CLIP_RECT) + 6, int32_t(t->height));
    refresh_target_clip(root);
  }
  // Sprite n: a w x h u8 bitmap whose pixel (x, y) is f(x, y).
  template <class F>
  udata *set_sprite(int32_t n, int32_t w, int32_t h, F f) {
    udata *s = lua_bitmap("u8", w, h, ("_sprite" + std::to_string(n)).c_str());
    for (int32_t y = 0; y < h; y++)
      for (int32_t x = 0; x < w; x++) pixels(s)[y * w + x] = uint8_t(f(x, y));
    root->sprites[n] = s;
    return s;
  }
  // The built-in small font as the default font.
  void use_small_font() {
    for (uint32_t i = 0; i < GFX_FONT_BYTES; i++) poke(int32_t(RAM_BOOT_FONT + i), lil_font_dat[i]);
    poke(int32_t(RAM_FONT_DEFAULT), int32_t(RAM_BOOT_FONT >> 8));
  }
  uint8_t px(int32_t x, int32_t y) const { return pixels(target)[y * target->width + x]; }
  // Target pixels equal to v.
  int64_t count(uint8_t v) const {
    int64_t n = 0;
    for (uint64_t i = 0; i < udata_count(target); i++) n += pixels(target)[i] == v;
    return n;
  }
  // Runs code; its result as text ("error: ..." on an error).
  std::string run(const std::string &code) { return root_eval(code); }
  // Calls fn directly with the values of the Lua expression list args; the
  // cycles it charged.
  int64_t charge(lua_CFunction fn, const std::string &args) {
    lua_State *L = root->L;
    lua_settop(L, 0);
    if (luaL_loadstring(L, ("return " + args).c_str()) != LUA_OK ||
        lua_pcall(L, 0, LUA_MULTRET, 0) != LUA_OK) {
      ADD_FAILURE() << "bad arguments: " << args;
      lua_settop(L, 0);
      return -1;
    }
    int32_t before = cpu_budget.cycles;
    fn(L);
    int64_t spent = int64_t(cpu_budget.cycles) - before;
    lua_settop(L, 0);
    return spent;
  }
};
