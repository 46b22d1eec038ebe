// Text printing: the print context, the step interpreter and glyph drawing.
#include "gfx/print.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/cpu_budget.h"
#include "base/ram_layout.h"
#include "machine/memory.h"
#include "machine/process.h"
#include "lang/args.h"
#include "userdata/udata.h"
#include "gfx/draw_api.h"
#include "gfx/draw_target.h"
#include "gfx/pixel.h"
#include "gfx/shapes.h"

int32_t print_max_x = 0;
int32_t print_max_y = 0;
int32_t print_max_set = 0;

namespace {

// double_px[b]: bits 2i and 2i + 1 for each bit i of b; pinball_px[b]: bit
// 2i + 1 only.
struct doubling_tables {
  uint32_t double_px[256], pinball_px[256];
  doubling_tables() {
    for (uint32_t b = 0; b < 256; b++) {
      double_px[b] = pinball_px[b] = 0;
      for (uint32_t i = 0; i < 8; i++)
        if ((b >> i) & 1) double_px[b] |= 3u << (2 * i), pinball_px[b] |= 2u << (2 * i);
    }
  }
};
const doubling_tables &doubling() {
  static const doubling_tables tables;
  return tables;
}

// A glyph box is at most (8 + 1) << 1 columns and rows.
constexpr int32_t MAX_BOX = 18;
constexpr uint8_t CODE_REPEAT = 1, CODE_BACKGROUND = 2, CODE_MOVE_X = 3, CODE_MOVE_Y = 4,
                  CODE_MOVE = 5, CODE_COMMAND = 6, CODE_BACKSPACE = 8, CODE_TAB = 9,
                  CODE_NEWLINE = 10, CODE_DECORATION = 11, CODE_FOREGROUND = 12, CODE_RETURN = 13,
                  CODE_ALTERNATE_FONT = 14, CODE_DEFAULT_FONT = 15;
constexpr int32_t FONT_FLAG_ADJUST = 1 << 0, FONT_FLAG_TAB_FROM_HOME = 1 << 1;
constexpr int32_t GLYPH_BORDER = 1 << 0, GLYPH_RAISED = 1 << 3;
constexpr int32_t OUTLINE_ONLY = 1 << 16;
constexpr int32_t PRINT_FLAG_WRAP = 1 << 4;

// Where the n bytes at addr of the current process lie in one page, or null
// when no page holds them all (then the memory functions are used, which
// make a missing page of the process's own present, as ever).
inline uint8_t *page_bytes(uint32_t addr, uint32_t n) {
  if (!cproc) return nullptr;
  const proc_memory &m = cproc->mem;
  uint32_t page = (addr / RAM_PAGE_SIZE) % RAM_PAGES, offset = addr % RAM_PAGE_SIZE;
  if (int64_t(offset) + n <= m.mapped_length[page] && m.page_pointer[page])
    return m.page_pointer[page] + offset;
  return nullptr;
}
void read_bytes(uint32_t addr, uint8_t *out, uint32_t n) {
  if (const uint8_t *at = page_bytes(addr, n)) {
    std::memcpy(out, at, n);
    return;
  }
  for (uint32_t i = 0; i < n; i++) out[i] = uint8_t(peek(int32_t(addr + i)));
}
inline int32_t read_i32(uint32_t addr) {
  uint8_t b[4];
  read_bytes(addr, b, 4);
  return int32_t(uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 |
                 uint32_t(b[3]) << 24);
}
// As poke4: straight into the page when it holds all four bytes (marking
// the page written), else byte by byte.
inline void write_i32(uint32_t addr, uint32_t v) {
  if (uint8_t *at = page_bytes(addr, 4)) {
    const uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    std::memcpy(at, b, 4);
    cproc->mem.page_flags[(addr / RAM_PAGE_SIZE) % RAM_PAGES] = PAGE_WRITTEN;
    return;
  }
  poke4(addr, v);
}

int32_t cursor_x() { return read_i32(RAM_TEXT_CURSOR_X); }
int32_t cursor_y() { return read_i32(RAM_TEXT_CURSOR_Y); }
void set_cursor(int64_t x, int64_t y) {
  write_i32(RAM_TEXT_CURSOR_X, uint32_t(x));
  write_i32(RAM_TEXT_CURSOR_Y, uint32_t(y));
}

uint8_t font_byte(const print_context *c, int32_t i) {
  uint8_t b;
  read_bytes(c->font + uint32_t(i), &b, 1);
  return b;
}

// The shape context of the glyphs of the running print, built once per
// string; dropped when the print writes memory itself (which may be the draw
// state), so every glyph still draws with the state of its moment. The
// writes of the last pen drawn are kept beside it.
draw_ctx glyph_ctx;
bool glyph_ctx_ready = false;
int32_t glyph_pen = 0;
pen_writes glyph_writes;
const draw_ctx &text_ctx() {
  if (!glyph_ctx_ready) {
    glyph_ctx = draw_ctx_shape(), glyph_ctx_ready = true;
    glyph_writes = pen_writes_of(glyph_ctx, glyph_pen);
  }
  return glyph_ctx;
}
const pen_writes &text_writes(int32_t pen) {
  if (!glyph_ctx_ready || pen != glyph_pen) {
    glyph_pen = pen;
    glyph_writes = pen_writes_of(text_ctx(), pen);
  }
  return glyph_writes;
}

// The argument value of a byte: "0".."9" 0..9, "a" and above 10.., else 0.
int32_t digit(uint8_t d) {
  if (d >= '0' && d <= '9') return d - '0';
  return d >= 97 ? d - 87 : 0;
}
int32_t hex_value(uint8_t d) {
  if (d >= '0' && d <= '9') return d - '0';
  if (d >= 'a' && d <= 'f') return d - 'a' + 10;
  if (d >= 'A' && d <= 'F') return d - 'A' + 10;
  return 0;
}

// The byte i steps after p, 0 from the end of the owned copy on.
uint8_t byte_at(const print_context *c, const uint8_t *p, int64_t i) {
  return p + i < c->limit ? p[i] : 0;
}

// Widths, height and offsets from the header of the context's font.
void load_font_sizes(print_context *c) {
  c->width_low = font_byte(c, 0);
  c->width_high = font_byte(c, 1);
  c->height = font_byte(c, 2);
  c->x_offset = font_byte(c, 3);
  c->y_offset = font_byte(c, 4);
}

void newline(print_context *c) {
  set_cursor(c->home_x, int64_t(cursor_y()) + (c->line_height ? c->line_height : c->height));
  c->line_height = 0;
}

void tab(print_context *c) {
  int64_t tw = get_active_print_tab_w(c);
  if (tw == 0) return;  // no tab stops: x stays
  int64_t home = (font_byte(c, 5) & FONT_FLAG_TAB_FROM_HOME) ? peek4(int32_t(RAM_TEXT_HOME_X)) : 0;
  int64_t x = int64_t(cursor_x()) - home + tw;
  set_cursor(x - x % tw + home, cursor_y());
}

// An ordinary character: its width, with the font's adjustment nibble.
int32_t character(print_context *c, uint8_t code) {
  int32_t width = code < 128 ? c->width_low : c->width_high;
  int32_t flags = c->border ? GLYPH_BORDER : 0;
  if (font_byte(c, 5) & FONT_FLAG_ADJUST) {
    int32_t nibble = (font_byte(c, code >> 1) >> ((code & 1) * 4)) & 15;
    width += ((nibble + 4) & 7) - 4;
    if (nibble & 8) flags |= GLYPH_RAISED;
  }
  uint8_t rows[8];
  read_bytes(c->font + 8 * uint32_t(code), rows, 8);
  return draw_character(c, rows, width, c->height, flags);
}

// Writes count bytes of the text from p to memory from addr (1 cycle each),
// stopping at the end of the text; returns the bytes written.
int64_t poke_text(print_context *c, const uint8_t *p, int64_t count, int32_t addr) {
  int64_t n = std::clamp<int64_t>(c->end - p, 0, std::max<int64_t>(count, 0));
  for (int64_t i = 0; i < n; i++) poke(int32_t(uint32_t(addr) + uint32_t(i)), p[i]);
  if (n > 0) glyph_ctx_ready = false;
  spend_cpu(n);
  return n;
}

// Up to 4 digits from p as value x 16 + digit, stopping at the end of the
// text; *used gets the bytes read.
int64_t read_number(const print_context *c, const uint8_t *p, int64_t *used) {
  int64_t v = 0, i = 0;
  for (; i < 4 && p + i < c->end; i++) v = v * 16 + digit(p[i]);
  *used = i;
  return v;
}

// The commands after code 6, by what they do; the letter picks the entry of
// COMMANDS, pauses are the digits '1'..'9'.
enum command_kind : uint8_t {
  COMMAND_SWITCH,     // a print switch on, or off after '-'
  COMMAND_DIGIT,      // a setting from one argument
  COMMAND_JUMP,       // the cursor to two arguments x 4
  COMMAND_HOME,       // the home position from the cursor
  COMMAND_GO_HOME,    // the cursor to the home position
  COMMAND_OUTLINE,    // colour and mask from three arguments; off after '-'
  COMMAND_POKE,       // bytes of the text into memory: address and count
  COMMAND_POKE_REST,  // the rest of the text into memory; the print ends
  COMMAND_GLYPH,      // an inline glyph of 8 bytes or 16 hex digits
  COMMAND_PAUSE,      // a pause of 2^(digit - 1) - 1 more frames
};
struct command_code {
  uint8_t letter;
  command_kind kind;
  uint8_t args;  // argument bytes that must be present (glyph bytes for a glyph)
};
constexpr command_code COMMANDS[] = {
    {'u', COMMAND_SWITCH, 0},  {'#', COMMAND_SWITCH, 0}, {'$', COMMAND_SWITCH, 0},
    {'=', COMMAND_SWITCH, 0},  {'b', COMMAND_SWITCH, 0}, {'i', COMMAND_SWITCH, 0},
    {'p', COMMAND_SWITCH, 0},  {'t', COMMAND_SWITCH, 0}, {'w', COMMAND_SWITCH, 0},
    {'d', COMMAND_DIGIT, 1},   {'c', COMMAND_DIGIT, 1},  {'r', COMMAND_DIGIT, 1},
    {'s', COMMAND_DIGIT, 1},   {'x', COMMAND_DIGIT, 1},  {'y', COMMAND_DIGIT, 1},
    {'j', COMMAND_JUMP, 2},    {'h', COMMAND_HOME, 0},   {'g', COMMAND_GO_HOME, 0},
    {'o', COMMAND_OUTLINE, 3}, {'@', COMMAND_POKE, 0},   {'!', COMMAND_POKE_REST, 0},
    {',', COMMAND_GLYPH, 8},   {'.', COMMAND_GLYPH, 8},  {';', COMMAND_GLYPH, 16},
    {':', COMMAND_GLYPH, 16},
};

// A command read at p (p[0] is 6): '-' before the letter turns it off; the
// arguments follow the letter at args.
struct command_at {
  const command_code *code;  // null for an unknown letter or a pause
  uint8_t letter;
  bool on;
  int64_t args;
};
command_at read_command(const print_context *c, const uint8_t *p) {
  command_at m{nullptr, 0, true, 2};
  if (byte_at(c, p, 1) == '-') m.on = false, m.args = 3;
  m.letter = byte_at(c, p, m.args - 1);
  for (const command_code &k : COMMANDS)
    if (k.letter == m.letter) m.code = &k;
  if (m.letter >= '1' && m.letter <= '9') {
    static constexpr command_code pause = {0, COMMAND_PAUSE, 0};
    m.code = &pause;
  }
  return m;
}

// The numbers of a poke command: address and count (or the address alone),
// up to 4 digits each, and where the bytes to write begin.
struct poke_at {
  int64_t addr, count;
  const uint8_t *bytes;
};
poke_at read_poke(const print_context *c, const uint8_t *q, bool with_count) {
  int64_t used1 = 0, used2 = 0;
  poke_at k{read_number(c, q, &used1), 0, nullptr};
  if (with_count) k.count = read_number(c, q + used1, &used2);
  k.bytes = q + used1 + used2;
  return k;
}

// The bytes of the command step at p (p[0] is 6), or -1 when code 6 is
// drawn as a glyph instead (no letter, or its arguments missing).
int64_t command_length(const print_context *c, const uint8_t *p) {
  command_at m = read_command(c, p);
  if (!m.on && m.letter == 0) return 2;        // "-" then the end: nothing
  if (!m.code) return m.letter ? m.args : -1;  // unknown letter: passed over
  const command_code &k = *m.code;
  if (k.kind == COMMAND_POKE) {
    poke_at w = read_poke(c, p + m.args, true);
    return (w.bytes - p) + std::clamp<int64_t>(c->end - w.bytes, 0, std::max<int64_t>(w.count, 0));
  }
  if (k.kind == COMMAND_POKE_REST) {  // the step runs to the terminating zero
    const uint8_t *stop = std::max<const uint8_t *>(read_poke(c, p + m.args, false).bytes, c->end);
    while (stop < c->limit && *stop) stop++;
    return stop - p;
  }
  if (k.kind == COMMAND_GLYPH)  // too short: the bytes print as text
    return c->end - (p + m.args) < k.args ? m.args : m.args + k.args;
  if (k.kind == COMMAND_OUTLINE && !m.on) return m.args;
  for (int64_t i = 0; i < k.args; i++)
    if (!byte_at(c, p, m.args + i)) return -1;
  return m.args + k.args;
}

// The switch a COMMAND_SWITCH letter sets.
int32_t *command_switch(print_context *c, uint8_t letter) {
  switch (letter) {
    case 'u':
      return &c->underline;
    case '#':
      return &c->solid_background;
    case '$':
      return &c->wrap_enabled;
    case '=':
      return &c->stripes;
    case 'b':
      return &c->border;
    case 'i':
      return &c->invert;
    case 'p':
      return &c->pinball;
    case 't':
      return &c->tall;
    default:  // 'w'
      return &c->wide;
  }
}

// A setting from the one argument v of a COMMAND_DIGIT letter.
void command_digit(print_context *c, uint8_t letter, int32_t v) {
  switch (letter) {
    case 'd':
      c->character_delay = v;
      break;
    case 'r':
      c->wrap_right = v * 4;
      c->wrap_enabled = 1;
      break;
    case 's':
      c->tab_width = v * c->width_low;
      break;
    case 'x':
      c->width_low = v;
      c->width_high = v + (font_byte(c, 1) - font_byte(c, 0));
      break;
    case 'y':
      c->height = v;
      break;
    default:  // 'c': the target cleared to v, the cursor home
      if (!c->target) break;
      std::memset(udata_elements(c->target), v & 63, size_t(udata_count(c->target)));
      set_cursor(0, 0);
      spend_cpu(int64_t(udata_count(c->target)) >> 6);
  }
}

// Performs the command step at p, whose command_length is not -1; *pause is
// set when printing must stop.
void run_command(print_context *c, const uint8_t *p, int32_t *pause) {
  command_at m = read_command(c, p);
  if (!m.code) return;
  const uint8_t *arg = p + m.args;
  switch (m.code->kind) {
    case COMMAND_SWITCH:
      *command_switch(c, m.letter) = m.on ? 1 : 0;
      return;
    case COMMAND_PAUSE:
      c->pause_counter = (1 << (m.letter - '1')) - 1;
      *pause = 1;
      return;
    case COMMAND_DIGIT:
      command_digit(c, m.letter, digit(arg[0]));
      return;
    case COMMAND_JUMP:
      set_cursor(digit(arg[0]) * 4, digit(arg[1]) * 4);
      return;
    case COMMAND_HOME:
      c->home_x = cursor_x();
      c->home_y = cursor_y();
      return;
    case COMMAND_GO_HOME:
      set_cursor(c->home_x, c->home_y);
      return;
    case COMMAND_OUTLINE:
      if (!m.on) {
        c->outline_mask = 0;
        return;
      }
      c->outline_colour = arg[0] == '$'   ? c->foreground
                          : arg[0] == '!' ? c->foreground | OUTLINE_ONLY
                                          : digit(arg[0]);
      c->outline_mask = (digit(arg[1]) * 32) | digit(arg[2]);
      return;
    case COMMAND_POKE: {
      poke_at w = read_poke(c, arg, true);
      poke_text(c, w.bytes, w.count, int32_t(w.addr));
      return;
    }
    case COMMAND_POKE_REST: {
      poke_at w = read_poke(c, arg, false);
      poke_text(c, w.bytes, c->end - w.bytes, int32_t(w.addr));
      return;
    }
    case COMMAND_GLYPH: {
      bool hex = m.code->args == 16;
      if (c->end - arg < m.code->args) return;  // printed as text instead
      uint8_t rows[8];
      for (int32_t r = 0; r < 8; r++)
        rows[r] = hex ? uint8_t(hex_value(arg[2 * r]) * 16 + hex_value(arg[2 * r + 1])) : arg[r];
      bool border = (m.letter == ',' || m.letter == ';') && c->border;
      *pause = draw_character(c, rows, 8, 8, border ? GLYPH_BORDER : 0);
      return;
    }
  }
}

// One step at the read pointer: returns its length in bytes (at least 1);
// with run false nothing is performed.
int64_t step(print_context *c, bool run, int32_t *pause) {
  const uint8_t *p = c->read;
  uint8_t b = p[0], a1 = byte_at(c, p, 1), a2 = byte_at(c, p, 2);
  auto glyph = [&]() -> int64_t {
    if (run) *pause = character(c, b);
    return 1;
  };
  switch (b) {
    case 0:
      return 0;
    case CODE_REPEAT:
      if (!a1) return glyph();
      if (run) {
        // Counted below as performances still to come after the first; 0
        // passes over the next step.
        c->repeat_count = std::max(digit(a1) - 1, 0);
        c->skip_next = digit(a1) == 0;
      }
      return 2;
    case CODE_BACKGROUND:
      if (!a1) return glyph();
      if (run) c->background = digit(a1) & 63, c->solid_background = 1;
      return 2;
    case CODE_MOVE_X:
    case CODE_MOVE_Y:
      if (!a1) return glyph();
      if (run && b == CODE_MOVE_X) set_cursor(int64_t(cursor_x()) + digit(a1) - 16, cursor_y());
      if (run && b == CODE_MOVE_Y) set_cursor(cursor_x(), int64_t(cursor_y()) + digit(a1) - 16);
      return 2;
    case CODE_MOVE:
      if (!a1 || !a2) return glyph();
      if (run)
        set_cursor(int64_t(cursor_x()) + digit(a1) - 16, int64_t(cursor_y()) + digit(a2) - 16);
      return 3;
    case CODE_COMMAND: {
      int64_t n = command_length(c, p);
      if (n < 0) return glyph();
      if (run) run_command(c, p, pause);
      return n;
    }
    case CODE_BACKSPACE:
      if (run) set_cursor(int64_t(cursor_x()) - c->last_advance, cursor_y());
      return 1;
    case CODE_TAB:
      if (run) tab(c);
      return 1;
    case CODE_NEWLINE:
      if (run) newline(c);
      return 1;
    case CODE_DECORATION:
      if (!a1) return glyph();
      if (run) {
        int32_t d = digit(a1), x = cursor_x(), y = cursor_y();
        set_cursor(int64_t(c->saved_x) + (d & 3) - 2, int64_t(c->saved_y) + (d >> 2) - 8);
        c->saved_x = x, c->saved_y = y;
        c->decoration_pending = 1;
      }
      return 2;
    case CODE_FOREGROUND:
      if (!a1) return glyph();
      if (run) {
        c->foreground = digit(a1) & 63;
        poke2(int32_t(RAM_PEN), c->foreground);
      }
      return 2;
    case CODE_RETURN:
      if (run) set_cursor(c->home_x, cursor_y());
      return 1;
    case CODE_ALTERNATE_FONT:
    case CODE_DEFAULT_FONT:
      if (run) {
        c->font = uint32_t(peek(
                      int32_t(b == CODE_ALTERNATE_FONT ? RAM_FONT_ALTERNATE : RAM_FONT_DEFAULT)))
                  << 8;
        load_font_sizes(c);
      }
      return 1;
    default:
      return glyph();
  }
}

void note_max(int32_t x, int32_t y) {
  print_max_x = print_max_set ? std::max(print_max_x, x) : x;
  print_max_y = print_max_set ? std::max(print_max_y, y) : y;
  print_max_set = 1;
}

// Host work of one step beyond its charge, in cycles: a step is charged 1
// cycle however many repeats, cursor moves and clipped glyphs it performs,
// so the bound below counts steps at about what they take.
constexpr int64_t PRINT_STEP_WORK = 64;
// run_print's result when the text was dropped at the overrun bound.
constexpr int32_t PRINT_OVERRAN = 2;

// Runs steps until the text ends (0) or a step pauses (1). A run whose
// steps would take the slice past the overrun bound, or (resumed outside a
// slice) whose steps with what they charged pass it, drops the rest of the
// text (PRINT_OVERRAN): a long text, a repeat code before every byte or a
// clear of a large target at every step cannot hold the host.
int32_t run_print(print_context *c) {
  if (c->pause_counter >= 1) {
    c->pause_counter--;
    return 1;
  }
  int64_t work = 0, spent = 0;  // the steps' own work; the cycles they charged
  while (true) {
    if (!c->text || *c->read == 0) {
      destroy_print_buffer(c);
      return 0;
    }
    work += PRINT_STEP_WORK;
    if (work + spent > CPU_OVERRUN_LIMIT || cpu_loop_overruns(work)) {
      destroy_print_buffer(c);
      return PRINT_OVERRAN;
    }
    const uint8_t *before = c->read;
    int32_t cycles_before = cpu_budget.cycles;
    int32_t pause = quill7_print_char(c);
    spend_cpu(std::max<int64_t>(1, c->read - before));
    spent += std::max<int64_t>(0, int64_t(cpu_budget.cycles) - cycles_before);
    if (pause) return 1;
  }
}

}  // namespace

int32_t get_active_print_tab_w(const print_context *c) {
  if (c->tab_width) return c->tab_width;
  int32_t font_tab = font_byte(c, 6);
  return font_tab ? font_tab : 3 * c->width_low;
}

void destroy_print_buffer(print_context *c) {
  std::free(c->text);
  c->text = c->read = c->end = c->limit = nullptr;
}

void reset_print_context(print_context *c) {
  int32_t a = peek(int32_t(RAM_PRINT_ATTRIBUTES));
  if (!(a & 1)) a = 2;
  c->font = uint32_t(peek(int32_t((a & 0x80) ? RAM_FONT_ALTERNATE : RAM_FONT_DEFAULT))) << 8;
  c->border = (a >> 1) & 1;
  c->wide = (a >> 2) & 1;
  c->tall = (a >> 3) & 1;
  c->solid_background = (a >> 4) & 1;
  c->invert = (a >> 5) & 1;
  c->stripes = (a >> 6) & 1;
  c->pinball = 0;
  c->tab_width = 0;
  load_font_sizes(c);
  if (!c->width_low && !c->width_high && !c->height) c->width_low = c->width_high = c->height = 8;
  int32_t size = peek(int32_t(RAM_PRINT_SIZE)), size_high = peek(int32_t(RAM_PRINT_SIZE_HIGH));
  int32_t offsets = peek(int32_t(RAM_PRINT_OFFSETS));
  if (size & 15) c->width_low = size & 15;
  if (size >> 4) c->height = size >> 4;
  if (size_high & 15) c->width_high = size_high & 15;
  if (size_high >> 4) c->tab_width = c->width_low * ((size_high >> 4) + 1);
  if (offsets & 15) c->x_offset = offsets & 15;
  if (offsets >> 4) c->y_offset = offsets >> 4;
  c->character_delay = 0;
  c->outline_mask = 0;
  c->outline_colour = 0;
  c->underline = 0;
}

int32_t quill7_print_char(print_context *c) {
  int32_t pause = 0;
  if (c->skip_next) {
    c->skip_next = 0;
    c->read += step(c, false, &pause);  // 0 at the end: the run stops there
    return 0;
  }
  bool repeat_code = c->read[0] == CODE_REPEAT;
  int64_t n = step(c, true, &pause);
  note_max(cursor_x(), cursor_y());
  // A repeat code sets the count for the next step and is never repeated
  // itself, so nested repeats cannot loop.
  if (c->repeat_count > 0 && !(repeat_code && n == 2)) {
    c->repeat_count--;
  } else {
    c->read += n;
  }
  if (c->read > c->limit) c->read = c->limit - 1;  // never past the final zero
  return pause;
}

namespace {

// The set bits of rows[0..h) (bit i of row r at (x + i, y + r), i < min(w,
// 32)) drawn as shape pixels under ctx, each row cut to columns left..right
// - 1 and the rows to top..bottom - 1.
void draw_bits(const draw_ctx &ctx, const pen_writes &w, const uint32_t *rows, udata *bitmap,
               int64_t x, int64_t y, int32_t width, int32_t h, int32_t colour, const clip_box &b) {
  int32_t pen = int16_t(colour);
  uint32_t width_bits = width >= 32 ? ~0u : (1u << width) - 1;
  // Columns inside the clip, as bits of a row.
  int64_t lo = std::clamp<int64_t>(b.left - x, 0, 32), hi = std::clamp<int64_t>(b.right - x, 0, 32);
  uint32_t clip_bits =
      hi <= lo ? 0 : uint32_t(((uint64_t(1) << hi) - 1) & ~((uint64_t(1) << lo) - 1));
  int64_t r0 = std::max<int64_t>(0, b.top - y), r1 = std::min<int64_t>(h, b.bottom - y);
  const uint32_t keep_bits = width_bits & clip_bits;
  if (ctx.plain_pattern && w.uniform[0]) {
    // Every pixel the same masked write: no pattern bit, no table.
    const uint8_t keep = w.keep, value = w.value[0];
    for (int64_t r = r0; r < r1; r++) {
      uint32_t bits = rows[r] & keep_bits;
      if (!bits) continue;
      uint8_t *line = bitmap_row(bitmap, y + r);
      do {
        uint8_t *d = line + (x + __builtin_ctz(bits));
        *d = uint8_t((*d & keep) | value);
        bits &= bits - 1;
      } while (bits);
    }
    return;
  }
  for (int64_t r = r0; r < r1; r++) {
    int64_t py = y + r;
    uint32_t bits = rows[r] & keep_bits;
    uint8_t *line = bitmap_row(bitmap, py);
    while (bits) {
      int i = __builtin_ctz(bits);
      bits &= bits - 1;
      paint_pen_pixel(ctx, w, pen, line + x + i, x + i, py);
    }
  }
}

// Whether the bytes of bitmap show through a page that glyphs read their
// draw state from (the draw-state page or a colour table), so that drawing
// into it changes that state.
bool shows_draw_state(const udata *bitmap) {
  const proc_memory &m = cproc->mem;
  const uint8_t *start = udata_elements(bitmap), *end = start + udata_bytes(bitmap);
  const uint32_t pages[] = {GFX_STATE_PAGE, GFX_COLTAB_PAGE, GFX_COLTAB_PAGE + 1,
                            GFX_COLTAB_PAGE + 2, GFX_COLTAB_PAGE + 3};
  for (uint32_t page : pages) {
    const uint8_t *at = m.page_pointer[page];
    if (at && m.mapped_length[page] > 0 && at < end && start < at + m.mapped_length[page])
      return true;
  }
  return false;
}

bool box_outside(const clip_box &b, int64_t x, int64_t y, int32_t w, int32_t h) {
  return w < 1 || h < 1 || x + w <= b.left || x >= b.right || y + h <= b.top || y >= b.bottom;
}

}  // namespace

// h rows of bit masks, w bits each from bit 0, as pixels of the running print
// in colour at (x + i, y + r): 0 (nothing drawn) when the box lies wholly
// outside the clip, else w x h.
static int64_t glyph_bits(const uint32_t *rows, udata *bitmap, int32_t x, int32_t y, int32_t w,
                          int32_t h, int32_t colour) {
  clip_box b = drawing_clip(bitmap);
  if (box_outside(b, x, y, w, h)) return 0;
  if (shows_draw_state(bitmap)) {
    // Its pixels may be the masks, the pattern or table entries: the glyph
    // takes the state as it now stands and leaves none of it kept, and each
    // pixel reads the tables as they stand when it is drawn.
    glyph_ctx_ready = false;
    const pen_writes each_pixel{{false, false}, {0, 0}, 0};
    draw_bits(text_ctx(), each_pixel, rows, bitmap, x, y, w, h, colour, b);
    glyph_ctx_ready = false;
    return int64_t(w) * h;
  }
  const draw_ctx &ctx = text_ctx();
  draw_bits(ctx, text_writes(int16_t(colour)), rows, bitmap, x, y, w, h, colour, b);
  return int64_t(w) * h;
}

int32_t draw_character(print_context *c, const uint8_t *glyph, int32_t width, int32_t height,
                       int32_t flags) {
  // The cursor as it stands before anything is drawn (drawing may write it,
  // when the target's bytes are the draw state's page).
  int32_t at_x = cursor_x(), at_y = cursor_y();
  if (!c->decoration_pending) {
    c->saved_x = at_x, c->saved_y = at_y;
    if (c->wrap_enabled && int64_t(at_x) > int64_t(c->wrap_right) - width) {
      newline(c);
      at_x = cursor_x(), at_y = cursor_y();
    }
  }
  int32_t p = flags & GLYPH_BORDER;
  int32_t wide = c->wide, tall = c->tall;
  bool wide_dotted = c->stripes && !c->tall, tall_dotted = c->stripes && c->tall;
  if (c->pinball) wide = tall = 1, wide_dotted = tall_dotted = true;
  int32_t cam_x = read_i32(RAM_CAMERA_X), cam_y = read_i32(RAM_CAMERA_Y);
  int32_t cols = std::clamp(width, 0, 8), lines = std::clamp(height, 0, 8);
  int64_t y = int64_t(at_y) + c->y_offset - cam_y - ((flags & GLYPH_RAISED) ? 1 : 0);
  int64_t box_left = int64_t(at_x) + c->x_offset - cam_x - (p << wide);
  int64_t box_top = y - (p << tall);
  int32_t box_w = (cols + p) << wide, glyph_h = lines << tall;
  int32_t box_h = (lines + p) << tall;
  int64_t cost = 0;
  if (c->target && std::abs(box_left) < INT32_MAX / 2 && std::abs(box_top) < INT32_MAX / 2) {
    int32_t bl = int32_t(box_left), bt = int32_t(box_top), gy = int32_t(y);
    if (c->solid_background && box_w >= 1 && glyph_h + (p << tall) >= 1)  // empty box: nothing
      rectfill_raw(c->target, bl, bt, bl + box_w - 1, gy + glyph_h - 1, uint8_t(c->background));
    // The rows of the box before tall doubling: a border row, then the glyph.
    uint32_t invert = c->invert ? (1u << box_w) - 1 : 0;
    // Every row below box_h is written before it is read.
    uint32_t pre[MAX_BOX], tall_rows[MAX_BOX];
    if (p) pre[0] = invert;
    if (wide) {
      const uint32_t *spread = wide_dotted ? doubling().pinball_px : doubling().double_px;
      for (int32_t r = 0; r < lines; r++) pre[p + r] = (spread[glyph[r]] << (2 * p)) ^ invert;
    } else {
      for (int32_t r = 0; r < lines; r++) pre[p + r] = (uint32_t(glyph[r]) << p) ^ invert;
    }
    const uint32_t *rows = pre;
    if (tall) {
      for (int32_t i = 0; i < box_h; i++)
        tall_rows[i] = tall_dotted && (i & 1) ? invert : pre[i >> 1];
      rows = tall_rows;
    }
    if (c->outline_mask) {
      uint32_t outline[MAX_BOX + 2] = {};
      for (int32_t k = 0; k < 9; k++) {
        if (!((c->outline_mask >> k) & 1)) continue;
        int32_t dx = k % 3 - 1, dy = k / 3 - 1;
        for (int32_t i = 0; i < box_h; i++)
          outline[i + 1 + dy] |= dx < 0 ? rows[i] : rows[i] << (1 + dx);
      }
      for (int32_t i = 0; i < box_h; i++) outline[i + 1] &= ~(rows[i] << 1);
      cost += glyph_bits(outline, c->target, bl - 1, bt - 1, box_w + 2, box_h + 2,
                         c->outline_colour & 0xFF);
    }
    if (c->underline)
      draw_line(c->target, bl, gy + glyph_h, bl + width, gy + glyph_h, c->foreground);
    if (!(c->outline_mask && (c->outline_colour & OUTLINE_ONLY)))
      cost += glyph_bits(rows, c->target, bl, bt, box_w, box_h, c->foreground);
  }
  spend_cpu(cost / 3);
  c->last_advance = width << wide;
  set_cursor(int64_t(cursor_x()) + c->last_advance, cursor_y());
  c->line_height = std::max(c->line_height, height << tall);
  if (c->decoration_pending) {
    set_cursor(c->saved_x, c->saved_y);
    c->decoration_pending = 0;
  }
  if (c->character_delay >= 1) {
    c->pause_counter = c->character_delay - 1;
    return 1;
  }
  return 0;
}

int32_t print_q7scii(udata *target, const uint8_t *text, int64_t length, int32_t flags,
                     int32_t colours) {
  print_max_x = print_max_y = -1000000;
  print_max_set = 0;
  glyph_ctx_ready = false;
  if (!text || !cproc || length < 0) return 0;
  print_context *c = &cproc->print;
  destroy_print_buffer(c);
  *c = print_context{};
  c->text = static_cast<uint8_t *>(std::calloc(size_t(length) + 4, 1));
  if (!c->text) return 0;
  std::memcpy(c->text, text, size_t(length));
  reset_print_context(c);
  c->read = c->text;
  c->end = c->text + length;
  c->limit = c->end + 4;
  c->wrap_enabled = (flags & PRINT_FLAG_WRAP) ? 1 : 0;
  c->wrap_right = api_clamp32(int64_t(peek4(int32_t(RAM_CAMERA_X))) + cproc->target_clip.right);
  c->home_x = peek4(int32_t(RAM_TEXT_HOME_X));
  c->home_y = cursor_y();
  c->foreground = colours & 63;
  c->background = (colours >> 8) & 63;
  c->target = target;
  c->last_advance = c->width_low;
  if (!(peek(int32_t(RAM_SYSTEM_FLAGS)) & SYSFLAG_PRINT_NO_NEWLINE)) c->end[0] = '\n';
  return run_print(c);
}

int32_t continue_print_text() {
  if (!cproc || !cproc->print.text) return 0;
  print_context *c = &cproc->print;
  // The print's bitmap stays alive only while it is the draw target: once
  // the process draws elsewhere (or has no target) the rest of the text is
  // dropped.
  if (!c->target || c->target != cproc->draw_target) {
    destroy_print_buffer(c);
    return 0;
  }
  refresh_target_clip(cproc);
  get_masks_shape();
  glyph_ctx_ready = false;
  return run_print(c);
}

int lua54__print_q7scii(lua_State *L) {
  if (!cproc || !cproc->draw_target) return 0;
  int t = lua_type(L, 1);
  if (t != LUA_TSTRING && t != LUA_TNUMBER) return 0;
  size_t length = 0;
  const char *s = lua_tolstring(L, 1, &length);
  int n = lua_gettop(L);
  int colour_index = 0;
  if (n <= 2 || (n == 4 && lua_isnil(L, 3) && lua_isnil(L, 4))) {
    poke4(RAM_TEXT_HOME_X, uint32_t(cursor_x()));
    colour_index = n >= 2 ? 2 : 0;
  } else {
    int32_t x = lua_isnumber(L, 2) ? api_int(L, 2, 0) : cursor_x();
    int32_t y = lua_isnumber(L, 3) ? api_int(L, 3, 0) : cursor_y();
    set_cursor(x, y);
    poke4(RAM_TEXT_HOME_X, uint32_t(x));
    colour_index = 4;
  }
  if (colour_index && lua_type(L, colour_index) == LUA_TNUMBER) {
    cproc->inverted_shape = 0;
    set_colp(kvd_intp(L, colour_index, 0));
  }
  refresh_target_clip(cproc);
  get_masks_shape();
  int32_t flags = (peek(int32_t(RAM_SYSTEM_FLAGS)) & SYSFLAG_PRINT_WRAP) ? PRINT_FLAG_WRAP : 0;
  if (print_q7scii(cproc->draw_target, reinterpret_cast<const uint8_t *>(s), int64_t(length), flags,
                   get_pen()) == PRINT_OVERRAN)
    return luaL_error(L, "%s", CPU_OVERRUN_MESSAGE);
  lua_pushinteger(L, print_max_set ? print_max_x : cursor_x());
  lua_pushinteger(L, print_max_set ? print_max_y : cursor_y());
  return 2;
}
