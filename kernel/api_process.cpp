// Lua process-control API: creating, running, stopping and listing processes.
#include <cmath>
#include <string>
#include <vector>

#include "base/cpu_budget.h"
#include "base/os_time.h"
#include "base/ram_layout.h"
#include "machine/app.h"
#include "machine/memory.h"
#include "machine/process.h"
#include "lang/args.h"
#include "lang/vm_state.h"
#include "gfx/draw_target.h"
#include "gfx/video.h"
#include "host/fetch.h"
#include "host/sockets.h"
#include "kernel/api.h"
#include "kernel/process_life.h"
#include "kernel/slice.h"

// Lua number conversion truncated toward zero; 0 when out of the 64-bit range.
static int64_t arg_truncated(lua_State *L, int i) {
  lua_Number n = lua_tonumber(L, i);
  if (!(n > -9223372036854775808.0 && n < 9223372036854775808.0)) return 0;
  return (int64_t)n;
}

int lua54_pid(lua_State *L) {
  lua_pushinteger(L, cproc ? cproc->id : 0);
  return 1;
}

int lua54__create_process_from_code(lua_State *L) {
  for (int i = 1; i <= 3; i++)
    if (!lua_isstring(L, i)) return 0;
  const char *code = lua_tostring(L, 1);
  const char *name = lua_tostring(L, 2);
  const char *path = lua_tostring(L, 3);
  const char *env = lua_isstring(L, 4) ? lua_tostring(L, 4) : "";
  // A sandboxed process starts only sandboxed processes: its children carry
  // its own environment unless they name one.
  if (cproc && cproc->env_given && !*env) env = cproc->env;
  proc *p = create_process_from_code(code, name, path, env);
  if (!p) return 0;
  lua_pushinteger(L, p->id);
  return 1;
}

static int slice_result(lua_State *L, const char *message) {
  lua_pushboolean(L, 1);
  lua_pushnumber(L, 0.0);
  if (!message) return 2;
  lua_pushstring(L, message);
  return 3;
}

int lua54__run_process_slice(lua_State *L) {
  int32_t id = (int32_t)kvd_exactp(L, 1);
  double fraction = lua_tonumber(L, 2);
  if (std::isnan(fraction)) fraction = 1.0;
  fraction = std::fmax(std::fmin(fraction, 1.0), 0.0);
  if (fraction == 0.0) return 0;
  proc *p = get_process(id);
  if (!p) return slice_result(L, "_run_process_slice: bad process id");
  if (!p->L) return slice_result(L, "_run_process_slice: invalid process");
  // A completed frame, or a slice already running on the chain of callers.
  if (p->flipped || p->slice_depth > 0) return slice_result(L, nullptr);
  uint32_t used = run_process_slice(p, fraction, L);
  p = get_process(id);
  if (!p || !p->L) return slice_result(L, "_run_process_slice: could not find lua state");
  bool done = !(lua_status(p->L) == LUA_YIELD && !p->flipped);
  lua_pushboolean(L, done);
  lua_pushnumber(L, (double)used / (double)CPU_CYCLES_PER_FRAME);
  return 2;
}

// The process a process-control call names. A sandboxed caller reaches
// only itself: any other id is as good as a missing process.
static proc *controlled_process(int64_t id) {
  proc *p = get_process(id);
  if (p && cproc && cproc->env_given && p != cproc) return nullptr;
  return p;
}

int lua54__kill_process(lua_State *L) {
  int64_t id = arg_truncated(L, 1);
  int32_t mode = (int32_t)kvd_intp(L, 2, 0);
  proc *p = controlled_process(id);
  if (!p) return 0;
  if (mode == 0)
    kill_process(p);
  else if (mode == 1)
    restart_process(p);
  return 0;
}

int lua54__close_process_host_resources(lua_State *L) {
  if (proc *p = controlled_process(arg_truncated(L, 1))) {
    delete_sockets_by_process((int32_t)p->id);
    gurl_cancel_jobs_of(p->id);
  }
  return 0;
}

int lua54__halt(lua_State *L) {
  if (cproc) cproc->state = 1;
  cpu_budget.superyielding = CPU_FORCE_YIELD;
  return 0;
}

int lua54_yielded_to_escape_slice(lua_State *L) {
  if (lua_gettop(L) == 1 && lua_type(L, 1) == LUA_TNUMBER) {
    lang_set_yielded_to_escape_slice(L, (uint32_t)kvd_intp(L, 1, 0) != 0 ? 0x40000000 : 0);
    return 0;
  }
  lua_pushboolean(L, lang_yielded_to_escape_slice(L) != 0);
  return 1;
}

int lua54__blit_process_video(lua_State *L) {
  proc *self = cproc;
  if (!self) return 0;
  refresh_target_clip(self);
  proc *src = get_process(kvd_exactp(L, 1));
  if (!src || src->state == 2) return 0;
  int32_t sx = (int32_t)kvd_intp(L, 2, 0), sy = (int32_t)kvd_intp(L, 3, 0);
  int32_t w = (int32_t)kvd_intp(L, 4, peek2_proc(src, RAM_DISPLAY_WIDTH));
  int32_t h = (int32_t)kvd_intp(L, 5, peek2_proc(src, RAM_DISPLAY_HEIGHT));
  int32_t dx = (int32_t)kvd_intp(L, 6, 0), dy = (int32_t)kvd_intp(L, 7, 0);
  // Nothing to draw into, or the source is holding its frame: true.
  if (!self->draw_target || (peek_proc(src, RAM_PROCESS_FLAGS) & PFLAG_HOLD_FRAME)) {
    lua_pushboolean(L, 1);
    return 1;
  }
  uint8_t mask = (uint8_t)peek_proc(src, RAM_VIDEO_COPY_MASK);
  int64_t pixels = blit_from_ram(src, RAM_VIDEO, self->draw_target, sx, sy, dx, dy, w, h, mask);
  // The whole screen copied plainly is free.
  if (!(w == 480 && h == 270 && mask == 0)) spend_cpu(pixels / (mask == 0 ? 64 : 8));
  return 0;
}

int lua54__process_state(lua_State *L) {
  proc *p = get_process(kvd_exactp(L, 1));
  lua_pushinteger(L, p ? p->state : -1);
  return 1;
}

int lua54__get_process_display_size(lua_State *L) {
  proc *p = get_process(kvd_exactp(L, 1));
  lua_pushinteger(L, p ? peek2_proc(p, RAM_DISPLAY_WIDTH) : 0);
  lua_pushinteger(L, p ? peek2_proc(p, RAM_DISPLAY_HEIGHT) : 0);
  return 2;
}

static double reported_priority(proc *p) {
  double priority = p->priority;
  uint8_t flags = (uint8_t)peek_proc(p, RAM_PROCESS_FLAGS);
  if (p->boost)
    priority *= 2.0;
  else if ((flags & PFLAG_LOW_PRIORITY) && !(flags & PFLAG_INCREMENTAL_GC))
    priority *= 0.1;
  if (app.exclusive_process == p->id) priority = 10.0;
  if (p->id < PID_FIRST_USER) priority = 0.0;
  return priority;
}

// What _get_process_list reports of one process, copied out of the record
// before anything is pushed: a finaliser run by an allocation may remove it.
struct process_entry {
  int64_t id;
  std::string name, prog, pwd;
  double cpu, priority;
  int64_t memory;
};

int lua54__get_process_list(lua_State *L) {
  std::vector<process_entry> entries;
  for (int32_t i = 0; i < get_process_count(); i++) {
    proc *p = get_process_by_index(i);
    entries.push_back({p->id, p->name, p->prog_path, p->pwd,
                       (double)p->cycles_last_flip / (double)CPU_CYCLES_PER_FRAME,
                       reported_priority(p), proc_counted_memory(p)});
  }
  lua_createtable(L, (int)entries.size(), 0);
  for (size_t i = 0; i < entries.size(); i++) {
    const process_entry &e = entries[i];
    lua_createtable(L, 0, 7);
    lua_pushinteger(L, e.id);
    lua_setfield(L, -2, "id");
    lua_pushstring(L, e.name.c_str());
    lua_setfield(L, -2, "name");
    lua_pushstring(L, e.prog.c_str());
    lua_setfield(L, -2, "prog");
    lua_pushnumber(L, e.cpu);
    lua_setfield(L, -2, "cpu");
    lua_pushinteger(L, e.memory);
    lua_setfield(L, -2, "memory");
    lua_pushnumber(L, e.priority);
    lua_setfield(L, -2, "priority");
    lua_pushstring(L, e.pwd.c_str());
    lua_setfield(L, -2, "pwd");
    lua_rawseti(L, -2, (lua_Integer)i + 1);
  }
  return 1;
}
