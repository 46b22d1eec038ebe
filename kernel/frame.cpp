// The system frame loop, reboot and shutdown.
#include "kernel/frame.h"

#include <semaphore.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "base/klog.h"
#include "machine/app.h"
#include "machine/process.h"
#include "pdisk/cart_mount.h"
#include "pdisk/pfile.h"
#include "anywhen/anywhen.h"
#include "host/capture.h"
#include "host/os_host.h"
#include "host/sockets.h"
#include "kernel/slice.h"
#include "kernel/startup.h"

static volatile std::sig_atomic_t termination_signal;
static sem_t termination_posted;  // one post per host signal
// Monotonic milliseconds of the first host signal; 0 before it.
static std::atomic<int64_t> termination_ms;
static_assert(std::atomic<int64_t>::is_always_lock_free, "set from a signal handler");

static int64_t monotonic_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);  // async-signal-safe
  return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

static void on_termination(int) {
  int64_t none = 0;
  termination_ms.compare_exchange_strong(none, monotonic_ms());
  termination_signal = 1;
  sem_post(&termination_posted);  // async-signal-safe
}

// True once a host signal has left the shutdown passes no more time.
static bool shutdown_passes_out_of_time() {
  int64_t since = termination_ms.load();
  return since != 0 && monotonic_ms() - since >= frame_shutdown_passes_ms;
}

// Set once the shutdown has written out everything that can be lost
// (captures, cartridges, files, the history store, standard output); what
// follows is teardown only: SDL, static destructors, the leak checker's scan.
static std::atomic<bool> shutdown_flushed;

// Waits for the first host signal, then gives the frame loop
// frame_watchdog_ms to shut down; a second signal ends the wait early.
// If the flush has not finished by then, the program ends here, whatever
// the main thread is stuck in: standard output is flushed when nobody holds
// it, and the exit code is 1 (the clean shutdown did not happen). Once the
// flush has finished nothing is lost by a slow teardown, so the watchdog
// stands down; a further signal still ends the program, with exit code 0.
static void watchdog() {
  while (sem_wait(&termination_posted) != 0) {}
  timespec until;
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_sec += frame_watchdog_ms / 1000;
  until.tv_nsec += (long)(frame_watchdog_ms % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec++;
    until.tv_nsec -= 1000000000L;
  }
  int waited;
  while ((waited = sem_timedwait(&termination_posted, &until)) != 0 && errno == EINTR) {}
  if (shutdown_flushed.load()) {
    if (waited != 0)  // the time ran out: wait for a further signal
      while (sem_wait(&termination_posted) != 0) {}
    _exit(0);
  }
  if (ftrylockfile(stdout) == 0) {
    fflush_unlocked(stdout);
    funlockfile(stdout);
  }
  static const char note[] = "kavelund: forced exit after a host signal\n";
  ssize_t ignored = write(2, note, sizeof note - 1);
  (void)ignored;
  _exit(1);
}

void frame_install_signal_handlers() {
  sem_init(&termination_posted, 0, 0);
  std::thread(watchdog).detach();
  struct sigaction sa = {};
  sa.sa_handler = on_termination;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  // A closed standard output gives write errors, never the end of the program;
  // so does a file that grows past the host's file-size limit (the write is
  // refused like one on a full disk).
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

[[noreturn]] static void exit_program() {
  kavelund_exit();
  std::fflush(stdout);
  std::exit(0);
}

static void run_root_pass() {
  prepare_processes_for_frame();
  run_process_slice(procs.root, 1.0);
  update_processes_after_frame();
}

int system_frame() {
  // A host signal wins over a reboot asked for by userland.
  if (termination_signal) app.exit_request = 1;
  if (app.reboot_request && !termination_signal && app.exclusive_process == 0) {
    // Cartridges that cannot be saved now are named and kept, as at exit.
    cart_hold_unsaved();
    klog("--- rebooting ---\n\n");
    reset_app_state();
    cart_restore_unsaved();
  }
  if (app.exit_request) {
    // A host signal does not wait out the hold: the shutdown passes still let
    // the holding process finish, within the watchdog's time.
    if (app.exclusive_process == 0 || termination_signal) exit_program();
    if (app.exit_hold_count++ >= 60) exit_program();
  }
  if (!system_inited) {
    host_system_init();
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
  for (int pass = 0; pass < 120 && app.exclusive_process != 0 && !shutdown_passes_out_of_time();
       pass++)
    run_root_pass();
  capture_reset();               // a running recording or audio capture is written out
  flush_dirty_mounts_at_exit();  // also when a process still holds the system
  sync_fs(1);
  delete_sockets_by_process(0);
  sockets_exit();
  anywhen_close();
  std::fflush(stdout);
  shutdown_flushed.store(true);
  if (system_inited) host_system_exit();
}
