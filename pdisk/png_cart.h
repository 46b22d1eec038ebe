// PNG cartridges: a 512x384 picture showing the cartridge's label and title
// that carries the whole cartridge, in .kvd.rom form, in the low bits of its
// pixels (3 bits of each of R, G and B, 2 of A; bytes in memory order, each
// ROM byte least significant bit first into the carrier bytes' low bits).
#pragma once

#include <cstdint>
#include <string>

#include "base/pbuffer.h"

struct proc;
struct udata;

// The carrier picture.
constexpr int32_t PNG_CART_WIDTH = 512;
constexpr int32_t PNG_CART_HEIGHT = 384;
// ROMs of this many bytes or more are refused (the picture holds 270336).
constexpr int32_t PNG_CART_MAX_ROM = 0x40000;
// Where the 480x270 label lands in the carrier.
constexpr int32_t PNG_CART_LABEL_X = 16;
constexpr int32_t PNG_CART_LABEL_Y = 38;
// The printed title and byline, and where they are stamped.
constexpr int32_t LABEL_TEXT_WIDTH = 178;
constexpr int32_t LABEL_TEXT_HEIGHT = 20;
constexpr int32_t LABEL_TITLE_X = 80, LABEL_TITLE_Y = 326;    // doubled rows 0..9
constexpr int32_t LABEL_BYLINE_X = 80, LABEL_BYLINE_Y = 354;  // rows 10..19 as they are

// The label text printer's pseudo-process (outside the process table) and its
// only bitmap; both made by the first init_label_proc.
extern proc *label_proc;
extern udata *label_back;
// Label text was printed for the write in progress.
extern int32_t generated_info_label;
// The copy of ".info.pod" met by the ROM writer (flag 8), and whether one was.
extern pbuffer *info_pod_buffer;
extern int32_t generated_info_pod_buffer;

// Appends the PNG cartridge of the RAM folder `folder` to out. 0 when written;
// -1 (out unchanged) when the folder cannot be packed as a ROM or its ROM is
// PNG_CART_MAX_ROM bytes or more, which also notifies "failed to store
// cartridge rom as png (too large)" unless quiet (a write-back that retries a
// refused cartridge has said so once already). The carrier is "/system/misc/kvd_cart.png"
// when that is a 512x384 PNG, else a plain one; the label is folder's
// "label.png" when it is 480x270, else (only when there is no "label.png")
// its 480x270 "label.qoi"; title and byline come from its ".info.pod".
int write_kvd_png_from_ram_files(pbuffer *out, const pbuffer *folder, int quiet = 0);

// The ROM (from "kvd" to the end of its compressed block) hidden in a PNG
// cartridge's bytes, in a new buffer; null when png is not a 512x384 PNG or
// carries no whole ROM.
pbuffer *read_kvd_rom_from_png(pbuffer *png);

// The label a PNG cartridge's picture shows, as a new 480x270 QOI (colour
// space linear): the label area's top bits (5 of R, G and B, 6 of A; the low
// ones carry the ROM) repeated into the low bits. Null when png is not a
// 512x384 PNG or its label area shows only the carrier the writer would use
// now, that is when no label was placed.
pbuffer *read_kvd_png_label(pbuffer *png);

// False when the folder's label.png (or, without one, its label.qoi) is no
// picture of the label's size: the writer could not show it, and the
// cartridge would lose it when written.
bool png_cart_label_fits(const char *folder);

// The ROM writer met ".info.pod" while asked for the label text (flag 8):
// keeps a copy of data and prints its label text.
void rom_keep_info_pod(const pbuffer *data);
// First call only: makes label_back and sets up label_proc.
void init_label_proc();
// Clears label_back and prints the title and byline of the ".info.pod" text
// into it through the text printer, as label_proc; sets generated_info_label.
void extract_label_text(const pbuffer *info);
// The title and the byline that extract_label_text prints: the values of
// ,title=" ,version=" and ,author=" in text (each up to the next double quote
// not after a backslash; empty means none); the byline is "by AUTHOR" without
// a version, "VERSION by AUTHOR" or "VERSION" with one, empty when the
// version is longer than 199 or (alone) the author longer than 799.
void label_text_lines(const char *text, int32_t length, std::string *title, std::string *byline);

// Start-up and reboot: forgets the kept ".info.pod" copy and the flags.
void png_cart_reset();
