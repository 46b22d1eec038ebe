// The display's video mode, until the host window is built.
#include "gfx/video.h"

void gfx_set_video_mode(int32_t) {}
