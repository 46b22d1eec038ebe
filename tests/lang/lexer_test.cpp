// The dialect's lexer token by token: operators, the end-of-line tokens that
// pendingeol owes, and the parenthesis depth of a followed condition.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "lang/lua_api.h"
#include "ldo.h"
#include "llex.h"
#include "lstate.h"
#include "lstring.h"
#include "ltable.h"
#include "lzio.h"

namespace {

struct lex_request {
  const char *src;
  int pendingeol;      // initial value
  bool trackbraces;    // call luaX_trackbraces on the first token
  std::string tokens;  // "token@line token@line ..." (ends at <eof>)
  int final_pendingeol;
  int final_bracedepth;
};

const char *read_all(lua_State *, void *ud, size_t *size) {
  auto **s = static_cast<const char **>(ud);
  if (!*s) return nullptr;
  const char *p = *s;
  *size = strlen(p);
  *s = nullptr;
  return p;
}

struct lex_run {
  lex_request *req;
  Mbuffer buff;
};

// Reads every token; may raise a lexical error.
int lex_tokens(lua_State *L) {
  auto *run = static_cast<lex_run *>(lua_touserdata(L, 1));
  lex_request *req = run->req;
  const char *src = req->src;
  ZIO z;
  luaZ_init(L, &z, read_all, &src);
  LexState ls;
  memset(&ls, 0, sizeof ls);
  ls.buff = &run->buff;
  ls.h = luaH_new(L);
  sethvalue2s(L, L->top, ls.h);
  luaD_inctop(L);
  luaX_setinput(L, &ls, &z, luaS_new(L, "=lex"), zgetc(&z));
  ls.pendingeol = req->pendingeol;
  luaX_next(&ls);
  if (req->trackbraces) luaX_trackbraces(&ls);
  for (;;) {
    req->tokens += std::string(req->tokens.empty() ? "" : " ") + luaX_token2str(&ls, ls.t.token) +
                   "@" + std::to_string(ls.linenumber);
    if (ls.t.token == TK_EOS) break;
    luaX_next(&ls);
  }
  req->final_pendingeol = ls.pendingeol;
  req->final_bracedepth = ls.bracedepth;
  return 0;
}

// The token buffer outlives a lexical error and is freed here.
int lex_all(lua_State *L) {
  lex_run run{static_cast<lex_request *>(lua_touserdata(L, 1)), {}};
  luaZ_initbuffer(L, &run.buff);
  lua_pushcfunction(L, lex_tokens);
  lua_pushlightuserdata(L, &run);
  int status = lua_pcall(L, 1, 0, 0);
  luaZ_freebuffer(L, &run.buff);
  if (status != LUA_OK) return lua_error(L);
  return 0;
}

lex_request lex(const char *src, int pendingeol = 0, bool track = false) {
  lex_request req{src, pendingeol, track, "", 0, 0};
  lua_State *L = luaL_newstate();
  lua_pushcfunction(L, lex_all);
  lua_pushlightuserdata(L, &req);
  if (lua_pcall(L, 1, 0, 0) != LUA_OK) req.tokens = std::string("error: ") + lua_tostring(L, -1);
  lua_close(L);
  return req;
}

TEST(Lexer, Operators) {
  const struct {
    const char *src, *tokens;
  } cases[] = {
      {"a!=b", "<name>@1 !=@1 <name>@1 <eof>@1"},
      {"a ! = b", "<name>@1 '!'@1 '='@1 <name>@1 <eof>@1"},
      {"x^^=1", "<name>@1 ^^=@1 <integer>@1 <eof>@1"},
      {"x^^y ^^z", "<name>@1 '~'@1 <name>@1 '~'@1 <name>@1 <eof>@1"},
      {"7\\2", "<integer>@1 '\\'@1 <integer>@1 <eof>@1"},
      {">>>= //= ...= ..= - = ^=",
       "'>>'@1 '>='@1 '//'@1 '='@1 '...'@1 '='@1 ..=@1 '-'@1 '='@1 ^=@1 <eof>@1"},
      {"+= -= *= /= %= \\= &= |= <<= >>=",
       "+=@1 -=@1 *=@1 /=@1 %=@1 \\=@1 &=@1 |=@1 <<=@1 >>=@1 <eof>@1"},
      {"@a $b ~= ~", "'@'@1 <name>@1 '$'@1 <name>@1 '~='@1 '~'@1 <eof>@1"},
  };
  for (const auto &c : cases) EXPECT_EQ(lex(c.src).tokens, c.tokens) << c.src;
}

TEST(Lexer, EndOfLineTokensAreOwedByPendingeol) {
  const struct {
    const char *src;
    int pending;
    const char *tokens;
    int final_pending;
  } cases[] = {
      // two constructs waiting: the first EOL leaves the break, the second takes it
      {"\nx", 2, "<eol>@1 <eol>@2 <name>@2 <eof>@2", 0},
      {"  -- note\nx", 2, "<eol>@1 <eol>@2 <name>@2 <eof>@2", 0},
      {"\nx", 0, "<name>@2 <eof>@2", 0},
      {"\r\nx", 1, "<eol>@2 <name>@2 <eof>@2", 0},
      {"?", 0, "?@1 <eof>@1", 1},
      {"[[a\nb]]\nx", 1, "<string>@2 <eol>@3 <name>@3 <eof>@3", 0},
      {"'a\\\nb' --[[c\nd]] x\ny", 1, "<string>@2 <name>@3 <eol>@4 <name>@4 <eof>@4", 0},
  };
  for (const auto &c : cases) {
    lex_request r = lex(c.src, c.pending);
    EXPECT_EQ(r.tokens, c.tokens) << c.src;
    EXPECT_EQ(r.final_pendingeol, c.final_pending) << c.src;
  }
}

TEST(Lexer, ConditionParenthesisDepth) {
  EXPECT_EQ(lex("(a) and (b)", 0, true).final_bracedepth, -2);
  EXPECT_EQ(lex("(a)+b", 0, true).final_bracedepth, 0);
  EXPECT_EQ(lex("((a)) x", 0, true).final_bracedepth, 0);
  EXPECT_EQ(lex("a (b)", 0, true).final_bracedepth, -3);
}

TEST(Lexer, Errors) {
  EXPECT_EQ(lex("\"abc").tokens, "error: lex:1: unfinished string near <eof>");
  EXPECT_EQ(lex("'\\z\n\\q'").tokens, "error: lex:2: invalid escape sequence near ''\\q'");
  EXPECT_EQ(lex("0b1p4").tokens, "error: lex:1: malformed number near '0b1p'");
}

}  // namespace
