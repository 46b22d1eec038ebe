// The fixed layout of a process's 16 MiB memory and the fixed roles of
// processes. Every address, bit and role that code uses is named here; each
// subsystem keeps its names in its own section below.
#pragma once

#include <cstdint>

// ---- processes -------------------------------------------------------------

// Process ids with fixed roles.
inline constexpr int64_t PID_ROOT = 1;            // runs the boot script
inline constexpr int64_t PID_WINDOW_MANAGER = 3;  // receives host input and reports
inline constexpr int64_t PID_FIRST_USER = 4;      // ids from here on are user processes

// Slots of the process table whose runtime errors end the program.
inline constexpr int32_t SLOT_KERNEL = 0;
inline constexpr int32_t SLOT_WINDOW_MANAGER = 1;

// ---- memory ----------------------------------------------------------------

inline constexpr uint32_t RAM_SIZE = 0x1000000;  // 16 MiB
inline constexpr uint32_t RAM_PAGE_SIZE = 0x1000;
inline constexpr uint32_t RAM_PAGES = RAM_SIZE / RAM_PAGE_SIZE;
inline constexpr uint32_t RAM_INITIAL_PAGES = 16;  // 0x0000..0xFFFF exist from creation

// ---- kernel ----------------------------------------------------------------

inline constexpr uint32_t RAM_BOOT_FONT = 0x4000;        // small built-in font, 0x1000 bytes
inline constexpr uint32_t RAM_RGB_PALETTE = 0x5000;      // 256 entries of 4 bytes
inline constexpr uint32_t RAM_DISPLAY_WIDTH = 0x5478;    // 16-bit
inline constexpr uint32_t RAM_DISPLAY_HEIGHT = 0x547A;   // 16-bit
inline constexpr uint32_t RAM_VIDEO_COPY_MASK = 0x547D;  // passed on by _blit_process_video
inline constexpr uint32_t RAM_PROCESS_FLAGS = 0x547F;
inline constexpr uint8_t PFLAG_INCREMENTAL_GC = 1 << 0;  // incremental step after each frame
inline constexpr uint8_t PFLAG_HOLD_FRAME = 1 << 1;      // frame held until flip
inline constexpr uint8_t PFLAG_ANY_KEY_STAT = 1 << 4;    // stat's any-key test
inline constexpr uint8_t PFLAG_LOW_PRIORITY = 1 << 5;  // with bit 0 clear: lower reported priority
inline constexpr uint32_t RAM_DISPLAY_PALETTE = 0x5480;  // 64 bytes
inline constexpr uint32_t RAM_CLIP_RECT = 0x5528;        // x0, y0, x1, y1 as 16-bit values
inline constexpr uint32_t RAM_BUTTONS = 0x5580;          // 128 button bytes
inline constexpr uint32_t RAM_MOUSE_LOCK_FLAGS = 0x5F2D;
inline constexpr uint32_t RAM_MOUSE_LOCK_SENS_X = 0x5F28;
inline constexpr uint32_t RAM_MOUSE_LOCK_SENS_Y = 0x5F29;
inline constexpr uint32_t RAM_BTNP_DELAY = 0x5F5C;     // 0 means 30, 255 no repeat
inline constexpr uint32_t RAM_BTNP_INTERVAL = 0x5F5D;  // 0 means 8
inline constexpr uint32_t RAM_COLOUR_TABLES = 0x8000;  // four pages, to 0xBFFF
inline constexpr uint32_t RAM_VIDEO = 0x10000;
inline constexpr uint32_t RAM_MAP = 0x100000;  // where a mapped map udata appears
inline constexpr uint32_t RAM_WAVETABLES = 0xF78000;

// ---- graphics ----------------------------------------------------------------

// ---- audio -------------------------------------------------------------------
