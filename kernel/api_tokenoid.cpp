// tokenoid: a forgiving tokenizer for Lua-like source, one token a call,
// for syntax colouring. Every scan stops at the end of the token it cuts
// (a closer, a quote, a line end or a zero byte), so the charge, the
// token's length, covers what was read. An open long bracket (a multi-line comment or
// string) is carried from one line to the next in a state word: kind << 8
// | level, returned only while the bracket stays open.
#include <algorithm>

#include "base/cpu_budget.h"
#include "lang/args.h"
#include "kernel/api.h"

enum token_kind : int {
  TK_SPACE = 0,
  TK_NAME = 1,
  TK_NUMBER = 2,
  TK_COMMENT = 3,
  TK_STRING = 4,
  TK_OTHER = 5
};

// The most "=" signs an opener may have, and the most a closer is looked
// for with (a caller-made state may ask for more).
static constexpr int max_opener_level = 60;
static constexpr int max_closer_level = 64;
static constexpr int state_kind_bits = 0xF00;

static bool is_name_char(unsigned char c) {
  return c == 30 || c == 31 || (c >= 'A' && c <= 'Z') || c == '_' || (c >= 'a' && c <= 'z') ||
         c >= 128;
}
static bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

struct token_text {
  const char *s;
  size_t len;
  // Just past the closer "]" + level "=" + "]" searched from `from`, or 0
  // when there is none before the first zero byte.
  size_t find_closer(size_t from, int level) const {
    level = std::min(level, max_closer_level);
    size_t j = from;
    for (; j < len && s[j] != 0; j++) {
      if (s[j] != ']') continue;
      size_t k = 1;
      while (j + k < len && k <= size_t(level) && s[j + k] == '=') k++;
      if (k == size_t(level) + 1 && j + k < len && s[j + k] == ']') return j + k + 1;
    }
    return 0;
  }
  // The level of a long-bracket opener ("[", at most 60 "=", "[") at `at`,
  // or -1 when there is none.
  int opener_level(size_t at) const {
    if (at >= len || s[at] != '[') return -1;
    size_t j = at + 1;
    while (j < len && s[j] == '=' && int(j - at - 1) < max_opener_level) j++;
    return j < len && s[j] == '[' ? int(j - at - 1) : -1;
  }
};

// A long bracket of `kind` opened before `from`: its token ends past the
// closer, or at the end of the text with the state left open.
static size_t long_bracket_end(const token_text &t, size_t from, int level, int kind,
                               int64_t *state) {
  if (size_t end = t.find_closer(from, level)) return end;
  *state = int64_t(kind) * 256 + level;
  return t.len;
}

int lua54_tokenoid(lua_State *L) {
  int type = lua_type(L, 1);
  if (type != LUA_TSTRING && type != LUA_TNUMBER) return 0;
  token_text t{};
  t.s = lua_tolstring(L, 1, &t.len);
  int pos_type = lua_type(L, 2);
  double pos = 1.0;
  if (pos_type == LUA_TNUMBER || pos_type == LUA_TSTRING) pos = lua_tonumberx(L, 2, nullptr);
  int64_t start = kvd_double_to_i64(pos - 1.0);
  if (start < 0 || uint64_t(start) >= t.len) return 0;
  int64_t state = kvd_intp(L, 3, 0);

  size_t i = size_t(start), end = i + 1;
  int kind = TK_OTHER;
  int64_t open_state = 0;
  unsigned char c = (unsigned char)t.s[i];
  if (state & state_kind_bits) {
    kind = int(state >> 8);
    end = t.find_closer(i, int(state & 255));
    if (!end) {
      end = t.len;
      open_state = state;
    }
  } else if (c == '\t') {
    kind = TK_SPACE;
  } else if (c == ' ') {
    kind = TK_SPACE;
    while (end < t.len && t.s[end] == ' ') end++;
  } else if (int level = c == '[' ? t.opener_level(i) : -1; level >= 0) {
    kind = TK_STRING;
    end = long_bracket_end(t, i + size_t(level) + 2, level, TK_STRING, &open_state);
  } else if (is_name_char(c)) {
    kind = TK_NAME;
    while (end < t.len &&
           (is_name_char((unsigned char)t.s[end]) || is_digit((unsigned char)t.s[end])))
      end++;
  } else if (is_digit(c)) {
    kind = TK_NUMBER;
    for (; end < t.len; end++) {
      unsigned char d = (unsigned char)t.s[end];
      size_t k = end - i;  // characters already accepted
      bool accepted = is_digit(d) || d == '.' || ((d == 'b' || d == 'x') && k == 1) ||
                      (d >= 'a' && d <= 'f' && k >= 2);
      if (!accepted) break;
    }
  } else if (c == '"') {
    kind = TK_STRING;
    end = i + 1;
    while (end < t.len && t.s[end] != 0) {
      char d = t.s[end];
      if (d == '\\' && end + 1 < t.len && (t.s[end + 1] == '\\' || t.s[end + 1] == '"')) {
        end += 2;
        continue;
      }
      end++;
      if (d == '"') break;
    }
  } else if (c == '-' && i + 1 < t.len && t.s[i + 1] == '-') {
    kind = TK_COMMENT;
    int level = t.opener_level(i + 2);
    if (level >= 0) {
      end = long_bracket_end(t, i + size_t(level) + 4, level, TK_COMMENT, &open_state);
    } else {
      end = i + 2;
      while (end < t.len && t.s[end] != '\n' && t.s[end] != 0) end++;
    }
  }
  spend_cpu(int64_t(end - i));
  lua_pushlstring(L, t.s + i, end - i);
  lua_pushinteger(L, lua_Integer(end) + 1);
  lua_pushinteger(L, kind);
  if (!open_state) return 3;
  lua_pushinteger(L, open_state);
  return 4;
}
