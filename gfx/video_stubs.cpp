// Do-nothing graphics calls, until graphics is built.
#include "gfx/video.h"

void init_default_coltabs() {}

void gfx_set_video_mode(int32_t) {}

int64_t blit_from_ram(proc *, int32_t, udata *, int32_t, int32_t, int32_t, int32_t, int32_t,
                      int32_t, uint8_t) {
  return 0;
}
