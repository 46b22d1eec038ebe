// The text cartridge (.kvd): a readable file in which every file and folder
// of a cartridge folder is an entry beginning with ":: " and its name.
//
//   kavelund cartridge // <address>
//   version 2
//   <empty line>
//   :: folder/                 folders first
//   :: main.lua                text files, stored as they are, then "\n"
//   <contents>
//   :: gfx/0.gfx               binary files (and .info.pod) last: lines of
//   b64$<54 bytes>             base64 in this system's alphabet, 54 bytes on
//   <57 bytes> ...             the first line, 57 on each further one (or
//   :: [eoc]                   "hex$" with 36 then 38 bytes a line)
//
// A file is stored as text only when it reads back byte for byte: a .lua or
// .txt file (or a name holding ".info.pod") of bytes 1..127 that is not empty,
// holds no line beginning with ":: ", "b64$" or "hex$", no CR LF and does not
// end with CR. Everything else is binary.
#pragma once

#include "base/pbuffer.h"
#include "pdisk/pfile.h"

constexpr int KVD_B64_FIRST = 54, KVD_B64_LINE = 57;
constexpr int KVD_HEX_FIRST = 36, KVD_HEX_LINE = 38;
constexpr int KVD_MAX_NAME = 1023;

// True when record f is stored as text (see above).
bool is_writeable_as_ascii(const pfile_entry *f);

// Appends the text cartridge of the RAM folder `folder` to out; with hex set
// binary files use the hex form, else base64.
void write_kvd_from_ram_files(pbuffer *out, const pbuffer *folder, int hex);

// Create the entries of a cartridge read from b's cursor (after the two
// header lines) under RAM or host folder dest. Names with a ".." segment or
// anything but path characters are skipped; reading never fails as a whole.
// 0 when every entry was read; -1 when one was passed over or cut (a skipped
// name, an overlong line, no end mark), so the result is not the cartridge.
int populate_ram_folder_from_kvd_buffer_v2(const char *dest, pbuffer *b);
int populate_ram_folder_from_kvd_buffer_v1(const char *dest, pbuffer *b);
