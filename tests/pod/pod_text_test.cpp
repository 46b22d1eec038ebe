// The pod text writer and reader on the format's own examples and edge cases.
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/cpu_budget.h"
#include "pod/pod_read.h"
#include "pod/pod_write.h"
#include "tests/pod/pod_test_util.h"

namespace {

using PodText = PodLua;

TEST_F(PodText, WriterForms) {
  struct {
    const char *expr;
    const char *text;
  } cases[] = {
      {"{1,nil,3}", "{1,nil,3}"},
      {"{x=1,[2.5]=2,['a-b']=3,10,20}", "{[\"a-b\"]=3,x=1,[2.5]=2,10,20}"},
      {"{[1.5]=7,'p','q'}", "{[1.5]=7,\"p\",\"q\"}"},
      {"{['']=1}", "{[\"\"]=1}"},
      {"{['q\"\\\\']=1}", "{[\"q\\\"\\\\\"]=1}"},
      {"'a]]\\0\\9\\200\\n'", "\"a\\093\\093\\000\\009\\200\\n\""},
      {"1.0", "1"},
      {"0.5", "0.5"},
      {"1e100", "1e+100"},
      {"-0.0", "-0"},
      {"100.0", "100"},
      {"math.mininteger", "-9223372036854775808"},
      {"math.maxinteger", "9223372036854775807"},
      {"1/3", "0.33333333333333"},
      {"math.huge", "1e999"},
      {"-math.huge", "-1e999"},
      {"0/0", "nil"},
      {"{a=0/0}", "{a=nil}"},
      {"true", "true"},
      {"false", "false"},
      {"nil", "nil"},
      {"print", "nil"},
      {"coroutine.create(print)", "nil"},
      {"{[true]=1,[print]=2,b=3}", "{b=3}"},
      {"{B=1,a=2,_=3,['\\200']=4,Z9=5}", "{B=1,Z9=5,_=3,a=2,[\"\\200\"]=4}"},
      {"{[-3]=1,[0]=2,[1e300]=3,[-1.5]=4,[math.huge]=5}",
       "{[-3]=1,[-1.5]=4,[0]=2,[1e+300]=3,[1e999]=5}"},
      {"{{}}", "{{}}"},
  };
  for (auto &c : cases) EXPECT_EQ(pod(c.expr), c.text) << c.expr;
}

// Key lists of every size the writer keeps in a different place (a few, more
// than fit in place, the most kept on the stack, more than that), alone and
// nested in a sequence: strings first, then numbers, each sorted.
TEST_F(PodText, KeysOfEverySizeAreSorted) {
  for (int n : {2, 4, 5, 16, 17, 20}) {
    std::string want = "{";
    for (int i = 1; i <= n; i++)
      want += (i > 1 ? ",k" : "k") + std::string(i < 10 ? "0" : "") + std::to_string(i) + "=" +
              std::to_string(i);
    for (int i = n; i >= 1; i--) want += ",[-" + std::to_string(i) + "]=" + std::to_string(i);
    want += ",7}";
    std::string make = "(function() local t = {7} for i = " + std::to_string(n) +
                       ", 1, -1 do t[string.format('k%02d', i)] = i t[-i] = i end return t end)()";
    EXPECT_EQ(pod(make), want) << n;
    EXPECT_EQ(pod("{" + make + ", {x = 1}, " + make + "}"), "{" + want + ",{x=1}," + want + "}")
        << n;
  }
}

TEST_F(PodText, MixedIntegerAndFloatKeysSortNumerically) {
  EXPECT_EQ(pod("{[2^53]=1,[2^53+1.0]=2,[9007199254740993]=3,[0.5]=4,[-1]=5}"),
            "{[-1]=5,[0.5]=4,[9007199254740992]=2,[9007199254740993]=3}");
}

TEST_F(PodText, UserdataTextForms) {
  EXPECT_EQ(pod("userdata('u8',4,'0a0bff00')"), "userdata(\"u8\",4,\"0a0bff00\")");
  EXPECT_EQ(pod("userdata('i16',2,2,'ffff000180000002')"),
            "userdata(\"i16\",2,2,\"ffff000180000002\")");
  EXPECT_EQ(pod("userdata('i32',1,'fffffffe')"), "userdata(\"i32\",1,\"fffffffe\")");
  EXPECT_EQ(pod("userdata('i64',1,'0000000000000001')"),
            "userdata(\"i64\",1,\"0000000000000001\")");
  EXPECT_EQ(pod("vec(1.5,-2,1/3)"), "userdata(\"f64\",3,\"1.5,-2,0.33333333333333\")");
}

TEST_F(PodText, SelfContainingAndDeepTablesEnd) {
  EXPECT_EQ(pod("(function() local t = {1} t.me = t t[2] = {t} return t end)()"),
            "{me=nil,1,{nil}}");
  // A chain deeper than the limit is cut with nil, and the text reads back.
  std::string text =
      run("local t = {} local c = t for i = 1, 300 do c[1] = {} c = c[1] end return pod(t)");
  EXPECT_NE(text.find("{nil}"), std::string::npos);
  EXPECT_EQ(read(text), 1);
  // Two references to itself at every level: ends at once.
  EXPECT_EQ(pod("(function() local t = {} t.a = t t.b = t return t end)()"), "{a=nil,b=nil}");
}

TEST_F(PodText, ManyKeysDoNotOverrunTheStack) {
  std::string text = run("local t = {} for i = 1, 200000 do t['k'..i] = i end return pod(t)");
  ASSERT_GT(text.size(), 1000000u);
  EXPECT_EQ(text.substr(0, 8), "{k1=1,k1");
  ASSERT_EQ(read(text), 1);
  lua_setglobal(L, "u");
  EXPECT_EQ(run("local n = 0 for k, v in pairs(u) do assert(v == tonumber(k:sub(2))) n = n + 1 end "
                "return n"),
            "200000");
}

TEST_F(PodText, ReaderAcceptsAndRefuses) {
  struct {
    const char *text;
    const char *check;
  } ok[] = {
      {"{ 1, 2}", "return #v == 2 and v[2] == 2"},
      {"{a,b=2}", "local n = 0 for _ in pairs(v) do n = n + 1 end return n == 1 and v.b == 2"},
      {"{1,nil,3}", "return v[1] == 1 and v[2] == nil and v[3] == 3"},
      {"\"\\t\"", "return v == '\\0t'"},
      {"\"\\65\\066\\0671\"", "return v == 'ABC1'"},
      {"\"\\999\\256\"", "return v == string.char(999 % 256, 0)"},
      {"123456789012345678901234567890123456789012345",
       "return v == 12345678901234567890123456789012345678901234"},
      {"{123456789012345678901234567890123456789012345}", "return v[2] == 5"},
      {"1e999", "return v == math.huge"},
      {"-1e999", "return v == -math.huge"},
      {"{1 2 3}", "return v[3] == 3"},
      {"{a=1,a=2}", "return v.a == 2"},
      {"{[\"x\"]=1,[2]=true,[{}]=3}", "return v.x == 1 and v[2] == true"},
      {"{[2]=1,[2]=2,[1]=5,[3]=nil}",
       "return v[2] == 2 and v[1] == 5 and next(v, next(v, next(v))) == nil"},
      {"{[1.0]=1,[2]}", "return math.type(next(v)) == 'integer' and v[2] == nil"},
      // Integer keys at the edges of the integer range and of a double's.
      {"{[9223372036854775807]=1,[-9223372036854775808]=2,[-0]=3,[0]=4}",
       "local n = 0 for _ in pairs(v) do n = n + 1 end "
       "return n == 3 and v[math.maxinteger] == 1 and v[math.mininteger] == 2 and v[0] == 4"},
      {"{[9223372036854775808]=1}",
       "local k = next(v) return math.type(k) == 'float' and k == 2^63"},
      {"{[-0.0]=1,[2e0]=2}", "return math.type(next(v)) == 'integer' and v[0] == 1 and v[2] == 2"},
      {"{[9007199254740993]=1,[9007199254740992.0]=2}",
       "return v[9007199254740993] == 1 and v[1 << 53] == 2"},
      {"{[1]=9,1,2,[2]=8}", "return v[1] == 1 and v[2] == 8 and #v == 2"},
      {"{[4]=1,[4]=nil,[5]=\"x\",[5]}", "return next(v) == nil"},
      {"{[1]={[1]={[7]=7}},[2]=unpod(\"{[3]=3}\")}", "return v[1][1][7] == 7 and v[2][3] == 3"},
      {"{nil=1,true=2,false=3,str=4,userdata=5}",
       "return v['nil'] == 1 and v['true'] == 2 and v.str == 4 and v.userdata == 5"},
      {"unpod(\"{1}\")", "return v[1] == 1"},
      {"str", "return v == 'str'"},
      {" \t\n\x80 7", "return v == 7"},
      {"7 garbage", "return v == 7"},
      {"0x10", "return v == 0"},  // a number stops at the first byte outside its set
      {"1E5", "return v == 1"},
  };
  for (auto &c : ok) {
    ASSERT_EQ(read(c.text), 1) << c.text;
    lua_setglobal(L, "v");
    EXPECT_EQ(run(c.check), "true") << c.text;
  }
  const char *bad[] = {
      "{a =1}",
      "{1 ,2}",
      "{1,2 }",
      "",
      "{",
      "{1,",
      "\"abc",
      "\"abc\\",
      "inf",
      "nan",
      "-",
      "_1",
      "{[nil]=1}",
      "{[1}",
      "{a;b}",
      "userdata(\"u8\",4",
      "userdata(\"u8\",0,\"\")",
      "userdata(\"u8\",1,2,3,\"00\")",
      "unpod(\"",
  };
  for (const char *t : bad) EXPECT_EQ(read(t), 0) << t;
}

// The writer's float text is "%.14g" of the C library, and the reader's
// numbers are what Lua's own conversion makes of the same text (type and
// bits), on edge cases and on random bit patterns.
TEST_F(PodText, NumbersMatchTheCLibraryAndLuaConversion) {
  std::mt19937_64 rng(7);
  std::vector<double> values = {0.0,
                                -0.0,
                                1e-320,
                                5e-324,
                                1.7976931348623157e308,
                                1e15,
                                1e16,
                                0.1,
                                1.0 / 3,
                                123456789012345.0,
                                2.5e-5,
                                1e-5,
                                99999999999999.5,
                                0.000123456789012345};
  int randoms = pod_test_sanitized ? 2000 : 20000;
  for (int i = 0; i < randoms; i++) {
    uint64_t bits = rng();
    double d;
    std::memcpy(&d, &bits, 8);
    if (std::isfinite(d)) values.push_back(d);
    values.push_back(double(int64_t(rng()) >> (rng() % 64)) / double(1 + rng() % 1000));
  }
  char ours[32], theirs[48];
  for (double d : values) {
    lua_pushnumber(L, d);
    pod_number_text(L, -1, ours);
    lua_pop(L, 1);
    std::snprintf(theirs, sizeof theirs, "%.14g", d);
    ASSERT_STREQ(ours, theirs);
  }
  std::vector<std::string> texts = {"0",
                                    "-0",
                                    "007",
                                    "123456789012345678",
                                    "-123456789012345678",
                                    "1234567890123456789",
                                    "9223372036854775807",
                                    "-9223372036854775808",
                                    "5.",
                                    ".5",
                                    "-.5",
                                    "1e+5",
                                    "1e5",
                                    "+5",
                                    "1e-400",
                                    "1e308",
                                    "2e308",
                                    "1.5e",
                                    "1..5",
                                    "1-2",
                                    "e5",
                                    "--1"};
  for (double d : values) {
    std::snprintf(theirs, sizeof theirs, "%.17g", d);
    texts.push_back(theirs);
    std::snprintf(theirs, sizeof theirs, "%.14g", d);
    texts.push_back(theirs);
  }
  for (const std::string &t : texts) {
    int got = read(t);  // every byte of these texts is a number byte: all or nothing
    bool lua_ok = lua_stringtonumber(L, t.c_str()) != 0;
    if (!lua_ok) {
      EXPECT_EQ(got, 0) << t;
      lua_settop(L, 0);
      continue;
    }
    ASSERT_EQ(got, 1) << t;
    ASSERT_EQ(lua_isinteger(L, -1), lua_isinteger(L, -2)) << t;
    if (lua_isinteger(L, -1)) {
      EXPECT_EQ(lua_tointeger(L, -1), lua_tointeger(L, -2)) << t;
    } else {
      double a = lua_tonumber(L, -1), b = lua_tonumber(L, -2);
      EXPECT_EQ(std::memcmp(&a, &b, 8), 0) << t;
    }
    lua_settop(L, 0);
  }
}

TEST_F(PodText, EscapeAtTheEndNeverStepsPast) {
  // Exactly the bytes given, with no terminator after them (the sanitizers
  // catch a read past the end).
  for (std::string t : {"\"\\", "\"a\\1", "\"a\\12", "\"\\n", "{a=\"\\"}) {
    std::string *heap = new std::string(t);
    lua_settop(L, 0);
    EXPECT_EQ(destringify_object(L, heap->data(), int64_t(heap->size())), 0) << t;
    delete heap;
  }
}

TEST_F(PodText, NestingIsLimited) {
  std::string deep(100000, '{');
  EXPECT_EQ(read(deep), 0);
  std::string at_limit = std::string(256, '{') + std::string(256, '}');
  EXPECT_EQ(read(at_limit), 1);
  std::string over = std::string(257, '{') + std::string(257, '}');
  EXPECT_EQ(read(over), 0);
  std::string keys;
  for (int i = 0; i < 300; i++) keys += "{[";
  EXPECT_EQ(read(keys), 0);
}

TEST_F(PodText, Metadata) {
  ASSERT_EQ(read("--[[pod_format=\"raw\"]]\nhello"), 2);
  EXPECT_STREQ(lua_tostring(L, 1), "hello");
  lua_getfield(L, 2, "pod_format");
  EXPECT_STREQ(lua_tostring(L, -1), "raw");

  ASSERT_EQ(read("--[[pod,created=\"2024\",n=3]]{1}"), 2);
  lua_getfield(L, 2, "n");
  EXPECT_EQ(lua_tointeger(L, -1), 3);

  ASSERT_EQ(read("--[[pod]]\n5"), 2);
  EXPECT_EQ(lua_tointeger(L, 1), 5);

  testing::internal::CaptureStdout();
  EXPECT_EQ(read("--[[pod x=1 y]]\n5"), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "bad metadata format; ignoring pod x=1 y]]\n5\n");
  EXPECT_EQ(lua_tointeger(L, 1), 5);

  EXPECT_EQ(read("--[[pod]]\n"), 0);  // the payload fails, so the whole read
  EXPECT_EQ(read("--[[pod]]{a="), 0);

  EXPECT_EQ(find_metadata_length("--[[pod]]\nx", 11), 10);
  EXPECT_EQ(find_metadata_length("--[[pod]]x", 10), 9);
  EXPECT_EQ(find_metadata_length("--[[pod x", 9), 9);
  EXPECT_EQ(find_metadata_length("--[[pod x\0yy", 12), 9);
  EXPECT_EQ(find_metadata_length("--[[po", 6), 0);
  EXPECT_EQ(find_metadata_length("{}", 2), 0);
}

TEST_F(PodText, MessageLengthMayIncludeTheTerminator) {
  std::string msg = pod("{event=\"keydown\",scancode=4}");
  ASSERT_EQ(destringify_object(L, msg.c_str(), int64_t(msg.size() + 1)), 1);
  lua_getfield(L, -1, "scancode");
  EXPECT_EQ(lua_tointeger(L, -1), 4);
  lua_settop(L, 0);
  ASSERT_EQ(destringify_object(L, "str", 4), 1);
  EXPECT_STREQ(lua_tostring(L, -1), "str");
}

TEST_F(PodText, LuaFunctions) {
  EXPECT_EQ(run("return pod({1}, 0, 'pre:')"), "pre:{1}");
  EXPECT_EQ(run("return pod({1}, 0, 12)"), "12{1}");
  EXPECT_EQ(run("return pod()"), "nil");
  EXPECT_EQ(run("return _pod == pod"), "true");
  EXPECT_EQ(run("return select('#', unpod({}))"), "0");
  EXPECT_EQ(run("return select('#', unpod('{'))"), "0");
  EXPECT_EQ(run("return unpod(12) + 1"), "13");
  EXPECT_EQ(run("local v, m = unpod('--[[pod,a=1]]7') return v + m.a"), "8");
  EXPECT_EQ(run("return unpod(pod({1, {2, 'x'}}))[2][2]"), "x");
}

TEST_F(PodText, TextsThatABufferCannotHoldAreNotWrittenAtAll) {
  // A buffer of the largest capacity that already holds all but 4 KiB (its
  // zeroed pages stay untouched, so this costs little memory).
  pbuffer_owner b(create_buffer_2(INT32_MAX - 1, 'p'));
  const int32_t start = INT32_MAX - 4096;
  b->length = b->cursor = start;
  auto write = [&](const char *expr, int flags) {
    lua_settop(L, 0);
    EXPECT_EQ(luaL_dostring(L, (std::string("return ") + expr).c_str()), LUA_OK);
    return stringify_object(L, 1, b.get(), flags, 0);
  };
  ASSERT_EQ(write("{1,'x'}", 0), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(b->data) + start, size_t(b->length - start)),
            "{1,\"x\"}");
  b->length = b->cursor = start;
  struct {
    const char *expr;
    int flags;
  } too_long[] = {
      {"string.rep('a', 5000)", 0},
      {"string.rep('\\0', 1500)", 0},  // 6000 bytes once escaped
      {"(function() local t = {} for i = 1, 100 do t[i] = string.rep('b', 100) end return t end)()",
       0},
      {"(function() local t = {} for i = 1, 100 do t['k' .. i] = string.rep('c', 100) end return t "
       "end)()",
       0},
      {"userdata('u8', 4000)", 0},
      {"string.rep('d', 3500)", POD_FLAG_BASE64},  // fits until it is wrapped
  };
  for (auto &c : too_long) {
    EXPECT_EQ(write(c.expr, c.flags), -1) << c.expr;
    EXPECT_EQ(b->length, start) << c.expr;
    EXPECT_EQ(b->cursor, start) << c.expr;
    EXPECT_EQ(b->data[start], 0) << c.expr;
  }
  // A table shared at every level stands for 2^40 values: the walk stops as
  // soon as the text cannot fit instead of going on through all of them.
  cpu_budget.cycles = 0;
  EXPECT_EQ(
      write("(function() local t = {'leaf'} for i = 1, 40 do t = {t, t} end return t end)()", 0),
      -1);
  EXPECT_LT(cpu_budget.cycles, 100000);
  EXPECT_EQ(b->length, start);
}

TEST_F(PodText, ReadingNeverRaisesOnAKeyThatATableCannotHold) {
  EXPECT_EQ(run("return select('#', unpod('{[nil]=1}'))"), "0");
  EXPECT_EQ(run("return select('#', unpod('{[nil]}'))"), "0");
}

}  // namespace

namespace {

// Key order and number texts follow the C locale because the program never
// changes the locale: no project source mentions setlocale.
TEST(PodLocale, NoSourceCallsSetlocale) {
  const char *dir = std::getenv("KVD_SOURCE_DIR");
  ASSERT_NE(dir, nullptr);
  std::string found;
  for (const char *sub :
       {"kernel", "lang", "userdata", "pod", "pdisk", "gfx", "sorn", "host", "anywhen"}) {
    std::filesystem::path p = std::filesystem::path(dir) / sub;
    if (!std::filesystem::exists(p)) continue;
    for (auto &e : std::filesystem::recursive_directory_iterator(p)) {
      std::string ext = e.path().extension().string();
      if (!e.is_regular_file() || (ext != ".cpp" && ext != ".h" && ext != ".c" && ext != ".inc"))
        continue;
      std::ifstream f(e.path());
      std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
      if (text.find("setlocale") != std::string::npos) found += e.path().string() + "\n";
    }
  }
  EXPECT_EQ(found, "");
  EXPECT_STREQ(std::setlocale(LC_ALL, nullptr), "C");
}

TEST_F(PodText, DeltaFunctions) {
  EXPECT_EQ(
      run("local a, b = string.rep('abcdefgh', 50), string.rep('abcdefgh', 40) .. 'tail' "
          "local d = create_delta(a, b) return apply_delta(a, d) == b and d:sub(1, 3) == 'dst'"),
      "true");
  EXPECT_EQ(run("return select('#', create_delta('a'))"), "0");
  EXPECT_EQ(run("return select('#', create_delta({}, 'b'))"), "0");
  EXPECT_EQ(run("return select('#', apply_delta('other source', create_delta('source', 'dest')))"),
            "0");
  EXPECT_EQ(run("return select('#', apply_delta('x'))"), "0");
  EXPECT_EQ(run("return apply_delta(123, create_delta(123, 456))"), "456");
}

}  // namespace
