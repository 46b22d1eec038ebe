// Stub of the PNG cartridge writer, which is not built yet.
#include "pdisk/png_cart.h"

// The label text is not kept yet.
void rom_keep_info_pod(const pbuffer *) {}
