// A process table with a root process and no system ROM, for tests that drive
// processes and slices directly.
#pragma once
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/config.h"
#include "base/cpu_budget.h"
#include "machine/app.h"
#include "machine/process.h"
#include "lang/lua_api.h"
#include "kernel/process_life.h"
#include "kernel/slice.h"
#include "tests/support/workstation_fixture.h"

// The kernel ends the program on fatal errors (with exit code 0); inside a
// test that is a failure, never a silent pass.
inline bool kernel_test_running = false;
inline void kernel_fail_on_exit() {
  if (!kernel_test_running) return;
  std::fprintf(stderr, "the program ended inside a test\n");
  _exit(3);
}

// Everything a shell command prints on standard output ("" when it cannot
// run): the independent references (lua5.4, Python) are read through it.
inline std::string command_output(const std::string &cmd) {
  std::string out;
  if (FILE *p = popen(cmd.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

struct kernel_fixture : workstation_fixture {
  proc *root = nullptr;

  void SetUp() override {
    static const bool registered = std::atexit(kernel_fail_on_exit) == 0;
    (void)registered;
    kernel_test_running = true;
    reset_workstation();
    root = create_process_from_code("--[[ :: root process :: ]]", "[root]", "[root]", "");
    ASSERT_NE(root, nullptr);
    procs.root = root;
    set_current_process(root);
  }
  void TearDown() override {
    reset_subsystems();
    kernel_test_running = false;
  }

  // Creates a process as a child of the root; its id, or 0.
  int64_t spawn(const std::string &code, const char *name = "t") {
    proc *p = create_process_from_code(code.c_str(), name, "/test.lua", "");
    return p ? p->id : 0;
  }
  // Runs Lua code in the root's state as the root's own slice would.
  std::string root_eval(const std::string &code) {
    lua_State *L = root->L;
    int top = lua_gettop(L);
    root->slice_depth++;
    int rc = luaL_loadstring(L, code.c_str());
    if (rc == LUA_OK) rc = lua_pcall(L, 0, 1, 0);
    root->slice_depth--;
    if (rc != LUA_OK) {
      std::string e = lua_tostring(L, -1) ? lua_tostring(L, -1) : "?";
      lua_settop(L, top);
      return "error: " + e;
    }
    const char *s = luaL_tolstring(L, -1, nullptr);
    std::string out = s ? s : "";
    lua_settop(L, top);
    return out;
  }
  // root_eval and root_results run in p's state with p current, as p's own
  // slice would run them; the root is current again afterwards.
  std::string eval_in(proc *p, const std::string &code) { return as(p, code, false); }
  std::string results_in(proc *p, const std::string &expr) { return as(p, expr, true); }
  std::string as(proc *p, const std::string &code, bool results) {
    set_current_process(p);
    proc *saved = root;
    root = p;
    std::string out = results ? root_results(code) : root_eval(code);
    root = saved;
    set_current_process(root);
    return out;
  }
  // Every result of a Lua expression run in the root's state, each through
  // tostring, joined by ",".
  std::string root_results(const std::string &expr) {
    return root_eval("local r = table.pack(" + expr +
                     ") local o = {} for i = 1, r.n do o[i] = tostring(r[i]) end "
                     "return table.concat(o, ',')");
  }
};
