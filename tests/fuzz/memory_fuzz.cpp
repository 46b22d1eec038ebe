// Drives a process memory with pokes, copies and fills taken from the input,
// with one page mapped onto a short userdata tail, and checks every read
// against a sparse model of the 16 MiB ring.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "machine/memory.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // One process for the whole run (fresh pages are costly under the
  // sanitizers); the bytes an input wrote are cleared after it.
  static proc *p = [] {
    proc *q = new proc{};
    proc_memory_init(q);
    return q;
  }();
  static std::vector<uint8_t> model(0x1000000, 0);  // flat ring, reset after each input
  std::vector<uint32_t> touched;
  std::vector<uint8_t> ud(1 + (size % 200), 0);  // a partial userdata tail
  auto get = [&](uint32_t a) -> uint8_t { return model[a & 0xFFFFFF]; };
  auto set = [&](uint32_t a, uint8_t v) {
    model[a & 0xFFFFFF] = v;
    touched.push_back(a & 0xFFFFFF);
  };
  p->mem.page_pointer[0x20] = ud.data();
  p->mem.mapped_length[0x20] = int32_t(ud.size());
  cproc = p;
  size_t i = 0;
  auto byte = [&]() -> uint32_t { return i < size ? data[i++] : 0; };
  // Addresses cluster around page ends, the mapped page and the top of memory.
  auto addr = [&]() -> int32_t {
    uint32_t base[4] = {0x20000, 0xFFFFF0, 0x1FF0, 0x7FFFFFF0};
    return int32_t(base[byte() & 3] + (byte() << 4) + byte());
  };
  for (int ops = 0; i < size && ops < 8; ops++) {
    uint32_t op = byte() % 5;
    int32_t a = addr();
    uint32_t v = byte() | byte() << 8;
    if (op == 0) {
      poke4(uint32_t(a), v * 0x10001u);
      for (int k = 0; k < 4; k++) set(uint32_t(a) + k, uint8_t((v * 0x10001u) >> (8 * k)));
    } else if (op == 1) {
      int32_t b = addr(), len = int32_t(v % 600);
      kvd_memcpy(a, b, len);
      std::vector<uint8_t> tmp(static_cast<size_t>(len));
      for (int32_t k = 0; k < len; k++) tmp[k] = get(uint32_t(b) + k);
      for (int32_t k = 0; k < len; k++) set(uint32_t(a) + k, tmp[k]);
    } else if (op == 2) {
      int32_t len = int32_t(v % 600);
      kvd_memset(a, int32_t(v >> 3), len);
      for (int32_t k = 0; k < len; k++) set(uint32_t(a) + k, uint8_t(v >> 3));
    } else {
      for (int k = 0; k < 8; k++)
        if (peek(int32_t(uint32_t(a) + k)) != get(uint32_t(a) + k)) abort();
    }
  }
  for (uint32_t a : touched)
    if (peek(int32_t(a)) != model[a]) abort();
  for (uint32_t a : touched) {
    model[a] = 0;
    poke(int32_t(a), 0);
  }
  // Unmap the userdata, as unmapping does: back to the own page, if any.
  p->mem.page_pointer[0x20] = p->mem.own_page[0x20];
  p->mem.mapped_length[0x20] = 0;
  cproc = nullptr;
  return 0;
}
