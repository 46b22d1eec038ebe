// The system frame loop, reboot and shutdown.
#pragma once

// One system frame; returns what the host layer's end of frame returns.
int system_frame();
// The shutdown sequence; the caller then ends the program with exit code 0.
// Once it has written everything out (before the host layer's teardown) the
// watchdog stands down.
void kavelund_exit();
// Milliseconds the shutdown may take after SIGTERM or SIGINT to write
// everything out before the watchdog ends the program (exit code 1). The
// teardown after that (SDL, destructors, the leak checker) is not timed.
// Checked builds run several times slower, so their flush gets longer.
#ifdef KVD_CHECK_INVARIANTS
inline constexpr int frame_watchdog_ms = 6000;
#else
inline constexpr int frame_watchdog_ms = 1500;
#endif
// After a host signal, the shutdown passes of a holding process stop once
// this many milliseconds have passed since the signal, so the flush that
// follows them still happens before the watchdog, however slow the machine.
inline constexpr int frame_shutdown_passes_ms = frame_watchdog_ms / 2;

// SIGTERM and SIGINT become an exit request carried out by the next frame;
// a second signal, or the watchdog after frame_watchdog_ms, ends the program
// even when a frame never finishes (exit code 1, or 0 once the shutdown has
// written everything out). SIGPIPE is ignored.
void frame_install_signal_handlers();
