// The Lua memory API: argument rules (truncating, flooring, exact), counts,
// cycle charges, block operations and reads of another process.
#include "kernel/memory_api.h"

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "base/cpu_budget.h"
#include "machine/memory.h"

namespace {

class MemoryApi : public testing::Test {
 protected:
  proc *p = new proc{};
  proc *q = new proc{};
  lua_State *L = luaL_newstate();
  void SetUp() override {
    proc_memory_init(p);
    proc_memory_init(q);
    cproc = p;
    // The other process sits in the process table under id 9.
    q->id = 9;
    procs.slot[0] = q;
    procs.count = 1;
    luaL_openlibs(L);
    for (const luaL_Reg *r = memory_api_functions; r->name; r++) lua_register(L, r->name, r->func);
  }
  void TearDown() override {
    lua_close(L);
    proc_memory_free(p);
    proc_memory_free(q);
    delete p;
    delete q;
    cproc = nullptr;
    procs.slot[0] = nullptr;
    procs.count = 0;
  }
  // Calls a memory function with the values of a Lua expression list as its
  // arguments; returns its results joined by commas and the cycles it charged
  // (the call runs no interpreted instructions of its own).
  std::string call(const char *name, const std::string &args, int32_t *charged = nullptr) {
    lua_settop(L, 0);
    lua_getglobal(L, name);
    if (luaL_loadstring(L, ("return " + args).c_str()) != LUA_OK) return "compile error";
    if (lua_pcall(L, 0, LUA_MULTRET, 0) != LUA_OK) return "error";
    cpu_budget.cycles = 0;
    if (lua_pcall(L, lua_gettop(L) - 1, LUA_MULTRET, 0) != LUA_OK) return "error";
    if (charged) *charged = cpu_budget.cycles;
    std::string out;
    for (int i = 1; i <= lua_gettop(L); i++) {
      if (i > 1) out += ",";
      out += luaL_tolstring(L, i, nullptr);
      lua_pop(L, 1);
    }
    return out;
  }
};

TEST_F(MemoryApi, PeekCountsAndCharges) {
  for (int i = 0; i < 8; i++) poke(0x5000 + i, 0x10 + i);
  struct {
    const char *name, *args, *want;
    int32_t cycles;
  } cases[] = {
      {"peek", "0x5000, 4", "16,17,18,19", 3},
      {"peek", "0x5000", "16", 1},
      {"peek", "0x5000, 0", "", 0},
      {"peek", "0x5000, -1", "", 0},
      {"peek", "0x5000, 65537", "", 0},
      {"peek", "0x5000, 2.7", "16,17", 1},
      {"peek", "0x5000, 'x'", "16", 1},             // count default 1
      {"peek", "0x5000, 0x100000002", "16,17", 1},  // low 32 bits of the count
      {"peek2", "0x5000, 3", "4368,4882,5396", 2},
      {"peek2", "0x5000", "4368", 0},
      {"peek4", "0x5000", "319951120", 0},
      {"peek8", "0x5000", "1663540288323457296", 0},
      {"peek8", "0x5000, 2", "1663540288323457296,0", 1},
  };
  for (auto &c : cases) {
    int32_t cycles = -1;
    EXPECT_EQ(call(c.name, c.args, &cycles), c.want) << c.name << "(" << c.args << ")";
    EXPECT_EQ(cycles, c.cycles) << c.name << "(" << c.args << ")";
  }
  int32_t cycles = -1;
  std::string all = call("peek", "0, 65536", &cycles);
  EXPECT_EQ(std::count(all.begin(), all.end(), ','), 65535);
  EXPECT_EQ(cycles, 65535);
}

TEST_F(MemoryApi, AddressRules) {
  poke(1, 11);
  poke(0, 10);
  poke(0xFFFFFF, 0xFF);
  poke(5, 55);
  poke4(0x8, 0x04030201);
  struct {
    const char *name, *args, *want;
  } cases[] = {
      {"peek", "1.9", "11"},
      {"peek", "-0.5", "10"},
      {"peek", "'1'", "11"},
      {"peek", "nil", "10"},
      {"peek", "0x80000005", "10"},  // truncation overflows to INT32_MIN: address 0
      {"peek", "0/0", "10"},
      {"peek", "{}", "10"},
      {"peek", "0xFFFFFF, 2", "255,10"},  // wraps to 0
      {"peek2", "8.9", "513"},
      {"peek2", "'8'", "513"},
      {"peek4", "8.9", "67305985"},          // floored
      {"peek4", "-0.5", "723711"},           // floors to -1 = 0xFFFFFF: FF 0A 0B 00
      {"peek4", "0x100000008", "67305985"},  // low 32 bits
      {"peek4", "0x80000005", "16777271"},   // flooring keeps the low bits: 5
  };
  for (auto &c : cases) {
    EXPECT_EQ(call(c.name, c.args), c.want) << c.name << "(" << c.args << ")";
  }
  EXPECT_EQ(call("peek4", "{}"), call("peek4", "0"));  // default address 0
  poke(0x5000, 0xFF);
  poke(0x5001, 0xFF);
  EXPECT_EQ(call("peek2", "0x5000"), "-1");
  EXPECT_EQ(call("peek", "0x5000, 2"), "255,255");
}

TEST_F(MemoryApi, PokeRules) {
  int32_t cycles = -1;
  poke(0x5000, 9);
  EXPECT_EQ(call("poke", "0x5000", &cycles), "");
  EXPECT_EQ(peek(0x5000), 9);  // no value: nothing written
  EXPECT_EQ(call("poke", "0x5000, nil"), "");
  EXPECT_EQ(peek(0x5000), 0);
  EXPECT_EQ(call("poke", "0x5000, 1, 2, 3", &cycles), "");
  EXPECT_EQ(cycles, 2);
  EXPECT_EQ(peek(0x5002), 3);
  EXPECT_EQ(call("poke", "0x5000, 300", &cycles), "");
  EXPECT_EQ(cycles, 0);
  EXPECT_EQ(peek(0x5000), 44);
  struct {
    const char *name, *args;
    int32_t addr;
    int64_t want;
    int width;
  } cases[] = {
      {"poke2", "0x6000, 1.5", 0x6000, 1, 2},
      {"poke2", "0x6000, -1.5", 0x6000, -2, 2},  // 0xFFFE
      {"poke4", "0x6000, 1.5", 0x6000, 0, 4},
      {"poke4", "0x6000, 2.0", 0x6000, 2, 4},
      {"poke4", "0x6000, '7'", 0x6000, 7, 4},
      {"poke4", "0x6000, nil", 0x6000, 0, 4},
      {"poke4", "0x6000, 0x123456789", 0x6000, 0x23456789, 4},
      {"poke8", "0x6000, -2", 0x6000, -2, 8},
      {"poke8", "0x6000, 0.5", 0x6000, 0, 8},
      {"poke2", "-1, 0x1234", -1, 0x34, 1},  // floored address -1 wraps
      {"poke", "0x6000.9, 5", 0x6000, 5, 1},
  };
  for (auto &c : cases) {
    poke8(0x6000, 0x0101010101010101ull);
    EXPECT_EQ(call(c.name, c.args), "") << c.name << "(" << c.args << ")";
    int64_t got = c.width == 1   ? peek(c.addr)
                  : c.width == 2 ? peek2(c.addr)
                  : c.width == 4 ? peek4(c.addr)
                                 : peek8(c.addr);
    EXPECT_EQ(got, c.want) << c.name << "(" << c.args << ")";
  }
  EXPECT_EQ(peek(0), 0x12);
  call("poke2", "0x7000, 1, 2, 3");  // a series steps by the width
  EXPECT_EQ(peek2(0x7004), 3);
  call("poke8", "0x7000, 1, 2");
  EXPECT_EQ(peek8(0x7008), 2);
}

TEST_F(MemoryApi, BlockOperations) {
  int32_t cycles = -1;
  for (int i = 0; i < 16; i++) poke(0x5000 + i, i + 1);
  EXPECT_EQ(call("memcpy", "0x6000, 0x5000", &cycles), "");
  EXPECT_EQ(cycles, 1);
  EXPECT_EQ(peek(0x6000), 0);
  EXPECT_EQ(call("memcpy", "0x6000, 0x5000, -1", &cycles), "");
  EXPECT_EQ(cycles, 0);
  EXPECT_EQ(call("memcpy", "0x6000, 0x5000, 16", &cycles), "");
  EXPECT_EQ(cycles, 1);
  EXPECT_EQ(peek(0x600F), 16);
  EXPECT_EQ(call("memcpy", "0x10000, 0x20000, '8192'", &cycles), "");
  EXPECT_EQ(cycles, 66);
  EXPECT_EQ(call("memset", "0x8000, 0x1FF, 4", &cycles), "");
  EXPECT_EQ(cycles, 1);
  EXPECT_EQ(peek4(0x8000), -1);
  EXPECT_EQ(call("memset", "0x8000, 1, 0/0", &cycles), "");  // NaN length: negative
  EXPECT_EQ(cycles, 0);
  EXPECT_EQ(peek(0x8000), 255);
  // A length above 16 MiB is cut to 16 MiB: the whole memory is filled once.
  EXPECT_EQ(call("memset", "0, 7, 0x7FFFFFFF", &cycles), "");
  EXPECT_EQ(cycles, 4096 * 33);
  EXPECT_EQ(peek(0xFFFFFF), 7);
  EXPECT_EQ(p->mem.page_bytes, 4096ll * 4096);
}

TEST_F(MemoryApi, ReadsOfAnotherProcess) {
  poke_proc(q, 0x100, 0x00);
  poke_proc(q, 0x101, 0x00);
  poke_proc(q, 0x102, 0x00);
  poke_proc(q, 0x103, 0x80);
  poke_proc(q, 0x104, 200);
  int32_t cycles = -1;
  EXPECT_EQ(call("_ppeek4", "9, 0x100", &cycles), "-2147483648");
  EXPECT_EQ(cycles, 0);
  EXPECT_EQ(call("_ppeek", "9, 0x104.9"), "200");
  EXPECT_EQ(call("_ppeek", "9.0, 0x104"), "200");
  EXPECT_EQ(call("_ppeek", "9.5, 0x104"), "0");  // not an exact id: id 0
  EXPECT_EQ(call("_ppeek", "4, 0x104"), "0");
  EXPECT_EQ(call("_ppeek4", "4, 0x100"), "0");
  EXPECT_EQ(call("_ppeek", "0x100000009, 0x104"), "200");  // id as 32 bits
  // Reads of pages the other process lacks yield 0 and create nothing there,
  // also for a value straddling from a present page into a missing one.
  poke_proc(q, 0xFFFE, 0x34);
  poke_proc(q, 0xFFFF, 0x12);
  int64_t before = q->mem.page_bytes;
  EXPECT_EQ(call("_ppeek", "9, 0x400000"), "0");
  EXPECT_EQ(call("_ppeek4", "9, 0xFFFE"), std::to_string(0x1234));
  EXPECT_EQ(q->mem.page_bytes, before);
  EXPECT_EQ(q->mem.own_page[0x400], nullptr);
  EXPECT_EQ(q->mem.own_page[0x10], nullptr);
  poke_proc(q, 0x400001, 7);  // written pages read back
  EXPECT_EQ(call("_ppeek4", "9, 0x400000"), std::to_string(7 << 8));
}

}  // namespace
