// The PNG cartridge writer as the ROM writer calls it. Still a stub
// (pdisk/png_cart_stubs.cpp) where the PNG cartridge writer is not built.
#pragma once

#include "kernel/pbuffer.h"

// The ROM writer met ".info.pod" while asked for the cartridge's label text
// (writer flag 8); data holds that file's bytes.
void rom_keep_info_pod(const pbuffer *data);
