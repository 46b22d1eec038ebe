// Random nested values through every combination of pod flags, and every
// flags-0 text without userdata checked against Debian's stock lua5.4.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "userdata/udata.h"
#include "tests/pod/pod_test_util.h"

namespace {

std::string source_dir() {
  const char *d = std::getenv("KVD_SOURCE_DIR");
  return d ? d : ".";
}

// ud_bytes(u): type, dims, sizes and the element bytes in hex.
int ud_bytes(lua_State *L) {
  udata *ud = to_udata(L, 1);
  if (!ud) return luaL_error(L, "not a udata");
  std::string s = std::to_string(ud->utype) + ":" + std::to_string(ud->dims) + ":" +
                  std::to_string(ud->width) + "x" + std::to_string(ud->height) + ":";
  for (uint64_t i = 0; i < udata_bytes(ud); i++) {
    char h[3];
    std::snprintf(h, sizeof h, "%02x", udata_elements(ud)[i]);
    s += h;
  }
  lua_pushlstring(L, s.data(), s.size());
  return 1;
}

struct PodRoundTrip : PodLua {
  void SetUp() override {
    PodLua::SetUp();
    lua_register(L, "ud_bytes", ud_bytes);
    std::string script = source_dir() + "/tests/pod/pod_values.lua";
    ASSERT_EQ(luaL_dofile(L, script.c_str()), LUA_OK) << lua_tostring(L, -1);
  }
};

TEST_F(PodRoundTrip, EveryFlagCombination) {
  // All 32 combinations of the flag bits 1, 2, 4, 16 and 32.
  std::string failures = run(R"(
    math.randomseed(20240601)
    local bits, bad = {1, 2, 4, 16, 32}, {}
    for i = 1, 400 do
      local v = random_value(4, false)
      local want = canon(v)
      for combo = 0, 31 do
        local flags = 0
        for b = 1, 5 do if combo & (1 << (b - 1)) ~= 0 then flags = flags | bits[b] end end
        local text = pod(v, flags)
        local back = unpod(text)
        if canon(back) ~= want and #bad < 3 then
          bad[#bad + 1] = "value " .. i .. " flags " .. flags .. ": " .. pod(v) .. "\n" .. want .. "\n" .. canon(back)
        end
      end
    end
    return table.concat(bad, "\n")
  )");
  EXPECT_EQ(failures, "");
}

TEST_F(PodRoundTrip, StockLuaLoadsEveryFlags0Text) {
  // The generated cases go into the build tree, never the working folder
  // (which may be the source tree when the program is run by hand).
  const char *bin = std::getenv("KVD_BINARY_DIR");
  std::string path = std::string(bin ? bin : KVD_BUILD_TREE) + "/pod_stock_cases.lua";
  std::string cases = run(R"(
    math.randomseed(77)
    local out = {}
    for i = 1, 500 do
      local v = random_value(5, true)
      out[#out + 1] = "{[==[" .. pod(v) .. "]==],[==[" .. canon(v) .. "]==]},"
    end
    return table.concat(out, "\n")
  )");
  ASSERT_FALSE(cases.empty());
  {
    std::ofstream f(path);
    f << "dofile(" << '"' << source_dir() << "/tests/pod/pod_values.lua" << '"' << ")\n"
      << "local cases = {\n"
      << cases << "\n}\n"
      << "local bad = 0\n"
      << "for i, c in ipairs(cases) do\n"
      << "  local f, err = load('return ' .. c[1], 'case', 't')\n"
      << "  if not f then print('load', i, err) bad = bad + 1\n"
      << "  elseif canon(f()) ~= c[2] then print('differs', i, c[1]) bad = bad + 1 end\n"
      << "end\n"
      << "print('checked ' .. #cases .. ' bad ' .. bad)\n";
  }
  FILE *p = popen(("/usr/bin/lua5.4 " + path + " 2>&1").c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  EXPECT_EQ(pclose(p), 0);
  EXPECT_EQ(out, "checked 500 bad 0\n");
}

}  // namespace
