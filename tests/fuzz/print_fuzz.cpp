// Prints arbitrary text with arbitrary print registers and font bytes into a
// small bitmap, resuming every pause, so that no control sequence, command,
// poke or font placement reads or writes outside what it owns and every
// print ends.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "machine/memory.h"
#include "userdata/udata.h"
#include "gfx/font.h"
#include "gfx/pixel.h"
#include "gfx/print.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static proc *p = [] {
    proc *q = new proc{};
    proc_memory_init(q);
    return q;
  }();
  static std::vector<uint64_t> block((sizeof(udata) + 40 * 30) / 8 + 1);
  udata *target = reinterpret_cast<udata *>(block.data());
  target->utype = UTYPE_U8, target->dims = 2, target->width = 40, target->height = 30;
  cproc = p;
  p->draw_target = target;
  p->target_clip = {0, 40, 0, 30};
  if (size < 8) return 0;
  for (uint32_t i = 0; i < GFX_FONT_BYTES; i++) poke(int32_t(RAM_BOOT_FONT + i), lil_font_dat[i]);
  // The registers: flags, font bytes, attributes, sizes, offsets, cursor.
  poke(int32_t(RAM_SYSTEM_FLAGS), data[0]);
  poke(int32_t(RAM_FONT_DEFAULT), data[1] & 1 ? data[1] : 0x40);
  poke(int32_t(RAM_FONT_ALTERNATE), data[2]);
  poke(int32_t(RAM_PRINT_ATTRIBUTES), data[3]);
  poke(int32_t(RAM_PRINT_SIZE), data[4]);
  poke(int32_t(RAM_PRINT_SIZE_HIGH), data[5]);
  poke(int32_t(RAM_PRINT_OFFSETS), data[6]);
  poke4(RAM_TEXT_CURSOR_X, uint32_t(int8_t(data[7])) * 3);
  poke4(RAM_TEXT_CURSOR_Y, 0);
  get_masks_shape();
  int32_t paused = print_q7scii(target, data + 8, int64_t(size - 8), data[0] & 16, 7);
  // Every pause ends: a step runs at most 35 times and pauses for at most
  // 256 resumptions.
  int64_t bound = int64_t(size) * 36 * 256 + 16;
  for (int64_t k = 0; paused && k < bound; k++) paused = continue_print_text();
  if (paused) abort();
  destroy_print_buffer(&p->print);
  return 0;
}
