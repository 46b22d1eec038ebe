// The display's video mode, until the host window is built.
#include "gfx/video.h"

void gfx_set_video_mode(int32_t) {}

// No text printer yet: nothing is drawn.
int print_q7scii(udata *, const char *, int32_t, int32_t, int32_t) { return 0; }
