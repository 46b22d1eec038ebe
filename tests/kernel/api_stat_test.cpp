// stat, time and date seen from Lua; date against Debian's lua5.4 os.date
// under several time zones and string times against Python's calendar.
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>

#include "base/pbuffer.h"
#include "machine/memory.h"
#include "sorn/mixer.h"
#include "kernel/api.h"
#include "tests/kernel/kernel_fixture.h"

namespace {

using api_stat_test = kernel_fixture;

TEST_F(api_stat_test, FixedAnswersByNumber) {
  struct {
    const char *call, *want;
  } cases[] = {
      {"math.type(stat(5)) .. ' ' .. select(2, stat(5))", "integer 0.2.1e"},
      {"select('#', stat(5)) .. ' ' .. stat(5)", "2 24"},
      {"stat(306)", "251114-054042"},
      {"tostring(stat(101))", "nil"},
      {"'[' .. stat(150) .. stat(153) .. ']'", "[]"},
      {"stat(1000) .. ' ' .. stat(-5) .. ' ' .. stat(2) .. ' ' .. stat(311)", "0.0 0.0 0.0 0.0"},
      {"stat(314)", "3.1415926535898"},
      {"stat(315) .. ' ' .. stat(317)", "1.0 1.0"},
      {"stat(7)", "60.0"},  // never flipped
      {"stat(400, 0) .. ' ' .. stat(416) .. ' ' .. stat(497)", "-1.0 -1.0 -1.0"},
      {"math.type(stat(498)) .. ' ' .. stat(498) .. ' ' .. stat(499)", "integer 0 -2.0"},
      {"tostring(stat(305))", "false"},
      {"tostring(stat(302, 4)) .. ' ' .. stat(988)", "nil 0.0"},  // the host reports no key
      {"stat(312, 0x5000) .. ' ' .. stat(312, 0x200000) .. ' ' .. stat(312, -1) .. ' ' .. "
       "stat(312, 0x1000000)",
       "4096.0 0.0 0.0 0.0"},
      {"stat(307)", "0.0"},
  };
  for (auto &c : cases) EXPECT_EQ(root_eval(std::string("return ") + c.call), c.want) << c.call;
}

TEST_F(api_stat_test, StateFiguresFollowTheWorkstation) {
  root->fps = 30;
  app.battery_saver_active = 1;
  EXPECT_EQ(root_eval("return stat(7)"), "15.0");
  app.battery_saver_active = 0;
  app.frame_count = 77;
  app.gif_recording = 1;
  app.gif_frame_count = 9;
  app.audio_capture_on = 1;
  app.exported_cartridge = 1;
  EXPECT_EQ(root_eval("return stat(303) .. stat(320) .. stat(321) .. stat(322) .. stat(317)"),
            "77.01.04.01.03.0");
  pbuffer *b = create_buffer_2(1000, 'z');
  EXPECT_EQ(root_eval("return math.tointeger(stat(308))"), std::to_string(get_total_num_buffers()));
  EXPECT_EQ(root_eval("return math.tointeger(stat(309))"),
            std::to_string(get_total_buffer_allocation()));
  destroy_buffer(b);
  // Memory: heap, page bytes and the allowance after a full collection.
  EXPECT_EQ(root_eval("return math.type(stat(0))"), "float");
  int64_t counted = std::stoll(root_eval("return math.tointeger(stat(0))"));
  // The heap moves a little between the query and this reading.
  EXPECT_NEAR(double(counted),
              double(root->heap_bytes + root->mem.page_bytes - root->baseline + 0x80000), 4096);
  EXPECT_GT(std::stoll(root_eval("return math.tointeger(stat(3))")), 1000);
  // A page made present shows in stat 313 and 312.
  poke_proc(root, 0x300000, 1);
  EXPECT_EQ(root_eval("return math.tointeger(stat(313)) .. ' ' .. stat(312, 0x300123)"),
            std::to_string(root->mem.page_bytes) + " 4096.0");
  // The key test needs bit 4 of the flags byte and a key down (none here).
  poke_proc(root, RAM_PROCESS_FLAGS, PFLAG_ANY_KEY_STAT);
  EXPECT_EQ(root_eval("return tostring(stat(305))"), "false");
}

// The audio owner's queries of an idle synthesiser: channel field 0 is 0 and
// the fields of an idle channel -1, a negative field -1; a channel's share of
// the last mix is copied (silence) and counted; no music plays (pattern -1).
// Numbers without a query stay -1 for the owner too.
TEST_F(api_stat_test, AudioOwnerQueriesOfAnIdleSynthesiser) {
  app.audio_owner = root->id;
  poke_proc(root, 0x30000, 0x55);
  struct {
    const char *call;
    std::string want;
  } cases[] = {
      {"stat(400, 0) .. ' ' .. stat(415, 18) .. ' ' .. stat(407, -1)", "0.0 -1.0 -1.0"},
      {"stat(403, 19, 0x30000) .. ' ' .. stat(403, 27, 0x30000) .. ' ' .. peek(0x30000)",
       std::to_string(SORN_SAMPLES_PER_TICK) + ".0 " + std::to_string(SORN_SAMPLES_PER_TICK) +
           ".0 0"},
      {"math.type(stat(464)) .. ' ' .. stat(464) .. ' ' .. stat(465, 0, 0x30000)", "integer 0 0.0"},
      {"math.type(stat(466)) .. ' ' .. stat(466) .. ' ' .. stat(467)", "integer -1 0"},
      {"stat(416) .. ' ' .. stat(463) .. ' ' .. stat(468) .. ' ' .. stat(497)",
       "-1.0 -1.0 -1.0 -1.0"},
      {"stat(499)", std::to_string(root->id) + ".0"},
  };
  for (auto &c : cases) EXPECT_EQ(root_eval(std::string("return ") + c.call), c.want) << c.call;
  app.audio_owner = -2;
}

TEST_F(api_stat_test, UniqueNumbersAreOneCounterForTheWorkstation) {
  int64_t first = global_unique_id;
  int64_t other = spawn("");
  ASSERT_NE(other, 0);
  EXPECT_EQ(root_eval("return stat(333)"), std::to_string(first) + ".0");
  proc *p = get_process(other);
  set_current_process(p);
  lua_getglobal(p->L, "stat");
  lua_pushinteger(p->L, 333);
  ASSERT_EQ(lua_pcall(p->L, 1, 1, 0), LUA_OK);
  EXPECT_EQ(lua_tointeger(p->L, -1), first + 1);
  lua_pop(p->L, 1);
  set_current_process(root);
  EXPECT_EQ(root_eval("return stat(333)"), std::to_string(first + 2) + ".0");
}

TEST_F(api_stat_test, TimeIsTheProcessClockInSeconds) {
  EXPECT_EQ(root_eval("return time() .. ' ' .. t()"), "0.0 0.0");
  root->clock = 90;
  EXPECT_EQ(root_eval("return time() .. ' ' .. tostring(t == time)"), "1.5 true");
}

TEST_F(api_stat_test, DateCasesAndErrors) {
  struct {
    const char *call, *want;
  } cases[] = {
      {"#date()", "19"},
      {"date(nil, '2024-02-29 12:34:56')", "2024-02-29 12:34:56"},
      {"date(nil, '2024-12-31 23:59:59', 1)", "2025-01-01 00:00:00"},
      {"date('!%Y', 0)", "1970"},
      {"date('%%%Ey|%OS', 86399)", "%70|59"},
      {"date('*t', '2024-02-29 12:34:56').year", "2024"},
      {"(function(t) return t.month .. t.day .. t.hour .. t.min .. t.sec .. t.yday .. t.wday "
       ".. tostring(t.isdst) end)(date('!*t', '2024-02-29 12:34:56'))",
       "229123456605false"},
      // A short date text counts its missing characters as "0".
      {"date(nil, '2024-03')", "2024-02-29 00:00:00"},
      {"select(2, pcall(date, '%Q'))",
       "bad argument #1 to 'date' (invalid conversion specifier '%Q')"},
      {"select(2, pcall(date, 'ab%'))",
       "bad argument #1 to 'date' (invalid conversion specifier '%')"},
      {"select(2, pcall(date, '%Ez'))",
       "bad argument #1 to 'date' (invalid conversion specifier '%Ez')"},
      {"select(2, pcall(date, nil, 1.5))",
       "bad argument #2 to 'date' (number has no integer representation)"},
      {"select(2, pcall(date, nil, {}))", "bad argument #2 to 'date' (number expected, got table)"},
      {"select(2, pcall(date, nil, 0, 'x'))",
       "bad argument #3 to 'date' (number expected, got string)"},
      {"select(2, pcall(date, nil, -1))", "time result cannot be represented in this installation"},
      // An offset that overflows the time is refused, not wrapped.
      {"select(2, pcall(date, nil, math.maxinteger, 1))",
       "time result cannot be represented in this installation"},
      {"select(2, pcall(date, nil, -10, math.mininteger))",
       "time result cannot be represented in this installation"},
      {"select(2, pcall(date, nil, math.maxinteger))",
       "date result cannot be represented in this installation"},
  };
  for (auto &c : cases) {
    std::string got = root_eval(std::string("return ") + c.call);
    // Errors raised with a position carry a "chunk:line:" prefix.
    size_t at = got.find(c.want);
    EXPECT_TRUE(at != std::string::npos && at + std::strlen(c.want) == got.size())
        << c.call << " gave " << got;
  }
}

// Every accepted conversion, with and without "!", at several times, in
// several time zones: the same text as stock os.date.
TEST_F(api_stat_test, DateMatchesStockLuaInEveryTimeZone) {
  if (access("/usr/bin/lua5.4", X_OK) != 0) GTEST_SKIP() << "no lua5.4";
  const char *script = R"(
local specs = {}
for c in ("aAbBcCdDeFgGhHIjmMnprRStTuUVwWxXyYzZ%"):gmatch(".") do specs[#specs + 1] = c end
for _, c in ipairs({"Ec", "EC", "Ex", "EX", "Ey", "EY", "Od", "Oe", "OH", "OI", "Om", "OM",
                    "OS", "Ou", "OU", "OV", "Ow", "OW", "Oy"}) do specs[#specs + 1] = c end
local out = {}
for _, t in ipairs({0, 951782400, 1709210096, 1719792000, 1735689599, 4102444800, -86400 * 400}) do
  for _, c in ipairs(specs) do
    out[#out + 1] = D("<%" .. c .. ">", t) .. D("!<%" .. c .. ">", t)
  end
  local z = D("*t", t)
  out[#out + 1] = z.year .. z.month .. z.day .. z.hour .. z.min .. z.sec .. z.yday .. z.wday
                  .. tostring(z.isdst)
end
return table.concat(out, "\n")
)";
  std::string path = testing::TempDir() + "kvd_date_ref_" + std::to_string(getpid()) + ".lua";
  std::ofstream(path) << "D = os.date\nio.write((function() " << script << " end)())";
  const char *saved = getenv("TZ");
  std::string saved_tz = saved ? saved : "";
  for (const char *tz :
       {"UTC", "America/New_York", "Asia/Kolkata", "Australia/Lord_Howe", "Europe/Berlin"}) {
    setenv("TZ", tz, 1);
    tzset();
    std::string want = command_output(std::string("/usr/bin/lua5.4 ") + path);
    ASSERT_GT(want.size(), 1000u) << tz;
    std::string got = root_eval(std::string("D = date ") + script);
    EXPECT_EQ(got, want) << tz;
    EXPECT_EQ(root_eval("return stat(87)"), std::to_string(timezone) + ".0") << tz;
  }
  if (saved)
    setenv("TZ", saved_tz.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

// Date texts read by position, plus offsets, against Python's calendar.timegm.
TEST_F(api_stat_test, DateTextsMatchPythonTimegm) {
  const char *py = getenv("KVD_PYTHON");
  if (!py) GTEST_SKIP() << "run through ctest";
  const char *texts[] = {"1970-01-01 00:00:00", "2024-02-29 12:34:56", "1999-12-31 23:59:59",
                         "2024-02-31 25:61:61", "2100-03-01 00:00:00", "1900-06-15 08:00:00",
                         "2038-01-19 03:14:08", "1601-01-01 00:00:00"};
  // (-1 itself is refused: the one time that cannot be told from a failure.)
  const long long offsets[] = {0, 1, -2, 86400 * 366, -3600 * 25, 2147483648LL};
  std::string prog = "import calendar, datetime\n";
  std::string ours;
  for (const char *text : texts)
    for (long long off : offsets) {
      std::string s(text);
      std::string fields;
      for (size_t at : {0, 5, 8, 11, 14, 17})
        fields += std::to_string(std::stoi(s.substr(at, at == 0 ? 4 : 2))) + ", ";
      prog += "t = calendar.timegm((" + fields + ")) + " + std::to_string(off) + "\n";
      prog += "d = datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=t)\n";
      prog +=
          "print('%04d-%02d-%02d %02d:%02d:%02d' % (d.year, d.month, d.day, d.hour, "
          "d.minute, d.second))\n";
      ours +=
          root_eval(std::string("return date(nil, '") + text + "', " + std::to_string(off) + ")") +
          "\n";
    }
  std::string path = testing::TempDir() + "kvd_date_ref_" + std::to_string(getpid()) + ".py";
  std::ofstream(path) << prog;
  EXPECT_EQ(ours, command_output(std::string(py) + " " + path));
}

}  // namespace
