// Mapping typed arrays into process memory, and the keep-alive of every
// record the kernel points at: under the sanitizers, a collection after the
// last Lua reference is dropped must leave no dangling pointer.
#include "machine/memory.h"
#include "userdata/udata.h"
#include "kernel/keep_alive.h"
#include "kernel/process_life.h"
#include "tests/kernel/kernel_fixture.h"

namespace {

using api_map_ram_test = kernel_fixture;

TEST_F(api_map_ram_test, MappedArraysAreSeenAndWrittenThroughMemory) {
  EXPECT_EQ(root_eval(R"(
    local b = userdata('u8', 128, 128) b[0] = 7
    local n = _map_ram(b, 0x10000)
    poke(0x10000 + 16383, 9)
    return n .. ' ' .. peek(0x10000) .. ' ' .. b[16383])"),
            "16384 7 9");
  struct {
    const char *call, *want;
  } cases[] = {
      // Below 0x10000 only whole pages are mapped; above, a partial tail too.
      {"_map_ram(userdata('u8', 6000), 0x8000) .. ' ' .. stat(312, 0x8000) .. ' ' .. "
       "stat(312, 0x9000)",
       "6000 4096.0 4096.0"},
      {"_map_ram(userdata('u8', 6000), 0x20000) .. ' ' .. stat(312, 0x20000) .. ' ' .. "
       "stat(312, 0x21000) .. ' ' .. stat(312, 0x22000)",
       "6000 4096.0 1904.0 0.0"},
      {"select('#', _map_ram(userdata('f64', 600), 0x30000))", "0"},
      {"select('#', _map_ram(5, 0x30000))", "0"},
      {"_map_ram(userdata('u8', 600), 0x30000, 0, -5) .. ' ' .. stat(312, 0x30000)", "-5 0.0"},
      {"select('#', _map_ram(userdata('u8', 600), 0x30000, 600))", "0"},
      {"select('#', _map_ram(userdata('u8', 600), 0x30000, -4))", "0"},
      // A length beyond the array maps only the bytes it has, yet is returned.
      {"_map_ram(userdata('u8', 600), 0x40000, 0, 99999) .. ' ' .. stat(312, 0x40000) .. ' ' .. "
       "stat(312, 0x41000)",
       "99999 600.0 0.0"},
      // The largest length still maps every byte the array has.
      {"_map_ram(userdata('u8', 8192), 0x80000, 0, math.maxinteger) .. ' ' .. "
       "stat(312, 0x81000)",
       "9223372036854775807 4096.0"},
      // Addresses above 16 MiB wrap.
      {"_map_ram(userdata('u8', 4096), 0x1050000) .. ' ' .. stat(312, 0x50000)", "4096 4096.0"},
  };
  for (auto &c : cases) EXPECT_EQ(root_eval(std::string("return ") + c.call), c.want) << c.call;
  EXPECT_EQ(root_eval(R"(
    local v = userdata('u8', 16) for i = 0, 15 do v[i] = i end
    _map_ram(v, 0x60000, 3)   -- offset 3 counts as 0
    local w = userdata('u8', 16) for i = 0, 15 do w[i] = i end
    _map_ram(w, 0x70000, 5)   -- offset 5 counts as 4
    return peek(0x60000) .. ' ' .. peek(0x70000) .. ' ' .. stat(312, 0x70000))"),
            "0 4 12.0");
}

TEST_F(api_map_ram_test, MapsBecomeTheCurrentMapOnlyAtTheMapAddress) {
  root_eval("m = userdata('i16', 32, 32) _map_ram(m, 0x100000)");
  udata *m = root->current_map;
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->utype, UTYPE_I16);
  root_eval("_map_ram(userdata('u8', 64, 64), 0x100000)");
  EXPECT_EQ(root->current_map, nullptr);
  root_eval("_map_ram(m, 0x100000) _map_ram(userdata('f64', 8), 0x100000)");
  EXPECT_EQ(root->current_map, nullptr);  // cleared before the f64 record is refused
}

TEST_F(api_map_ram_test, UnmappingGivesBackTheOwnPagesWhole) {
  // Own pages with content at 0x20000 .. 0x23FFF, then an array over them.
  for (int k = 0; k < 4; k++) poke_proc(root, 0x20000 + k * 0x1000 + 5, 40 + k);
  EXPECT_EQ(root_eval(R"(
    a = userdata('u8', 16384)
    local n = _map_ram(a, 0x20000)
    poke(0x21005, 1)
    local r1 = _unmap_ram(a, 0x21000, 4096)
    local r2 = _unmap_ram(a)
    return n .. ' ' .. tostring(r1) .. ' ' .. tostring(r2) .. ' ' .. a[0x1005])"),
            "16384 false true 1");
  for (int k = 0; k < 4; k++) {
    EXPECT_EQ(peek_proc(root, 0x20000 + k * 0x1000 + 5), 40 + k);
    EXPECT_EQ(root->mem.mapped_length[0x20 + k], 4096);
  }
  // A partial tail over an own page: the whole page comes back.
  EXPECT_EQ(root_eval("local b = userdata('u8', 6000) _map_ram(b, 0x20000) "
                      "local mid = stat(312, 0x21000) _unmap_ram(b) "
                      "return mid .. ' ' .. stat(312, 0x21000) .. ' ' .. peek(0x21005)"),
            "1904.0 4096.0 41");
  // Pages that had no own page are absent again, and created on access.
  EXPECT_EQ(root_eval("local b = userdata('u8', 4096) _map_ram(b, 0x500000) _unmap_ram(b) "
                      "local before = stat(312, 0x500000) "
                      "return before .. ' ' .. peek(0x500000) .. ' ' .. stat(312, 0x500000)"),
            "0.0 0 4096.0");
  EXPECT_EQ(root->mem.mapped_page_bits[0x500 / 64], 0u);
}

TEST_F(api_map_ram_test, UnmapNeverReportsSuccessWhilePagesStayMapped) {
  struct {
    const char *call, *want;
  } cases[] = {
      // A short length: the later pages of the record still count as its own.
      {"_unmap_ram(a, 0x20000, 10)", "false 0.0 4096.0"},
      // The address is taken modulo 16 MiB, as _map_ram takes it.
      {"_unmap_ram(a, 0x1020000, 16384)", "true 0.0 0.0"},
      {"_unmap_ram(a, 0x20000, 0)", "false 4096.0 4096.0"},
      // The most negative length is an empty range, not one that wraps.
      {"_unmap_ram(a, 0, math.mininteger)", "false 4096.0 4096.0"},
      {"_unmap_ram(a, 0x20000, math.mininteger)", "false 4096.0 4096.0"},
      {"_unmap_ram(a, 0x30000)", "false 4096.0 4096.0"},
      {"_unmap_ram(a, -5)", "true 0.0 0.0"},
      // A record reshaped smaller after mapping still owns every page it
      // was mapped to: they are given back, or reported as left.
      {"(function() a:mutate('u8', 1) return _unmap_ram(a) end)()", "true 0.0 0.0"},
      {"(function() a:mutate('u8', 1) return _unmap_ram(a, 0x20000, 4096) end)()",
       "false 0.0 4096.0"},
  };
  for (auto &c : cases) {
    EXPECT_EQ(
        root_eval(std::string("a = userdata('u8', 16384) _map_ram(a, 0x20000) "
                              "local r = tostring(") +
                  c.call + ") return r .. ' ' .. stat(312, 0x20000) .. ' ' .. stat(312, 0x23000)"),
        c.want)
        << c.call;
    root_eval("_unmap_ram(a)");
  }
  EXPECT_EQ(root_eval("return select('#', _unmap_ram('x'))"), "0");
  // Another array's pages are not touched.
  EXPECT_EQ(root_eval("local a, b = userdata('u8', 4096), userdata('u8', 4096) "
                      "_map_ram(a, 0x20000) _map_ram(b, 0x21000) "
                      "return tostring(_unmap_ram(b)) .. ' ' .. stat(312, 0x20000)"),
            "true 4096.0");
}

// Every record the kernel points at survives the loss of its last Lua
// reference; reading through the pointers after a full collection is clean
// under the address sanitizer.
TEST_F(api_map_ram_test, RecordsTheKernelPointsAtOutliveTheirLuaReferences) {
  root_eval(R"(
    local a = userdata('u8', 8192) a[0] = 11 a[8191] = 12
    _map_ram(a, 0x80000)
    local m = userdata('i16', 16, 16) m[3] = 77
    _map_ram(m, 0x100000)
    local d = userdata('u8', 40, 30) d[1] = 5
    _set_draw_target(d)
    local s = userdata('u8', 8, 8) s[2] = 6
    _set_spr(8197, s)
    for i = 1, 3 do collectgarbage() end)");
  for (int i = 0; i < 3; i++) lua_gc(root->L, LUA_GCCOLLECT);
  EXPECT_EQ(peek_proc(root, 0x80000), 11);
  EXPECT_EQ(peek_proc(root, 0x81FFF), 12);
  ASSERT_NE(root->current_map, nullptr);
  EXPECT_EQ(udata_get_int(root->current_map, 3), 77);
  ASSERT_NE(root->draw_target, nullptr);
  EXPECT_EQ(root->draw_target->width, 40u);
  EXPECT_EQ(udata_get_int(root->draw_target, 1), 5);
  EXPECT_EQ(udata_get_int(root->sprites[5], 2), 6);
  EXPECT_EQ(root_eval("return peek(0x80000) .. ' ' .. peek(0x81FFF)"), "11 12");
  // Released: unmapping and replacing let the collector take them.
  root_eval("_unmap_ram(userdata('u8', 1))");  // another record: nothing changes
  EXPECT_EQ(peek_proc(root, 0x80000), 11);
  root_eval("_set_spr(5)");
  EXPECT_EQ(root->sprites[5], get_null_sprite());
  keep_alive_push(root->L, KEEP_SPRITES + 5);
  EXPECT_TRUE(lua_isnil(root->L, -1));
  keep_alive_push(root->L, KEEP_DRAW_TARGET);
  EXPECT_EQ(to_udata(root->L, -1), root->draw_target);
  keep_alive_push(root->L, KEEP_PAGES + 0x80);
  EXPECT_NE(to_udata(root->L, -1), nullptr);
  lua_pop(root->L, 3);
}

TEST_F(api_map_ram_test, AFreedProcessPointsAtNothing) {
  proc *p = get_process(spawn(""));
  ASSERT_NE(p, nullptr);
  set_current_process(p);
  lua_State *L = p->L;
  ASSERT_EQ(luaL_dostring(L,
                          "_set_draw_target(userdata('u8', 8, 8)) "
                          "_set_spr(1, userdata('u8', 8, 8)) "
                          "_map_ram(userdata('i16', 8, 8), 0x100000)"),
            LUA_OK);
  EXPECT_NE(p->draw_target, nullptr);
  set_current_process(root);
  free_process(p);
  EXPECT_EQ(p->draw_target, nullptr);
  EXPECT_EQ(p->current_map, nullptr);
  EXPECT_EQ(p->sprites[1], nullptr);
  kill_process(p);
}

}  // namespace
