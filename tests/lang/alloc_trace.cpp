// Runs a script with an allocator that prints every call, for comparing the
// call sequence of the dialect's build with the unpatched build's. Built
// twice: with KVD_ALLOC6 against the dialect (six-argument allocator, which
// also prints the retry flag and the accounted size) and without it against
// the unpatched core. Each line: "new TAG NSIZE", "realloc OSIZE NSIZE" or
// "free OSIZE", then "| RETRY ACCOUNTED" in the dialect's build; on stderr,
// apart from the script's own output.
#include <cstdio>
#include <cstdlib>

#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"
#if KVD_ALLOC6
#include <climits>

#include "base/cpu_budget.h"
#endif

static void *traced(void *ptr, size_t osize, size_t nsize) {
  if (nsize == 0) {
    if (ptr)
      fprintf(stderr, "free %zu", osize);
    else
      fprintf(stderr, "free-null");
    free(ptr);
    return nullptr;
  }
  if (ptr)
    fprintf(stderr, "realloc %zu %zu", osize, nsize);
  else
    fprintf(stderr, "new %zu %zu", osize, nsize);
  return realloc(ptr, nsize);
}

#if KVD_ALLOC6
static void *trace_alloc(void *, void *ptr, size_t osize, size_t nsize, int retry,
                         size_t accounted) {
  void *p = traced(ptr, osize, nsize);
  fprintf(stderr, " | %d %zu\n", retry, accounted);
  return p;
}
#else
static void *trace_alloc(void *, void *ptr, size_t osize, size_t nsize) {
  void *p = traced(ptr, osize, nsize);
  fprintf(stderr, "\n");
  return p;
}
#endif

int main(int argc, char **argv) {
#if KVD_ALLOC6
  cpu_budget.cycles_max = CPU_OUTSIDE_SLICE;
#endif
  if (argc != 2) return 2;
  lua_State *L = lua_newstate(trace_alloc, nullptr);
  luaL_openlibs(L);
  int status = luaL_loadfile(L, argv[1]);
  if (status == LUA_OK) status = lua_pcall(L, 0, 0, 0);
  if (status != LUA_OK) fprintf(stderr, "%s\n", lua_tostring(L, -1));
  lua_close(L);
  return status;
}
