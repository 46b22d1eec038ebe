// Process slices and the per-frame CPU bookkeeping.
#include "kernel/slice.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/config.h"
#include "base/cpu_budget.h"
#include "base/klog.h"
#include "base/os_time.h"
#include "base/ram_layout.h"
#include "machine/app.h"
#include "machine/memory.h"
#include "machine/message.h"
#include "machine/process.h"
#include "lang/lua_api.h"
#include "gfx/boot_screen.h"
#include "gfx/print.h"
#include "sorn/sorn.h"
#include "pdisk/cart_mount.h"
#include "host/os_host.h"
#include "host/sockets.h"
#include "kernel/process_life.h"

void slice_fatal_error(int32_t slot, const char *message) {
  if (slot == SLOT_KERNEL) {
    std::printf("** RUNTIME ERROR IN KERNEL **\n");
    klog("** RUNTIME ERROR IN KERNEL **\n");
  } else {
    std::printf("** RUNTIME ERROR IN WINDOW MANAGER **\n%s\n", message);
    klog("** RUNTIME ERROR IN WINDOW MANAGER **\n");
  }
  klog("%s\n", message);
  // Unsaved cartridge changes outlive the failed process.
  flush_dirty_mounts_at_exit();
  std::fflush(stdout);
  std::exit(1);
}

// The traceback up to (not including) its first "/system/" frame.
static std::string filter_system_traceback_lines(const char *tb) {
  std::string copy(tb, std::min<size_t>(std::strlen(tb), 16383));
  size_t at = copy.find("/system/");
  if (at != std::string::npos) copy.resize(at);
  return copy;
}

static std::string error_text(lua_State *L) {
  if (lua_type(L, -1) == LUA_TSTRING || lua_type(L, -1) == LUA_TNUMBER) {
    size_t n = 0;
    const char *s = lua_tolstring(L, -1, &n);
    return std::string(s, n);
  }
  return std::string("(error object is a ") + luaL_typename(L, -1) + " value)";
}

// Removes p, which just ended its slice; a process in slot 0 or 1 ends the
// program instead (the root is never removed outside a reset, and nothing
// may move into slot 0).
static void remove_after_slice(proc *p, const char *why) {
  int32_t slot = get_process_slot(p);
  if (slot == SLOT_KERNEL) slice_fatal_error(slot, why);
  kill_process_by_index(slot);
}

// Pushes the traceback of the failed thread given as light userdata.
static int push_traceback(lua_State *L) {
  luaL_traceback(L, static_cast<lua_State *>(lua_touserdata(L, 1)), nullptr, 0);
  return 1;
}

// The traceback of L, a thread that failed. Naming its functions looks in
// the registry, where a program may have left a metamethod that fails or
// never returns: the traceback is read in a thread of its own, under
// protection, with a budget of its own (the overrun bound stops a loop),
// and is empty when that fails.
static std::string failed_traceback(lua_State *L) {
  if (!lua_checkstack(L, 2)) return "";
  lua_State *reader = lua_newthread(L);
  int32_t saved_cycles = cpu_budget.cycles, saved_max = cpu_budget.cycles_max,
          saved_super = cpu_budget.superyielding;
  cpu_budget.cycles = 0;
  cpu_budget.cycles_max = 0;
  cpu_budget.superyielding = 0;
  lua_pushcfunction(reader, push_traceback);
  lua_pushlightuserdata(reader, L);
  std::string tb;
  if (lua_pcall(reader, 1, 1, 0) == LUA_OK && lua_type(reader, -1) == LUA_TSTRING)
    tb = lua_tostring(reader, -1);
  cpu_budget.cycles = saved_cycles;
  cpu_budget.cycles_max = saved_max;
  cpu_budget.superyielding = saved_super;
  lua_pop(L, 1);  // the reader
  return tb;
}

static void report_failure(proc *p, int status) {
  lua_State *L = p->L;
  // Reading the error and the traceback allocates in the failed state; the
  // finalisers that may run meanwhile must not resume or remove p.
  p->slice_depth++;
  std::string message = error_text(L);
  klog("run_process_slice() for process %ld error: %d %s\n", (long)p->id, status, message.c_str());
  std::string tb = failed_traceback(L);
  p->slice_depth--;
  klog("--------\ntraceback:\n%s\n---------\n", tb.c_str());
  report_error("*runtime error");
  report_error(message.c_str());
  report_error(filter_system_traceback_lines(tb.c_str()).c_str());
  int32_t slot = get_process_slot(p);
  if (slot == SLOT_KERNEL || slot == SLOT_WINDOW_MANAGER) slice_fatal_error(slot, message.c_str());
  if (p->id >= PID_FIRST_USER) kill_process(p);
}

// Adds the cycles a slice used to its process's, its caller's and the frame's
// counters.
static void charge_slice(proc *p, proc *caller, int32_t used) {
  cpu_counter_add(p->cycles_frame, used);
  cpu_counter_add(p->cycles_since_flip, used);
  if (caller) {
    cpu_counter_add(caller->cycles_frame, used);
    cpu_counter_add(caller->cycles_since_flip, used);
  }
  cpu_counter_add(cpu_budget.frame_cycles, used);
  cpu_counter_add(cpu_budget.frame_cycles_since_wm_flip, used);
}

uint32_t run_process_slice(proc *p, double fraction, lua_State *from) {
  if (!p) return 0;
  if (p->id >= PID_FIRST_USER && app.exclusive_process != 0 && app.exclusive_process != p->id)
    return 0;
  if (!config.headless && p->id >= PID_FIRST_USER && boot_get_time() < boot_hold_ms) return 0;
  if (p->state != 0 || !p->L) return 0;
  // A process whose slice is running (it, or a process it is running) cannot
  // be resumed again.
  if (p->slice_depth > 0) return 0;

  double want = fraction * (double)CPU_CYCLES_PER_FRAME;
  int64_t budget =
      std::isnan(want) ? 0 : (int64_t)std::clamp(want, -1.0, (double)CPU_CYCLES_PER_FRAME);
  budget = std::min<int64_t>(budget, (int64_t)CPU_CYCLES_PER_FRAME - cpu_budget.frame_cycles);
  if (budget <= 0) return 0;

  proc *caller = cproc;
  cproc = p;
  int32_t saved_cycles = cpu_budget.cycles, saved_max = cpu_budget.cycles_max,
          saved_super = cpu_budget.superyielding;
  cpu_budget.cycles_max = (int32_t)budget;
  int32_t debt = std::min(p->debt, debt_cap);
  int32_t precharge = std::max<int32_t>(0, std::min<int32_t>((int32_t)budget, debt));
  cpu_budget.cycles = precharge;
  p->debt = debt - precharge;
  cpu_budget.superyielding = 0;
  p->memory_refused = 0;

  if (debt >= budget) {
    // Deep in debt: the whole slice goes to paying it down, and not even
    // the one instruction a resume over budget would run is granted.
    cpu_budget.cycles = saved_cycles;
    cpu_budget.cycles_max = saved_max;
    cpu_budget.superyielding = saved_super;
    charge_slice(p, caller, precharge);
    cproc = caller;
    return (uint32_t)precharge;
  }

  p->slice_depth++;
  int nres = 0;
  int status = lua_resume(p->L, from, 0, &nres);
  if (status == LUA_YIELD && nres > 0) lua_pop(p->L, nres);

  int32_t used = cpu_budget.cycles;
  if (used > cpu_budget.cycles_max) {
    cpu_counter_add(p->debt, (int64_t)used - cpu_budget.cycles_max);
    used = cpu_budget.cycles_max;
  }
  if (used < 0) used = 0;
  cpu_budget.cycles = saved_cycles;
  cpu_budget.cycles_max = saved_max;
  cpu_budget.superyielding = saved_super;

  charge_slice(p, caller, used);

  // A slice that fails after the allocator refused it memory ran out of
  // memory: some refusals (a string buffer's growth) surface only as an error.
  if (status != LUA_OK && status != LUA_YIELD && p->memory_refused) p->kill_flag = 1;
  // The collection runs finalisers: the slice still counts as running.
  if (!p->kill_flag && proc_counted_memory(p) > memory_limit) {
    // The collection is p's work, charged as its debt, not to the caller.
    int32_t before = cpu_budget.cycles;
    lua_gc(p->L, LUA_GCCOLLECT);
    cpu_counter_add(p->debt, std::max<int64_t>(0, int64_t(cpu_budget.cycles) - before));
    cpu_budget.cycles = before;
    if (proc_counted_memory(p) > memory_limit) p->kill_flag = 1;
  }
  p->slice_depth--;

  bool yielded = false;  // then p is still in the table: nothing above removed it
  if (p->kill_flag) {
    p->state = 1;
    report_error("*runtime error: out of memory");
    int32_t slot = get_process_slot(p);
    if (slot == SLOT_KERNEL) slice_fatal_error(slot, "out of memory");
    kill_process_by_index(slot);
  } else if (status == LUA_YIELD) {
    yielded = true;  // the process runs on in a later slice
  } else if (status == LUA_OK) {
    p->state = 1;
    remove_after_slice(p, "root process ended");
  } else {
    p->state = 2;
    report_failure(p, status);
  }

  // A kill or restart asked for while this slice ran is carried out now. A
  // record that may have been removed is looked for before it is read.
  if ((yielded || get_process_slot(p) >= 0) && p->slice_depth == 0 &&
      p->pending_op != pending_none) {
    int op = p->pending_op;
    p->pending_op = pending_none;
    if (op == pending_kill)
      remove_after_slice(p, "root process removed");
    else
      finish_pending_restart(p);
  }
  cproc = caller;
  return (uint32_t)used;
}

void prepare_processes_for_frame() {
  for (int32_t i = 0; i < procs.count; i++) {
    proc *p = procs.slot[i];
    p->cycles_frame = 0;
    if (p->flipped) {
      p->fps = 60 / (p->frames_since_flip + 1);
      p->flipped = 0;
      p->frames_since_flip = 0;
      p->cycles_last_flip = p->cycles_since_flip;
      p->cycles_since_flip = 0;
      if (p->id == PID_WINDOW_MANAGER) cpu_budget.frame_cycles_since_wm_flip = 0;
    } else if (p->frames_since_flip < INT32_MAX) {
      p->frames_since_flip++;
    }
  }
  cpu_budget.frame_cycles = 0;
  resume_paused_prints();
}

void resume_paused_prints() {
  proc *caller = cproc;
  int32_t saved_cycles = cpu_budget.cycles, saved_max = cpu_budget.cycles_max;
  // Each resumed print runs as a slice of no budget would: what its steps
  // spend counts against the overrun bound, which drops the rest of a text
  // too costly to go on with.
  cpu_budget.cycles_max = 0;
  // Printing runs no Lua, so no process is created or removed meanwhile.
  for (int32_t i = 0; i < procs.count; i++) {
    proc *p = procs.slot[i];
    if (p->state != 0 || !p->L || !p->print.text) continue;
    cproc = p;
    cpu_budget.cycles = 0;
    continue_print_text();
    // Charged as debt: the process pays at the start of its next slice.
    cpu_counter_add(p->debt, std::max<int32_t>(0, cpu_budget.cycles));
  }
  cpu_budget.cycles = saved_cycles;
  cpu_budget.cycles_max = saved_max;
  cproc = caller;
}

void update_processes_after_frame() {
  bool recent_activity = false;
  uint32_t now = os_get_time();
  for (int32_t i = 0; i < procs.count; i++) {
    proc *p = procs.slot[i];
    if (p->flipped) {
      uint64_t step = (uint64_t)std::min(p->frames_since_flip + 1, 3);
      p->clock += step;
      if (app.battery_saver_active) p->clock += step;
    }
    if (p->state == 0 && p->L) {
      cproc = p;
      if (peek_proc(p, RAM_PROCESS_FLAGS) & PFLAG_INCREMENTAL_GC)
        lua_gc(p->L, LUA_GCINC, 107, 18, 0);
    }
    if (p->activity_stamp != 0 && (int64_t)now < (int64_t)(uint32_t)p->activity_stamp + 100)
      recent_activity = true;
  }
  for (int32_t i = procs.count - 1; i >= 0; i--) {
    if (!procs.slot[i]->kill_flag) continue;
    if (i == SLOT_KERNEL) slice_fatal_error(i, "out of memory");
    kill_process_by_index(i);
  }
  if (audio_op_start(0, 1) == 0) audio_op_end();
  if (proc *wm = get_process(PID_WINDOW_MANAGER))
    host_lock_mouse_cursor(peek_proc(wm, RAM_MOUSE_LOCK_FLAGS),
                           peek_proc(wm, RAM_MOUSE_LOCK_SENS_X),
                           peek_proc(wm, RAM_MOUSE_LOCK_SENS_Y));
  update_all_sockets();
  if (!recent_activity) prune_mounts();
  cproc = get_process_by_index(SLOT_KERNEL);
}
