// The text printer's state, one per process record (all zero when the process
// is created). A paused print keeps the rest of its text here until it is
// resumed or the next print of the process starts.
#pragma once
#include <cstdint>

struct udata;

struct print_context {
  uint8_t *text;   // owned copy: length + 4 zero bytes (the appended newline)
  uint8_t *read;   // the next step starts here
  uint8_t *end;    // text + length (the appended newline lies beyond)
  uint8_t *limit;  // text + length + 4: nothing is ever read from here on
  // The current font's address in process memory (font byte x 256).
  uint32_t font;
  int32_t unused_flag;
  int32_t wrap_enabled, wrap_right;
  int32_t home_x, home_y;
  int32_t foreground, background;  // 0..63
  udata *target;
  int32_t line_height;  // tallest character of the current line; 0: none yet
  int32_t pause_counter;
  int32_t wide, tall, stripes, pinball, border, solid_background, invert;
  int32_t width_low, width_high, height;  // codes below 128, from 128; rows
  int32_t saved_x, saved_y;               // where the last ordinary character began
  int32_t last_advance;
  int32_t tab_width;  // 0: from the font
  int32_t decoration_pending;
  int32_t repeat_count;
  int32_t skip_next;  // a repeat of 0: the next step is passed over unperformed
  int32_t x_offset, y_offset;
  int32_t character_delay;  // frames
  int32_t outline_mask;     // 9 bits: bit k selects the neighbour (k % 3 - 1, k / 3 - 1)
  int32_t outline_colour;   // bit 16: outline only
  int32_t underline;
};
