// Do-nothing graphics calls, until graphics is built.
#include "gfx/seams.h"

void init_default_coltabs() {}
