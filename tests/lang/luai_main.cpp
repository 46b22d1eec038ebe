// The test interpreter: Lua's stock standalone front end over a build of the
// dialect's core, with a bare process memory as the current process and no
// budget at all (CPU_UNBUDGETED: however long it runs, nothing is forced to
// yield).
// With KVD_LUAI_BUDGET=n it runs the script file given as
// its only argument as a resumed thread instead, with a budget of n cycles
// per resume and a full collection every few resumes, and prints the number
// of forced yields to stderr.
#include <cstdio>
#include <cstdlib>

#include "base/cpu_budget.h"
#include "machine/memory.h"
#include "lang/lua_api.h"

int lua_stock_main(int argc, char **argv);

static int run_budgeted(const char *file, int budget) {
  lua_State *L = luaL_newstate();
  luaL_openlibs(L);
  lua_State *T = lua_newthread(L);
  if (luaL_loadfile(T, file) != LUA_OK) {
    fprintf(stderr, "%s\n", lua_tostring(T, -1));
    return 1;
  }
  long yields = 0;
  int status, nres;
  for (;;) {
    cpu_slice_begin(budget);
    status = lua_resume(T, L, 0, &nres);
    cpu_budget.cycles_max = CPU_UNBUDGETED;
    if (status != LUA_YIELD) break;
    lua_pop(T, nres);
    if (++yields % 16 == 0) lua_gc(L, LUA_GCCOLLECT);
  }
  fflush(stdout);
  if (status != LUA_OK) {
    fprintf(stderr, "error: %s\n", lua_tostring(T, -1));
    return 1;
  }
  fprintf(stderr, "forced yields: %ld\n", yields);
  lua_close(L);
  return 0;
}

int main(int argc, char **argv) {
  static proc process;
  proc_memory_init(&process);
  cproc = &process;
  cpu_slice_begin(CPU_UNBUDGETED);
  const char *budget = getenv("KVD_LUAI_BUDGET");
  if (budget && argc == 2) return run_budgeted(argv[1], atoi(budget));
  return lua_stock_main(argc, argv);
}
