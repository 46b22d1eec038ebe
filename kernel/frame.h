// The system frame loop, reboot and shutdown.
#pragma once

// One system frame; returns what the host layer's end of frame returns.
int system_frame();
// The shutdown sequence; the caller then ends the program with exit code 0.
void kavelund_exit();
// SIGTERM and SIGINT become an exit request carried out by the next frame.
void frame_install_signal_handlers();
