// Compiles arbitrary text with the dialect (the build with Lua's internal
// assertions) and, when it compiles, runs it as a thread in a state with the
// workstation's libraries and a 64 MiB allocation cap: resumed with a small
// budget again and again, with a full collection between resumes, until it
// ends or a bounded number of resumes has passed. Also converts the text as a
// numeral. lang_compile.dict holds the dialect's tokens.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/cpu_budget.h"
#include "machine/memory.h"
#include "lang/libset.h"
#include "lang/lua_api.h"

namespace {

size_t heap_bytes = 0;
constexpr size_t heap_cap = 64u << 20;

void *capped_alloc(void *, void *ptr, size_t osize, size_t nsize, int, size_t) {
  size_t old = ptr ? osize : 0;
  if (nsize == 0) {
    free(ptr);
    heap_bytes -= old;
    return nullptr;
  }
  if (nsize > old && heap_bytes + (nsize - old) > heap_cap) return nullptr;
  void *p = realloc(ptr, nsize);
  if (p) heap_bytes = heap_bytes - old + nsize;
  return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static proc process;
  static bool ready = false;
  if (!ready) {
    proc_memory_init(&process);
    ready = true;
  }
  cproc = &process;
  std::string text(reinterpret_cast<const char *>(data), size);
  lua_State *L = lua_newstate(capped_alloc, nullptr);
  if (!L) return 0;
  cpu_slice_begin(CPU_UNBUDGETED);
  lang_openlibs(L);
  lua_stringtonumber(L, text.c_str());
  lua_State *T = lua_newthread(L);
  if (luaL_loadbufferx(T, text.data(), text.size(), "=fuzz", "t") == LUA_OK) {
    for (int resumes = 0; resumes < 16; resumes++) {
      cpu_slice_begin(1000);
      int nres;
      int status = lua_resume(T, L, 0, &nres);
      cpu_budget.cycles_max = CPU_UNBUDGETED;
      if (status != LUA_YIELD) break;
      lua_pop(T, nres);
      lua_gc(L, LUA_GCCOLLECT);
    }
  }
  cpu_budget.cycles_max = CPU_UNBUDGETED;
  lua_close(L);
  return 0;
}
