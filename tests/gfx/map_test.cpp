// Map drawing: cells as sprites, flipped, turned and scaled tiles, layers,
// sprite 0, whole-tile clipping, and the sprite-argument rule.
#include "gfx/map.h"

#include "gfx/blit.h"
#include "tests/gfx/api_fixture.h"

namespace {

struct map_test : api_fixture {
  udata *map = nullptr;
  void SetUp() override {
    api_fixture::SetUp();
    map = lua_bitmap("i16", 4, 3, "_m");
    poke(int32_t(RAM_MAP_TILE_WIDTH), 8);
    poke(int32_t(RAM_MAP_TILE_HEIGHT), 8);
    // Sprite 3: pixel (x, y) = 1 + x + 8y, all distinct.
    set_sprite(3, 8, 8, [](int x, int y) { return 1 + x + 8 * y; });
  }
  void cell(int x, int y, int v) { udata_set_int(map, uint64_t(y * 4 + x), int16_t(v)); }
  // The tile at (tx, ty) of the target, pixel (x, y).
  uint8_t tile(int tx, int ty, int x, int y) { return px(tx * 8 + x, ty * 8 + y); }
};

TEST_F(map_test, cells_draw_their_sprites_flipped_and_turned) {
  struct {
    int cell;
    int x, y;    // a pixel of the tile
    int sx, sy;  // the sprite pixel it shows
  } cases[] = {
      {0x0003, 1, 2, 1, 2}, {0x4003, 1, 2, 6, 2}, {0x8003, 1, 2, 1, 5}, {0xC003, 0, 1, 7, 6},
      {0x2003, 1, 2, 2, 1}, {0x6003, 1, 2, 2, 6}, {0xA003, 1, 2, 5, 1},
  };
  for (auto &c : cases) {
    run("cls()");
    cell(0, 0, c.cell);
    run("_draw_map(_m, 0, 0, 0, 0, 1, 1)");
    EXPECT_EQ(tile(0, 0, c.x, c.y), (1 + c.sx + 8 * c.sy) % 64) << std::hex << c.cell;
  }
}

TEST_F(map_test, sprite_zero_layers_and_missing_sprites) {
  set_sprite(0, 8, 8, [](int, int) { return 9; });
  cell(0, 0, 0);
  cell(1, 0, 3);
  cell(2, 0, 5);  // no such sprite
  run("_draw_map(_m)");
  EXPECT_EQ(tile(0, 0, 0, 0), 0);
  EXPECT_EQ(tile(1, 0, 0, 0), 1);
  poke(int32_t(RAM_SYSTEM_FLAGS), SYSFLAG_MAP_SPRITE_0);
  run("_draw_map(_m)");
  EXPECT_EQ(tile(0, 0, 0, 0), 9);
  // Layer 2: only sprites whose flags have bit 1.
  run("cls() fset(3, 1, true) _draw_map(_m, 0, 0, 0, 0, 4, 3, 2)");
  EXPECT_EQ(tile(1, 0, 0, 0), 1);
  EXPECT_EQ(tile(0, 0, 0, 0), 0);
  run("cls() fset(3, 0x04) _draw_map(_m, 0, 0, 0, 0, 4, 3, 2)");
  EXPECT_EQ(tile(1, 0, 0, 0), 0);
}

TEST_F(map_test, tiles_of_other_sizes_scale_the_sprite) {
  set_sprite(4, 16, 16, [](int x, int y) { return 1 + x / 2 + 8 * (y / 2); });
  cell(0, 0, 4);
  run("_draw_map(_m, 0, 0, 0, 0, 1, 1)");  // 16 x 16 into 8 x 8: halved
  for (int y = 0; y < 8; y++)
    for (int x = 0; x < 8; x++)
      ASSERT_EQ(tile(0, 0, x, y), (1 + x + 8 * y) % 64) << x << "," << y;  // 64 is transparent
  // Tile registers of 0 mean 256: the 8 x 8 sprite grows to 256 x 256.
  udata *big = lua_bitmap("u8", 260, 260, "_big");
  set_target(big);
  poke(int32_t(RAM_MAP_TILE_WIDTH), 0);
  poke(int32_t(RAM_MAP_TILE_HEIGHT), 0);
  cell(0, 0, 3);
  run("_draw_map(_m, 0, 0, 0, 0, 1, 1)");
  EXPECT_EQ(pixels(big)[255], 8);
  EXPECT_EQ(pixels(big)[255 * 260], 57);
  EXPECT_EQ(pixels(big)[0], 1);
  EXPECT_EQ(pixels(big)[256], 0);
}

TEST_F(map_test, whole_tiles_outside_the_clip_are_skipped_and_charged_nothing) {
  for (int y = 0; y < 3; y++)
    for (int x = 0; x < 4; x++) cell(x, y, 3);
  run("clip(20, 0, 100, 100)");
  // Columns 0 and 1 lie left of the clip; column 2 is drawn clipped.
  int64_t spent = charge(lua54_draw_map, "_m");
  int64_t drawn = 0;  // the same tiles drawn directly
  for (int32_t y = 0; y < 24; y += 8)
    for (int32_t x : {16, 24})
      drawn += draw_spr(root->sprites[3], target, 0, 0, x, y, 8, 8, false, false);
  EXPECT_EQ(spent, 2 * 2 * 3 + drawn / 3);
  EXPECT_EQ(tile(2, 0, 3, 0), 0);
  EXPECT_EQ(tile(2, 0, 4, 0), 5);
  EXPECT_EQ(tile(1, 0, 7, 7), 0);
}

TEST_F(map_test, windows_outside_the_map_and_bad_arguments) {
  for (int y = 0; y < 3; y++)
    for (int x = 0; x < 4; x++) cell(x, y, 3);
  // A window starting left of the map: the map's column 0 stays at x = 8.
  run("_draw_map(_m, -1, 0, 0, 0, 2, 1)");
  EXPECT_EQ(tile(0, 0, 0, 0), 0);
  EXPECT_EQ(tile(1, 0, 0, 0), 1);
  EXPECT_EQ(tile(2, 0, 0, 0), 0);
  run("cls()");
  for (const char *call :
       {"_draw_map(_target)", "_draw_map(_m, 4, 0)", "_draw_map(_m, 0, 0, 0, 0, 4, 3, 0, 0, 8)",
        "_draw_map(_m, 0, 0, 0, 0, 4, 3, 0, -8, 8)", "_draw_map(_m, 9e18, 0)"})
    run(call);
  EXPECT_EQ(count(0), 64 * 48);
}

TEST_F(map_test, sprite_arguments) {
  lua_State *L = root->L;
  lua_settop(L, 0);
  for (lua_Integer n : {lua_Integer(16384), lua_Integer(-1), lua_Integer(7)}) {
    lua_pushinteger(L, n);
    EXPECT_EQ(get_sprite_p(L, -1), nullptr) << n;
    lua_pop(L, 1);
  }
  lua_pushstring(L, "3");
  EXPECT_EQ(get_sprite_p(L, -1), root->sprites[3]);
  lua_getglobal(L, "_m");
  EXPECT_EQ(get_sprite_p(L, -1), map);
  lua_settop(L, 0);
}

}  // namespace
