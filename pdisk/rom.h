// The .kvd.rom cartridge form: "kvd", a version byte, a u32 compressed size
// and one LZ4 block holding the entries (name, NUL, and for a file its
// length and bytes). Also carries the system ROM.
#pragma once

#include "base/pbuffer.h"

constexpr int ROM_MAX_PAYLOAD = 0x4000000;
constexpr int ROM_MAX_ENTRIES = 16384;
constexpr int ROM_MAX_NAME = 400;

// Writer flags.
constexpr int ROM_SKIP_LABEL = 4;     // leave out label.png and label.qoi
constexpr int ROM_TAKE_INFO_POD = 8;  // pass .info.pod to the label text reader

// Unpacks the ROM (or a legacy pxa or plain-text form) read from src's
// cursor into files and folders under dest ("" keeps the entries' own
// absolute paths). Format errors are printed and end the unpacking; an entry
// that declares more bytes than the ROM holds keeps the bytes that are there.
// 0 when everything was read; -1 when anything was not (a format error, an
// entry passed over, a null dest or src): such a cartridge must never be
// written back over its file.
int populate_ram_folder_from_kvd_rom_buffer(const char *dest, pbuffer *src);

// Appends the ROM form of the RAM folder `folder` to out at its cursor.
// 0 on success; -1, with out unchanged, when the folder holds what the reader
// refuses (a payload above 64 MiB, more than 16384 entries, a name longer
// than 400 characters or holding ".."), or when out or folder is null.
int write_kvd_rom_from_ram_files(pbuffer *out, const pbuffer *folder, int flags);
