// Text printing: strings of the system's 8-bit character set drawn with the
// bitmap fonts in the printing process's memory. Codes 1..15 are control
// codes (cursor moves, colours, fonts, repeats, commands after code 6 with
// inline glyphs, pokes and pauses); codes 16..255 and 7 are glyphs. Every
// glyph pixel goes through the shape formula of gfx/pixel.h.
//
// Font block: 2048 bytes at (font byte) x 256; glyph of code c is the 8 bytes
// at font + 8c, byte r row r (top first), bit i column i (bit 0 leftmost). The
// slot of code 0 is the header: widths below 128 and from 128, height, x and
// y offsets, flags (bit 0: a width adjustment nibble per code in byte c >> 1,
// bit 1: tab stops measured from the home x) and tab width. An all-zero
// width/height header means 8 x 8. Font bytes are read as peek reads them, so
// a font crossing its page or the end of a mapped region reads what memory
// holds there (absent pages read 0).
//
// Everything acts for the current process: the cursor (0x54F0, 0x54F4), home
// x (0x54F8), camera, clip, pen and print registers (0x5F36, 0x5F56..0x5F5B)
// are its own, and so is the print context.
#pragma once
#include <cstdint>

#include "machine/print_context.h"
#include "lang/lua_api.h"

struct udata;

// The largest cursor x and y seen after any step of the last print, and
// whether a step ran at all.
extern int32_t print_max_x;
extern int32_t print_max_y;
extern int32_t print_max_set;

// Starts a print of length bytes of text into target: flags bit 4 turns
// wrapping on; colours bits 0..5 are the foreground, bits 8..13 the
// background. Returns 0 when the text is finished (or null), 1 when a pause
// or the character delay stopped it with text left, 2 when its steps reached
// the overrun bound and the rest was dropped. Without a current process
// nothing is printed (0).
int32_t print_q7scii(udata *target, const uint8_t *text, int64_t length, int32_t flags,
                     int32_t colours);
// Resumes the current process's paused print: 0 when none is pending, 1
// while it stays paused (the pause counter is counted down) or pauses again.
// A print whose bitmap is no longer the process's draw target is dropped (0),
// as is one whose steps reach the overrun bound (2).
// The frame loop calls it once a frame for every running process
// (resume_paused_prints), so pauses and character delays count frames.
int32_t continue_print_text();
// Performs one step at the read pointer. The workstation's contract fixes its
// answer: 1 when printing must pause, else 0.
int32_t quill7_print_char(print_context *c);
// Draws one glyph of 8 rows (flags bit 0 border, bit 3 one pixel higher) at
// the cursor and advances it. The workstation's contract fixes its answer: 1
// when the character delay pauses, else 0.
int32_t draw_character(print_context *c, const uint8_t *rows, int32_t width, int32_t height,
                       int32_t flags);
// Loads font, attributes and sizes from the print registers.
void reset_print_context(print_context *c);
// Frees the pending text copy and clears its pointers.
void destroy_print_buffer(print_context *c);
// The tab width in force: the context's, else font byte 6, else 3 x width.
int32_t get_active_print_tab_w(const print_context *c);

// _print_q7scii(str, [x, y], [c]): prints at the cursor (1 or 2 arguments,
// the second a colour) or at (x, y) with colour c; returns the largest cursor
// x and y reached (the cursor when no step ran). Nothing without a draw
// target or for a str that is not a string or number.
int lua54__print_q7scii(lua_State *L);
