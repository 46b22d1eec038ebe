// System settings pushed by userland, and the configuration file
// "kavelund_config.txt" with its host-folder mounts.
#pragma once
#include <cstdint>

// The display signature last applied; all ones until the first application.
extern uint32_t video_hash0;

// Stores one setting in `config`; unknown names change nothing.
void kavelund_apply_setting(const char *name, int64_t value);
// Rebuilds the host window when the display signature changed, then sets the
// synthesiser's volume and stereo swap.
void kavelund_apply_settings();
// Reads (creating it with the default when missing) the configuration file
// and mounts the host folders it lists.
void process_config();
// Display signature: fullscreen, pixel_perfect, allow_highdpi, stretch,
// fullscreen_window, blit_720p in bits 0 to 5.
uint32_t display_signature();
