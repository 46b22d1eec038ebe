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
// The configuration file is read only when it is a regular file of at most
// this many bytes.
inline constexpr int32_t settings_file_cap = 1 << 20;
// Mount-table slots that the configuration file leaves free: the system
// mounts made after it (/host_data, /system, /ram/expcart) and room for
// userland's own mounts, well below the point where pruning gives up (a
// table that still holds 8190 mounts after pruning ends the program).
inline constexpr int32_t settings_reserved_mounts = 64;

// Reads (creating it with the default when nothing is at its path) the
// configuration file and mounts the host folders it lists, stopping with a
// logged message before the table would have no room for the system mounts.
void process_config();
// Display signature: fullscreen, pixel_perfect, allow_highdpi, stretch,
// fullscreen_window, blit_720p in bits 0 to 5.
uint32_t display_signature();
