// The userland tokenizer: the cases of its rules, its bounds with hostile
// input, and a real Lua corpus from a Debian package (each file checked
// with luac5.4 first): the tokens rebuild every line exactly and a file that
// compiles ends with no long bracket open.
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/kernel/kernel_fixture.h"
#include "tests/support/cpu_clock.h"

namespace {

using api_tokenoid_test = kernel_fixture;

// All tokens of a text from a position with a state, as "token|next|kind|state" lines.
const char *const all_tokens = R"(
function all(s, pos, state)
  local out = {}
  pos = pos or 1
  while true do
    local tok, nxt, kind, st = tokenoid(s, pos, state)
    if not tok then break end
    out[#out + 1] = tok .. '|' .. nxt .. '|' .. kind .. (st and '|' .. st or '')
    pos, state = nxt, 0
  end
  return table.concat(out, ' ')
end)";

TEST_F(api_tokenoid_test, Cases) {
  root_eval(all_tokens);
  struct {
    const char *call, *want;
  } cases[] = {
      {"all('local x')", "local|6|1  |7|0 x|8|1"},
      {"all('--[==[ note')", "--[==[ note|12|3|770"},
      {"all('still ]==] x', 1, 770)", "still ]==]|11|3  |12|0 x|13|1"},
      {"all('still', 1, 770)", "still|6|3|770"},
      {"all('[[abc')", "[[abc|6|4|1024"},
      {"all('[=x')", "[|2|5 =|3|5 x|4|1"},
      {"all('[==[a]=]b]==]c')", "[==[a]=]b]==]|14|4 c|15|1"},
      {"all('\"a\\\\\"\"')", "\"a\\\"\"|6|4"},
      {"all('\"ab')", "\"ab|4|4"},
      {"all('\"a\\\\\\\\\"x')", "\"a\\\\\"|6|4 x|7|1"},
      {"all(\"'a'\")", "'|2|5 a|3|1 '|4|5"},
      {"all('\\t\\t  x')", "\t|2|0 \t|3|0   |5|0 x|6|1"},
      {"all('-- c\\nx')", "-- c|5|3 \n|6|5 x|7|1"},
      {"all('a-b')", "a|2|1 -|3|5 b|4|1"},
      {"all('0x1f 0b101 1.5 12.34 1e5 100e5 1..2')",
       "0x1f|5|2  |6|0 0b101|11|2  |12|0 1.5|15|2  |16|0 12.34|21|2  |22|0 1|23|2 e5|25|1  "
       "|26|0 100e5|31|2  |32|0 1..2|36|2"},
      {"all('\\30\\31\\128\\255x9')",
       "\x1e\x1f\x80\xff"
       "x9|7|1"},
      {"all('a\\0b')", "a|2|1 \0|3|5 b|4|1"},
      {"all(123)", "123|4|2"},
      {"select('#', tokenoid('abc', 0)) .. select('#', tokenoid('abc', 4)) .. "
       "select('#', tokenoid({})) .. select('#', tokenoid('abc', 'x'))",
       "0000"},
      {"tokenoid('abc', '2') .. tokenoid('abcdef', 2.9)", "bcbcdef"},
      // A caller-made state: any kind bits open it, the level is capped.
      {"all('x]' .. ('='):rep(64) .. ']y', 1, 0x3FF)",
       "x]================================================================]|68|3 y|69|1"},
      {"all('abc', 1, -1)", "abc|4|-1|-1"},
      {"all('abc', 1, 0x105) .. ' / ' .. all('abc', 1, 0x1005)", "abc|4|1|261 / abc|4|1"},
  };
  for (auto &c : cases) EXPECT_EQ(root_eval(std::string("return ") + c.call), c.want) << c.call;
}

TEST_F(api_tokenoid_test, SearchesStopAtTheTextAndItsFirstZeroByte) {
  root_eval(all_tokens);
  // A closer after a zero byte is not seen; the token runs to the end.
  EXPECT_EQ(root_eval("return (all('[[a\\0]]'):gsub('%z', '<0>'))"), "[[a<0>]]|7|4|1024");
  EXPECT_EQ(root_eval("return (all('--x\\0y\\nz'):gsub('%z', '<0>'))"),
            "--x|4|3 <0>|5|5 y|6|1 \n|7|5 z|8|1");
  // Openers cut short by the end of the text.
  for (const char *s :
       {"'['", "'[='", "'--['", "'--[=='", "'-'", "'\"\\\\'", "'1'", "('='):rep(70)"})
    EXPECT_EQ(root_eval(std::string("return table.concat({tokenoid(") + s + ")}, ',') ~= nil"),
              "true")
        << s;
}

// A search looks no further than the token it cuts, so a short token at
// the start of a long text costs what it is charged (its length): a
// thousand of them take a few milliseconds of CPU, whatever follows.
TEST_F(api_tokenoid_test, ShortTokensOfALongTextScanOnlyThemselves) {
  root_eval("TAIL = ('x'):rep(16 << 20)");
  struct row {
    const char *text, *want;
  };
  const row rows[] = {
      {"'\"a\"' .. TAIL", "\"a\"|4|4"},          {"'--c\\n' .. TAIL", "--c|4|3"},
      {"'--c\\0' .. TAIL", "--c|4|3"},           {"'[[a]]' .. TAIL", "[[a]]|6|4"},
      {"'--[=[a]=]' .. TAIL", "--[=[a]=]|10|3"},
  };
  const double limit_ms = HOSTILE_CALL_MS;
  for (const row &r : rows) {
    root_eval(std::string("TEXT = ") + r.text);
    cpu_budget.cycles = 0;
    double start = thread_cpu_ms();
    std::string got = root_eval(
        "local t, n, k for i = 1, 1000 do t, n, k = tokenoid(TEXT, 1) end "
        "return t .. '|' .. n .. '|' .. k");
    double ms = thread_cpu_ms() - start;
    EXPECT_EQ(got, r.want) << r.text;
    EXPECT_LT(ms, limit_ms) << r.text;
  }
  cpu_budget.cycles = 0;
}

std::string read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

TEST_F(api_tokenoid_test, RealCorpusRebuildsEveryLineAndClosesEveryBracket) {
  const std::filesystem::path dir = "/usr/share/lua/5.1/pl";
  if (!std::filesystem::is_directory(dir) || access("/usr/bin/luac5.4", X_OK) != 0)
    GTEST_SKIP() << "lua-penlight or luac5.4 missing (tools/setup.sh installs them)";
  root_eval(R"(
function check(src)
  local state, lineno = 0, 0
  for line in (src .. '\n'):gmatch('([^\n]*)\n') do
    lineno = lineno + 1
    local pos, parts, cur = 1, {}, state
    local next_state = #line == 0 and state or 0
    while pos <= #line do
      local tok, nxt, kind, st = tokenoid(line, pos, cur)
      if not tok or nxt <= pos then return 'stuck on line ' .. lineno end
      parts[#parts + 1] = tok
      pos, cur, next_state = nxt, 0, st or 0
    end
    if table.concat(parts) ~= line then return 'line ' .. lineno .. ' not rebuilt' end
    state = next_state
  end
  return state == 0 and 'ok' or 'open state ' .. state
end)");
  int files = 0;
  for (const auto &entry : std::filesystem::directory_iterator(dir)) {
    std::string path = entry.path().string();
    if (entry.path().extension() != ".lua") continue;
    ASSERT_EQ(std::system(("/usr/bin/luac5.4 -p " + path + " 2>/dev/null").c_str()), 0) << path;
    std::string src = read_file(path);
    lua_pushlstring(root->L, src.data(), src.size());
    lua_setglobal(root->L, "SRC");
    EXPECT_EQ(root_eval("return check(SRC)"), "ok") << path;
    files++;
  }
  EXPECT_GE(files, 20);
}

}  // namespace
