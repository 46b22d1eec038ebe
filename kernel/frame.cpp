// The system frame loop, reboot and shutdown.
#include "kernel/frame.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "anywhen/anywhen.h"
#include "kernel/klog.h"
#include "host/os_host.h"
#include "host/sockets.h"
#include "kernel/app.h"
#include "kernel/slice.h"
#include "kernel/startup.h"
#include "pdisk/cart_mount.h"
#include "pdisk/pfile.h"

static volatile std::sig_atomic_t termination_signal;

static void on_termination(int) { termination_signal = 1; }

void frame_install_signal_handlers() {
  std::signal(SIGTERM, on_termination);
  std::signal(SIGINT, on_termination);
}

[[noreturn]] static void exit_program() {
  kavelund_exit();
  std::fflush(stdout);
  std::exit(0);
}

static void run_root_pass() {
  prepare_processes_for_frame();
  run_process_slice(root_process, 1.0);
  update_processes_after_frame();
}

int system_frame() {
  if (termination_signal) app.exit_request = 1;
  if (app.reboot_request && app.exclusive_process == 0) {
    flush_dirty_mounts_immediately();
    klog("--- rebooting ---\n\n");
    reset_app_state();
  }
  if (app.exit_request) {
    if (app.exclusive_process == 0) exit_program();
    if (app.exit_hold_count++ >= 60) exit_program();
  }
  if (!system_inited) {
    os_system_init();
    sockets_init();
    system_inited = 1;
  }
  start_frame();
  run_root_pass();
  flush_dirty_mounts_delayed();
  sync_fs(0);
  app.frame_count++;
  return end_frame();
}

void kavelund_exit() {
  for (int pass = 0; pass < 120 && app.exclusive_process != 0; pass++) run_root_pass();
  flush_dirty_mounts_immediately();
  sync_fs(1);
  delete_sockets_by_process(0);
  sockets_exit();
  anywhen_close();
}
