// Lua system signals, system settings, flip and burn.
#include <cstdio>
#include <cstring>

#include "base/cpu_budget.h"
#include "base/klog.h"
#include "base/os_time.h"
#include "base/paths.h"
#include "base/ram_layout.h"
#include "machine/app.h"
#include "machine/memory.h"
#include "machine/message.h"
#include "machine/process.h"
#include "lang/args.h"
#include "pdisk/cart_mount.h"
#include "pdisk/fileops.h"
#include "pdisk/mount.h"
#include "host/capture_audio.h"
#include "host/capture_gif.h"
#include "host/capture_screenshot.h"
#include "kernel/api.h"
#include "kernel/buttons.h"
#include "kernel/settings.h"

static int32_t next_audio_priority = 1;

static void mount_desktop_folder() {
  char path[2048];
  paths_prefix_desktop("kavelund_desktop", path);
  paths_mkdir(path);
  if (host_directory_exists(path))
    mount_host_path("/desktop/host", path);
  else
    notify("could not mount desktop");
}

// Requests that reach past the caller: ending or rebooting the
// workstation, and holding or letting go of the whole system.
static bool signal_reaches_others(int32_t n) {
  return n == SIGNAL_EXIT || n == SIGNAL_REBOOT || n == SIGNAL_EXCLUSIVE_BEGIN ||
         n == SIGNAL_EXCLUSIVE_END;
}

int lua54__signal(lua_State *L) {
  int32_t n = (int32_t)kvd_intp(L, 1, 0);
  proc *p = cproc;
  // A sandboxed process acts only on itself.
  if (p && p->env_given && signal_reaches_others(n)) return 0;
  switch (n) {
    case SIGNAL_AUDIO_PRIORITY:
      if (p) p->audio_priority = next_audio_priority++;
      break;
    case SIGNAL_AUDIO_CAPTURE:
      if (audio_capture_running())
        audio_capture_end();
      else
        audio_capture_start();
      break;
    case SIGNAL_GIF_START:
      if (gif_start() == 0) {
        app.gif_recording = 1;
        app.gif_frame_count = 0;
      }
      break;
    case SIGNAL_GIF_END:
      if (app.gif_recording) {
        gif_end();
        app.gif_recording = 0;
      }
      break;
    case SIGNAL_SCREENSHOT:
      request_screenshot();
      app.screenshot_request = 1;
      break;
    case SIGNAL_ACTIVITY:
      app.last_activity = os_get_time();
      break;
    case SIGNAL_HOLD_BUTTONS:
      if (p) buttons_hold_over_all(p);
      break;
    case SIGNAL_EXIT:
      app.exit_request = 1;
      break;
    case SIGNAL_REBOOT:
      app.reboot_request = 1;
      break;
    case SIGNAL_USERLAND_FLAG_35:
      app.userland_flag_35 = 1;
      break;
    case SIGNAL_USERLAND_FLAG_36:
      app.userland_flag_36 = 1;
      break;
    case SIGNAL_USERLAND_BOOTED:
      app.userland_booted = 1;
      break;
    case SIGNAL_HEAP_BASELINE:
      if (p && p->L) {
        lua_gc(p->L, LUA_GCCOLLECT);
        if (p->baseline == 0) p->baseline = p->heap_bytes;
      }
      break;
    case SIGNAL_FLUSH_MOUNTS:
      flush_dirty_mounts_immediately();
      delete_clean_ram_mounts();
      break;
    case SIGNAL_EXCLUSIVE_BEGIN:
      if (p) app.exclusive_process = p->id;
      break;
    case SIGNAL_EXCLUSIVE_END:
      app.exclusive_process = 0;
      break;
    case SIGNAL_BOOST_ON:
      if (p) p->boost = 1;
      break;
    case SIGNAL_BOOST_OFF:
      if (p) p->boost = 0;
      break;
    case SIGNAL_ACTIVITY_STAMP:
      if (p) p->activity_stamp = (int32_t)os_get_time();
      break;
    case SIGNAL_ACTIVITY_CLEAR:
      if (p) p->activity_stamp = 0;
      break;
    case SIGNAL_MOUNT_DESKTOP:
      mount_desktop_folder();
      break;
    default:
      break;
  }
  return 0;
}

int lua54__apply_system_settings(lua_State *L) {
  if (!lua_istable(L, 1)) {
    std::printf("** lua54__apply_system_settings failed; not a table\n");
    std::fflush(stdout);
    return 0;
  }
  lua_settop(L, 1);
  lua_pushnil(L);
  while (lua_next(L, 1)) {
    // A sandboxed process may not open the network for itself.
    bool locked = lua_type(L, -2) == LUA_TSTRING && cproc && cproc->env_given &&
                  std::strcmp(lua_tostring(L, -2), "network_access") == 0;
    if (lua_type(L, -2) == LUA_TSTRING && !locked) {
      int64_t value = 0;
      if (lua_isboolean(L, -1)) {
        value = lua_toboolean(L, -1);
      } else if (lua_type(L, -1) == LUA_TNUMBER) {
        int ok = 0;
        lua_Integer v = lua_tointegerx(L, -1, &ok);
        value = ok ? (int64_t)v : 0;
      }
      kavelund_apply_setting(lua_tostring(L, -2), value);
    }
    lua_pop(L, 1);
  }
  kavelund_apply_settings();
  return 0;
}

int lua54_flip(lua_State *L) {
  if (!(kvd_intp(L, 1, 0) & 1) && cproc) {
    poke_proc(cproc, RAM_PROCESS_FLAGS, peek_proc(cproc, RAM_PROCESS_FLAGS) & ~PFLAG_HOLD_FRAME);
    cproc->flipped = 1;
    cproc->activity_stamp = 0;
  }
  cpu_budget.superyielding = CPU_FORCE_YIELD;
  return 0;
}

int lua54_burn(lua_State *L) {
  spend_cpu((int32_t)kvd_intp(L, 1, 0));
  return 0;
}
