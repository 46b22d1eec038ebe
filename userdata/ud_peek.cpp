// peek and poke of records against process memory.
#include "userdata/ud_peek.h"

#include "lang/args.h"
#include "base/cpu_budget.h"
#include "machine/memory.h"
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
  frame_check_work(L, n >> 2);
  for (int64_t i = 0; i < n; i++) {
    // Memory addresses wrap at 32 bits (and the memory at 16 MiB).
    int32_t at = int32_t(uint32_t(uint64_t(address) + uint64_t(i) * size));
    uint64_t e = uint64_t(offset + i);
    if (write) {
      uint64_t v = uint64_t(udata_get_int(ud, e));
      switch (size) {
        case 1:
          poke(at, int32_t(v));
          break;
        case 2:
          poke2(at, int32_t(v));
          break;
        case 4:
          poke4(uint32_t(at), uint32_t(v));
          break;
        default:
          poke8(uint32_t(at), v);
          break;
      }
    } else {
      int64_t v = size == 1 ? peek(at) : size == 2 ? peek2(at) : size == 4 ? peek4(at) : peek8(at);
      udata_set_int(ud, e, v);
    }
  }
  spend_cpu(n >> 2);
  lua_pushvalue(L, 1);
  return 1;
}

int lua54_ud_peek(lua_State *L) { return peek_or_poke(L, false); }
int lua54_ud_poke(lua_State *L) { return peek_or_poke(L, true); }
