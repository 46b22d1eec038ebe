// The part the capture files share: a capture's parameter block, read from
// the current process and clamped, the free name its file gets, and the
// notification that reports it.
#pragma once
#include <cstdint>

#include "base/ram_layout.h"

struct capture_settings {
  int32_t x0, y0, w, h, scale, label, skip, silent;
  char name[CAPTURE_NAME_BYTES + 1];
};

// Reads the block at base (and the name at RAM_CAPTURE_NAME) from the current
// process: the region within the screen and at least 16 pixels a side, scale
// 1..4, frames to skip 0..32, flags 0 or 1.
capture_settings capture_read_settings(uint32_t base);
// Sends text to the window manager unless silent is set.
void capture_notify_unless(int silent, const char *text);
// One 8-bit channel of a 0x00RRGGBB word.
inline uint8_t capture_channel(uint32_t word, int shift) { return uint8_t(word >> shift); }
// "/desktop/host/<name><ext>", or the first free "/desktop/host/<name>_<n><ext>"
// for n = 1..255; null when all are taken. Valid until the next call.
const char *get_capture_filename(const char *name, const char *ext);
