// The process manager: a table of 512 slots kept compact from slot 0. Each
// record is allocated on its own and the table holds pointers, so compacting
// moves pointers, never records: `cproc` and the callers saved by nested
// slices stay valid while slots and `get_process_by_index` follow the table.
#include "machine/process.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "base/cpu_budget.h"
#include "base/debug_log.h"
#include "base/klog.h"
#include "base/os_time.h"
#include "base/pbuffer.h"
#include "base/ram_layout.h"
#include "machine/alloc.h"
#include "machine/app.h"
#include "machine/memory.h"
#include "machine/message.h"
#include "lang/libset.h"
#include "lang/lua_api.h"
#include "userdata/udata.h"
#include "gfx/print.h"
#include "gfx/ud_metatable.h"
#include "sorn/audio_owner.h"
#include "sorn/sorn.h"
#include "pdisk/cart_mount.h"
#include "anywhen/anywhen.h"
#include "host/fetch.h"
#include "host/os_host.h"
#include "host/sockets.h"
#include "kernel/api.h"
#include "kernel/keep_alive.h"
#include "kernel/process_life.h"
#include "kernel/slice.h"

static bool resetting;  // processes_init is emptying the table

static void copy_text(char *dst, size_t cap, const char *src) {
  std::snprintf(dst, cap, "%s", src ? src : "");
}

udata *get_null_sprite() {
  alignas(8) static uint8_t block[sizeof(udata) + 16 * 16];
  udata *ud = reinterpret_cast<udata *>(block);
  ud->utype = UTYPE_U8;
  ud->dims = 2;
  ud->width = 16;
  ud->height = 16;
  return ud;
}

// The libraries and the API of a new state, registered under protection: an
// allocation that fails here ends the creation instead of the program.
static int register_state_functions(lua_State *L) {
  lang_openlibs(L);
  api_add_c_functions(L);
  host_add_public_c_functions(L);
  add_userdata_metatable_functions(L);
  socket_add_public_c_functions(L);
  return 0;
}

int init_process(proc *p, int64_t id, const char *code, size_t code_len, const char *name,
                 const char *path, const char *env) {
  std::memset(p, 0, sizeof *p);
  p->id = id;
  copy_text(p->name, sizeof p->name, name);
  copy_text(p->prog_path, sizeof p->prog_path, path);
  copy_text(p->env, sizeof p->env, env);
  p->env_given = p->env[0] != 0;
  if (std::strncmp(p->prog_path, "/system/", 8) == 0) p->flags |= 1;
  if (p->env_given) p->flags |= 2;
  if (std::strcmp(p->prog_path, "/system/apps/terminal.lua") == 0) p->flags &= ~1;
  p->parent_id = cproc ? cproc->id : 0;
  p->priority = 1.0;
  copy_text(p->pwd, sizeof p->pwd, "/");

  proc *previous = cproc;
  cproc = p;  // its allocations are charged to it
  lua_State *L = lua_newstate(l_alloc, p);
  if (!L) {
    cproc = previous;
    return 1;
  }
  p->L = L;
  // The keeper goes first, at the bottom of the main stack, below the
  // program's main function.
  bool kept = keep_alive_open(p);
  if (kept) lua_pushcfunction(L, register_state_functions);
  if (!kept || lua_pcall(L, 0, 0, 0) != LUA_OK) {
    klog("could not set up the process's state. ** could not create process **\n");
    lua_close(L);
    p->L = nullptr;
    p->keeper = nullptr;
    cproc = previous;
    return 1;
  }

  p->source = (char *)std::malloc(code_len + 16);
  std::memcpy(p->source, code, code_len);
  std::memset(p->source + code_len, 0, 16);
  p->source_len = code_len;

  char chunkname[256];
  std::snprintf(chunkname, sizeof chunkname, "@%s", p->name);
  // Text only: a precompiled chunk could break the interpreter's invariants.
  if (luaL_loadbufferx(L, p->source, code_len, chunkname, "t") != LUA_OK) {
    const char *msg = lua_tostring(L, -1);
    std::string message = msg ? msg : "?";
    report_error("*syntax error");
    report_error(message.c_str());
    klog("syntax error. ** could not create process **\n");
    klog("%s\n", message.c_str());
    std::free(p->source);
    p->source = nullptr;
    lua_close(L);
    p->L = nullptr;
    p->keeper = nullptr;
    cproc = previous;
    return 1;
  }

  p->message_buffer = create_buffer_2(message_queue_first_capacity, 'r');
  proc_memory_init(p);
  p->state = 0;
  generate_default_wavetable(p);
  generate_default_audio_data(p);
  if (previous) cproc = previous;
  return 0;
}

// Slots 0 .. procs.count - 1 hold records in the order of their ids, every
// later slot is empty.
[[maybe_unused]] static bool process_table_is_compact() {
  if (procs.count < 0 || procs.count > max_processes) return false;
  for (int32_t i = 0; i < max_processes; i++)
    if ((procs.slot[i] != nullptr) != (i < procs.count)) return false;
  for (int32_t i = 1; i < procs.count; i++)
    if (procs.slot[i - 1]->id >= procs.slot[i]->id) return false;
  return true;
}

proc *create_process_from_code(const char *code, const char *name, const char *path,
                               const char *env) {
  klog("creating process %d %s %s\n", (int)procs.next_id, name ? name : "", path ? path : "");
  int64_t id = procs.next_id++;  // every attempt uses up an id
  if (procs.count >= max_processes) {
    klog("process table full\n");
    return nullptr;
  }
  proc *p = (proc *)std::calloc(1, sizeof(proc));
  if (!p) return nullptr;
  int32_t slot = procs.count++;
  procs.slot[slot] = p;
  if (init_process(p, id, code ? code : "", code ? std::strlen(code) : 0, name, path, env) != 0) {
    procs.slot[slot] = nullptr;
    procs.count--;
    std::free(p);
    return nullptr;
  }
  INVARIANT(process_table_is_compact());
  return p;
}

void free_process(proc *p) {
  if (!p) return;
  if (app.exclusive_process == p->id) app.exclusive_process = 0;
  if (app.audio_owner == p->id) app.audio_owner = 0;
  if (p->L) {
    proc *previous = cproc;
    cproc = p;  // the frees are counted against it
    // Finalisers run here: while they do, the state counts as running, so
    // they cannot resume, restart or remove the process being closed.
    // They also get a budget of their own, so one that never returns ends
    // with an error (a warning) even outside a slice, as in a reboot; the
    // cycles they use are then charged as before.
    p->slice_depth++;
    int32_t saved_cycles = cpu_budget.cycles, saved_max = cpu_budget.cycles_max,
            saved_super = cpu_budget.superyielding;
    cpu_budget.cycles = 0;
    cpu_budget.cycles_max = 0;
    cpu_budget.superyielding = 0;
    lua_close(p->L);
    int32_t used = cpu_budget.cycles;
    cpu_budget.cycles = saved_cycles;
    cpu_counter_add(cpu_budget.cycles, used);
    cpu_budget.cycles_max = saved_max;
    cpu_budget.superyielding = saved_super;
    p->slice_depth--;
    p->L = nullptr;
    keep_alive_forget(p);
    alloc_release_lost_target(p);
    p->pending_op = pending_none;
    cproc = previous;
  }
  proc_memory_free(p);
  destroy_print_buffer(&p->print);
  destroy_buffer(p->message_buffer);
  p->message_buffer = nullptr;
  std::free(p->source);
  p->source = nullptr;
  delete_sockets_by_process((int32_t)p->id);
  gurl_cancel_jobs_of(p->id);
  prune_process_mounts(p->id);
}

// Runs p's program again in its record, with parent as its parent.
static void restart_process_now(proc *p, int64_t parent) {
  std::string source(p->source ? p->source : "", p->source ? p->source_len : 0);
  std::string name = p->name, path = p->prog_path, env = p->env;
  int64_t id = p->id;
  // the RAM files it wrote stay, and stay charged to the same id
  int64_t file_bytes = p->file_bytes;
  audio_owner_restart(id);
  free_process(p);
  int failed =
      init_process(p, id, source.data(), source.size(), name.c_str(), path.c_str(), env.c_str());
  p->file_bytes = file_bytes;
  p->parent_id = parent;
  if (!failed) poke_proc(p, RAM_PROCESS_FLAGS, PFLAG_INCREMENTAL_GC);
}

void restart_process(proc *p) {
  if (!p) return;
  if (p == procs.root) {  // the root's own program is the boot script: reboot
    app.reboot_request = 1;
    if (p->pending_op == pending_restart) p->pending_op = pending_none;
    return;
  }
  // The process that asks for the restart becomes the parent (it hears of
  // the new run's end); a process restarting itself keeps its parent.
  int64_t parent = cproc && cproc != p ? cproc->id : p->parent_id;
  if (p->slice_depth > 0) {  // its Lua state is running: restart when its slice ends
    if (p->pending_op != pending_kill) {
      p->pending_op = pending_restart;
      p->restart_parent_id = parent;
    }
    return;
  }
  restart_process_now(p, parent);
}

void finish_pending_restart(proc *p) { restart_process_now(p, p->restart_parent_id); }

void kill_process_by_index(int32_t slot) {
  if (slot < 0 || slot >= procs.count) return;
  proc *p = procs.slot[slot];
  if (p->slice_depth > 0) {  // its Lua state is running: remove it when its slice ends
    p->pending_op = pending_kill;
    return;
  }
  if (p == procs.root && !resetting) slice_fatal_error(SLOT_KERNEL, "root process removed");
  if (p->parent_id != 0) {
    if (proc *parent = get_process(p->parent_id)) {
      char text[128];
      std::snprintf(text, sizeof text,
                    "{event=\"child_completed\",_from=2,_sent_t=%lld,proc_id=%lld}",
                    (long long)os_get_time(), (long long)p->id);
      send_process_message_string(parent, text);
    }
  }
  free_process(p);
  slot = get_process_slot(p);  // finalisers may have removed other processes
  std::memmove(&procs.slot[slot], &procs.slot[slot + 1],
               sizeof(procs.slot[0]) * (size_t)(procs.count - slot - 1));
  procs.count--;
  procs.slot[procs.count] = nullptr;
  INVARIANT(process_table_is_compact());
  if (cproc == p) cproc = nullptr;
  std::free(p);
}

void kill_process_by_id(int64_t id) {
  for (int32_t i = 0; i < procs.count; i++)
    if (procs.slot[i]->id == id) return kill_process_by_index(i);
}

void kill_process(proc *p) {
  if (p) kill_process_by_index(get_process_slot(p));
}

void processes_init() {
  resetting = true;
  // Last slot first; finalisers run by the removals may create processes.
  while (procs.count > 0) kill_process_by_index(procs.count - 1);
  resetting = false;
  process_table_reset();
  cproc = nullptr;
  // The video mode is read from process 3's memory every frame: with no
  // process 3 the picture is full size, so there is no mode to reset here.
}
