// peek and poke of records against process memory.
#include "userdata/ud_peek.h"

#include <cstring>

#include "base/cpu_budget.h"
#include "machine/memory.h"
#include "lang/args.h"
#include "userdata/ud_frame.h"
#include "userdata/udata.h"

static int peek_or_poke(lua_State *L, bool write) {
  udata *ud = to_udata(L, 1);
  if (!ud || (ud->utype & 31) == UTYPE_F64 || !cproc) return 0;
  int64_t total = int64_t(udata_count(ud));
  int64_t address = kvd_intp(L, 2, 0);
  int64_t offset = kvd_intp(L, 3, 0);
  if (offset < 0) offset = 0;
  int64_t count = kvd_intp(L, 4, total);
  int64_t n = total - offset < count ? total - offset : count;
  uint32_t size = utype_size(ud->utype & 31);
  // n is at most the record's count, so n * size at most its 16 MiB.
  int64_t cost = ud_host_work(n * size, UD_NS10_MEMORY);
  frame_check_work(L, cost);
  if (n > 0) {
    // Element offset + i lies at address + i * size, little-endian as the
    // record holds it: the run is one block of bytes, its addresses wrapping
    // at 32 bits (and the memory at 16 MiB). It passes through a buffer of
    // the host's so that a record mapped into that memory is never both
    // source and destination of one host copy.
    uint8_t stage[4096];
    uint8_t *e = udata_elements(ud) + uint64_t(offset) * size;
    uint32_t at = uint32_t(uint64_t(address));
    int64_t left = n * int64_t(size);
    while (left > 0) {
      int32_t chunk = int32_t(left < int64_t(sizeof stage) ? left : int64_t(sizeof stage));
      if (write) {
        std::memcpy(stage, e, size_t(chunk));
        kvd_pwrite(cproc, int32_t(at), stage, chunk);
      } else {
        kvd_read_block(int32_t(at), stage, chunk);
        std::memcpy(e, stage, size_t(chunk));
      }
      e += chunk;
      at += uint32_t(chunk);
      left -= chunk;
    }
  }
  spend_cpu(n < 0 ? -1 : cost);
  lua_pushvalue(L, 1);
  return 1;
}

int lua54_ud_peek(lua_State *L) { return peek_or_poke(L, false); }
int lua54_ud_poke(lua_State *L) { return peek_or_poke(L, true); }
