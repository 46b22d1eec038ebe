// The draw target's cached clip rectangle.
#include "gfx/draw_target.h"

#include <algorithm>
#include <cstdint>

#include "base/ram_layout.h"
#include "machine/memory.h"
#include "machine/process.h"
#include "userdata/udata.h"

// The smaller of a clip edge and an extent, compared unsigned as the edge's
// 32-bit value (a negative edge compares above every extent).
static int32_t unsigned_min(int16_t edge, uint32_t extent) {
  return (int32_t)std::min((uint32_t)(int32_t)edge, extent);
}

void refresh_target_clip(proc *p) {
  if (!p || !p->draw_target) return;
  // Everything that draws into the target asks for its clip first: where the
  // target is mapped into memory, its pages are marked as written here.
  if (p == cproc) udata_note_write(p->draw_target);
  uint64_t word = (uint64_t)(uint32_t)peek4_proc(p, RAM_CLIP_RECT) |
                  (uint64_t)(uint32_t)peek4_proc(p, RAM_CLIP_RECT + 4) << 32;
  if (word != p->target_clip_word) {
    int16_t x0 = (int16_t)word, y0 = (int16_t)(word >> 16);
    int16_t x1 = (int16_t)(word >> 32), y1 = (int16_t)(word >> 48);
    p->target_clip.left = std::max<int32_t>(x0, 0);
    p->target_clip.top = std::max<int32_t>(y0, 0);
    p->target_clip.right = unsigned_min(x1, p->draw_target->width);
    p->target_clip.bottom = unsigned_min(y1, p->draw_target->height);
    p->target_clip_word = word;
  }
  // The target may have been reshaped smaller (mutate) since the clip was
  // made: keep the clip inside it on every use.
  target_clip_rect &c = p->target_clip;
  c.right = (int32_t)std::min<int64_t>(c.right, p->draw_target->width);
  c.bottom = (int32_t)std::min<int64_t>(c.bottom, p->draw_target->height);
}
