// Conversion between host text (UTF-8, or UTF-16/UTF-32 with a byte-order
// mark) and q7scii, the workstation's 8-bit character set: codes 16-31 and
// 128-255 are glyphs (block graphics, arrows, kana, symbols), 1-15 control
// codes that the host shows as superscripts.
#pragma once

#include "base/pbuffer.h"

// The q7scii bytes of the host text in buffer (its whole length), as a new
// buffer (tag 'i', cursor 0); null for a null buffer. Carriage returns are
// dropped; sequences that name no q7scii code pass byte by byte. Of UTF-16 and
// UTF-32 text only the low byte of each unit is read.
pbuffer *decode_host_text(const pbuffer *buffer);

// The UTF-8 bytes of a zero-terminated q7scii text, as a new buffer (tag 'i',
// cursor 0); a null text gives an empty buffer.
pbuffer *encode_host_text(const char *text);
