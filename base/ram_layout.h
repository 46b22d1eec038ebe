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

// Audio owner values that are no process id.
inline constexpr int64_t AUDIO_NO_OWNER = -2;          // no process owns the audio
inline constexpr int64_t AUDIO_NOTHING_MIRRORED = -3;  // the mirror holds no process's memory

// Slots of the process table whose runtime errors end the program.
inline constexpr int32_t SLOT_KERNEL = 0;
inline constexpr int32_t SLOT_WINDOW_MANAGER = 1;

// ---- memory ----------------------------------------------------------------

inline constexpr uint32_t RAM_SIZE = 0x1000000;  // 16 MiB
inline constexpr uint32_t RAM_PAGE_SIZE = 0x1000;
inline constexpr uint32_t RAM_PAGES = RAM_SIZE / RAM_PAGE_SIZE;
inline constexpr uint32_t RAM_INITIAL_PAGES = 16;  // 0x0000..0xFFFF exist from creation

// Page flags: every write sets the whole byte of each page written.
inline constexpr uint8_t PAGE_WRITTEN = 0xFF;
inline constexpr uint8_t PAGE_AUDIO_CHANGED = 1 << 0;   // not yet copied to the audio mirror
inline constexpr uint8_t PAGE_COLTAB_CHANGED = 1 << 1;  // colour-table page may differ from default
// Set by the memory functions' writes (every bit is); a mark made through a
// mapped record (udata_mark_mapped_pages) leaves it clear.
inline constexpr uint8_t PAGE_MEMORY_WRITE = 1 << 7;
// Marks of a process's mapped pages as a whole (proc_memory::mapped_marks).
inline constexpr uint8_t MAPPED_ALL_WRITTEN = 1 << 0;  // any mapped page may have changed
inline constexpr uint8_t MAPPED_ALIASED = 1 << 1;      // a record shows at more than one run

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
inline constexpr uint32_t RAM_COLOUR_TABLE_PAGES = 4;
inline constexpr uint32_t RAM_VIDEO = 0x10000;
inline constexpr uint32_t RAM_MAP = 0x100000;  // where a mapped map udata appears
inline constexpr uint32_t RAM_WAVETABLES = 0xF78000;

// ---- graphics ----------------------------------------------------------------

// The draw-state page (page 5) and what drawing reads from it.
inline constexpr uint32_t RAM_LINE_BANKS = 0x5400;          // 2 bits a scan line: a bank 0..3
inline constexpr uint32_t RAM_VIDEO_MODE = 0x547C;          // 3: 240x135 doubled, 4: 160x90 tripled
inline constexpr uint32_t RAM_FILL_PATTERN = 0x5500;        // 8 row bytes, bit x & 7 of row y & 7
inline constexpr uint32_t RAM_READ_MASK = 0x5508;           // source colour mask
inline constexpr uint32_t RAM_WRITE_MASK = 0x5509;          // bits of the old pixel that may change
inline constexpr uint32_t RAM_SPRITE_TARGET_MASK = 0x550A;  // sprites and textured lines
inline constexpr uint32_t RAM_SHAPE_TARGET_MASK = 0x550B;   // pixels, lines, rectangles, ovals
inline constexpr uint32_t RAM_PEN = 0x550C;                 // 16-bit: colour 0 low, colour 1 high
inline constexpr uint32_t RAM_MAP_TILE_WIDTH = 0x550E;      // pixels; 0 means 256
inline constexpr uint32_t RAM_MAP_TILE_HEIGHT = 0x550F;
inline constexpr uint32_t RAM_TLINE_OFFSET_X = 0x5530;  // 16-bit texel offsets
inline constexpr uint32_t RAM_TLINE_OFFSET_Y = 0x5532;
inline constexpr uint32_t RAM_TLINE_WRAP_X = 0x5534;  // 16-bit power of two; 0: no wrap
inline constexpr uint32_t RAM_TLINE_WRAP_Y = 0x5536;
inline constexpr uint32_t RAM_TEXT_CURSOR_X = 0x54F0;  // 32-bit text cursor
inline constexpr uint32_t RAM_TEXT_CURSOR_Y = 0x54F4;
inline constexpr uint32_t RAM_TEXT_HOME_X = 0x54F8;  // 32-bit left margin of printing
inline constexpr uint32_t RAM_CAMERA_X = 0x5510;     // 32-bit, subtracted from positions
inline constexpr uint32_t RAM_CAMERA_Y = 0x5514;
inline constexpr uint32_t RAM_LINE_RESET = 0x551F;  // 1: line has no previous end point
inline constexpr uint32_t RAM_LINE_END_X = 0x5520;  // 32-bit, world position
inline constexpr uint32_t RAM_LINE_END_Y = 0x5524;
inline constexpr uint32_t RAM_SYSTEM_FLAGS = 0x5F36;
inline constexpr uint8_t SYSFLAG_PRINT_NO_NEWLINE = 1 << 2;  // printing appends no newline
inline constexpr uint8_t SYSFLAG_MAP_SPRITE_0 = 1 << 3;      // map drawing draws sprite 0
inline constexpr uint8_t SYSFLAG_PRINT_WRAP = 1 << 7;        // printing starts with wrapping on
inline constexpr uint32_t RAM_FONT_DEFAULT = 0x5F56;    // high byte of the default font's address
inline constexpr uint32_t RAM_FONT_ALTERNATE = 0x5F57;  // high byte of the alternate font's address
inline constexpr uint32_t RAM_PRINT_ATTRIBUTES = 0x5F58;  // used when bit 0 is set
inline constexpr uint32_t RAM_PRINT_SIZE = 0x5F59;        // low: width below 128, high: height
inline constexpr uint32_t RAM_PRINT_SIZE_HIGH = 0x5F5A;   // low: width from 128, high: tab
inline constexpr uint32_t RAM_PRINT_OFFSETS = 0x5F5B;     // low: x offset, high: y offset
inline constexpr uint32_t RAM_SPRITE_FLAGS = 0xC000;      // one byte per sprite number & 0x1FFF
inline constexpr uint32_t GFX_FONT_BYTES = 2048;       // one font: header slot, then 8 bytes a code
inline constexpr uint32_t GFX_BOOT_FONT_BYTES = 4096;  // the built-in block at RAM_BOOT_FONT
inline constexpr uint32_t GFX_STATE_PAGE = RAM_RGB_PALETTE >> 12;     // page 5
inline constexpr uint32_t GFX_COLTAB_PAGE = RAM_COLOUR_TABLES >> 12;  // pages 8..11

// Colour argument bits, and the sizes of the tables behind them.
inline constexpr int64_t GFX_COLOUR_PATTERN_SHIFT = 16;  // bits 16..31: a 4x4 fill pattern
inline constexpr int64_t GFX_COLOUR_LOAD_PATTERN = int64_t(1) << 32;
inline constexpr int64_t GFX_COLOUR_INVERTED = int64_t(1) << 35;  // fill the outside
inline constexpr int32_t GFX_COLOURS = 64;  // colours a table row or palette bank holds
inline constexpr int32_t GFX_COLTAB_BYTES = 4096;
inline constexpr int32_t GFX_SPRITES = 16384;           // entries of a process's sprite table
inline constexpr int32_t GFX_MAP_SPRITE_MASK = 0x1FFF;  // sprite number of a map cell
inline constexpr int32_t GFX_MAP_TURN = 0x2000;         // rows read along the sprite's columns
inline constexpr int32_t GFX_MAP_FLIP_X = 0x4000;
inline constexpr int32_t GFX_MAP_FLIP_Y = 0x8000;

// The output frame.
inline constexpr int32_t SCREEN_WIDTH = 480;
inline constexpr int32_t SCREEN_HEIGHT = 270;
inline constexpr uint8_t VIDEO_MODE_DOUBLED = 3;
inline constexpr uint8_t VIDEO_MODE_TRIPLED = 4;
inline constexpr uint8_t VIDEO_UNREADABLE_COLOUR = 8;  // what a copy shows for absent pages

// ---- audio -------------------------------------------------------------------

// Audio registers in the draw-state page of the process that owns the audio.
inline constexpr uint8_t PFLAG_MUTE_AUDIO =
    1 << 2;  // in RAM_PROCESS_FLAGS: silence, all stands still
inline constexpr uint32_t RAM_SFX_VOLUME = 0x5538;       // scales every channel, 64 = unity
inline constexpr uint32_t RAM_MUSIC_VOLUME = 0x5539;     // scales music channels, 64 = unity
inline constexpr uint32_t RAM_MIX_VOLUME = 0x553A;       // default mix volume of note and sfx
inline constexpr uint32_t RAM_AUDIO_BASE_PAGE = 0x553C;  // instruments and tracks at value << 16
inline constexpr uint32_t RAM_MUSIC_BASE_PAGE = 0x553D;  // music data at value << 16

// Instruments and tracks lie at fixed offsets from a channel's base address.
inline constexpr uint32_t AUDIO_INSTRUMENTS = 0x10000;  // instrument i at base + this + i * 512
inline constexpr uint32_t AUDIO_INSTRUMENT_SIZE = 512;
inline constexpr uint32_t AUDIO_TRACKS = 0x20000;  // track n at base + this + n * 328
inline constexpr uint32_t AUDIO_TRACK_SIZE = 328;
inline constexpr uint32_t AUDIO_MAX_BASE = 0xF00000;     // highest channel base address
inline constexpr uint32_t AUDIO_DEFAULT_BASE = 0x30000;  // base of the default instrument data
inline constexpr uint32_t RAM_DEFAULT_INSTRUMENT = AUDIO_DEFAULT_BASE + AUDIO_INSTRUMENTS;

// Track record: header, then five columns of one byte a row (pitch,
// instrument, volume, effect, effect parameter).
inline constexpr uint32_t TRACK_ROWS = 0;   // 16-bit; 0 is read as 1
inline constexpr uint32_t TRACK_SPEED = 2;  // ticks a row; 0 is read as 16
inline constexpr uint32_t TRACK_LOOP_START = 3;
inline constexpr uint32_t TRACK_LOOP_END = 4;  // loops while above the loop start
inline constexpr uint32_t TRACK_SKIP_ROWS = 5;
inline constexpr uint32_t TRACK_B6 = 6;
inline constexpr uint32_t TRACK_COLUMNS = 8;

// Music: pattern p at the music base + 256 + p * 20, a track byte for each of
// channels 0..7, then the flags and the channel mask.
inline constexpr uint32_t MUSIC_PATTERNS = 256;
inline constexpr uint32_t MUSIC_PATTERN_SIZE = 20;
inline constexpr uint32_t PATTERN_FLAGS = 8;
inline constexpr uint32_t PATTERN_MASK = 9;
inline constexpr uint8_t PATTERN_LOOP_START = 1 << 0;
inline constexpr uint8_t PATTERN_LOOP_BACK = 1 << 1;
inline constexpr uint8_t PATTERN_STOP = 1 << 2;

// Instrument record: node definitions, envelopes, flags byte, wavetable slots.
inline constexpr uint32_t INST_NODE_DEF_SIZE = 32;
inline constexpr uint32_t INST_ENVELOPES = 0x100;
inline constexpr uint32_t INST_ENVELOPE_SIZE = 24;
inline constexpr uint32_t INST_FLAGS = 0x1DF;
inline constexpr uint8_t INST_FLAG_RETRIGGER = 1 << 0;
inline constexpr uint8_t INST_FLAG_STEREO = 1 << 1;
inline constexpr uint32_t INST_WAVETABLE_SLOTS = 0x1E0;  // 4 slots of 4 bytes
inline constexpr uint8_t NODE_FLAG_MUTE = 1 << 1;
inline constexpr uint8_t NODE_FLAG_KEEP_PHASE = 1 << 3;

// Default wavetables: 16384 noise samples, then 256 rows of 1024 samples.
inline constexpr uint32_t RAM_WAVE_NOISE = RAM_WAVETABLES;
inline constexpr uint32_t RAM_WAVE_ROWS = 0xF80000;
inline constexpr uint32_t WAVE_NOISE_SAMPLES = 16384;
inline constexpr uint32_t WAVE_ROW_SAMPLES = 1024;
inline constexpr uint32_t WAVE_ROWS = 256;

// ---- host: captures -----------------------------------------------------------

// Capture parameters in the memory of the process that signals: signed 16-bit
// values x0, y0, w, h, scale, then a word the GIF leaves unread (the
// screenshot's label flag), frames to skip and the silent flag; the name
// follows both blocks.
inline constexpr uint32_t RAM_GIF_PARAMS = 64;
inline constexpr uint32_t RAM_SCREENSHOT_PARAMS = 80;
inline constexpr uint32_t RAM_CAPTURE_NAME = 96;  // 64 bytes; a NUL ends it earlier
inline constexpr int32_t CAPTURE_NAME_BYTES = 64;

// ---- API codes -----------------------------------------------------------------

// _signal(n): requests from userland to the kernel.
inline constexpr int32_t SIGNAL_AUDIO_PRIORITY = 15;  // the caller's audio priority goes up
inline constexpr int32_t SIGNAL_AUDIO_CAPTURE = 16;   // starts or ends the sound capture
inline constexpr int32_t SIGNAL_GIF_START = 18;
inline constexpr int32_t SIGNAL_GIF_END = 19;
inline constexpr int32_t SIGNAL_SCREENSHOT = 21;
inline constexpr int32_t SIGNAL_ACTIVITY = 22;      // user activity now (battery saver)
inline constexpr int32_t SIGNAL_HOLD_BUTTONS = 23;  // held buttons read released until let go
inline constexpr int32_t SIGNAL_EXIT = 33;
inline constexpr int32_t SIGNAL_REBOOT = 34;
inline constexpr int32_t SIGNAL_USERLAND_FLAG_35 = 35;  // read by the boot screen
inline constexpr int32_t SIGNAL_USERLAND_FLAG_36 = 36;  // reported by STAT_USERLAND_FLAG_36
inline constexpr int32_t SIGNAL_USERLAND_BOOTED = 37;
inline constexpr int32_t SIGNAL_HEAP_BASELINE = 38;    // full collection; first call records heap
inline constexpr int32_t SIGNAL_FLUSH_MOUNTS = 39;     // writes dirty mounts, drops clean RAM ones
inline constexpr int32_t SIGNAL_EXCLUSIVE_BEGIN = 40;  // only the caller runs
inline constexpr int32_t SIGNAL_EXCLUSIVE_END = 41;
inline constexpr int32_t SIGNAL_BOOST_ON = 43;
inline constexpr int32_t SIGNAL_BOOST_OFF = 44;
inline constexpr int32_t SIGNAL_ACTIVITY_STAMP = 46;  // mount pruning waits while recent
inline constexpr int32_t SIGNAL_ACTIVITY_CLEAR = 47;
inline constexpr int32_t SIGNAL_MOUNT_DESKTOP = 65;  // mounts the host desktop at /desktop/host

// stat(n): queries.
inline constexpr int32_t STAT_MEMORY = 0;    // counted memory after a full collection
inline constexpr int32_t STAT_CPU = 1;       // share of the frame's budget used
inline constexpr int32_t STAT_LUA_HEAP = 3;  // Lua's own count after a full collection
inline constexpr int32_t STAT_VERSION = 5;   // number and text
inline constexpr int32_t STAT_FPS = 7;
inline constexpr int32_t STAT_UNIX_TIME = 86;
inline constexpr int32_t STAT_TIMEZONE = 87;
inline constexpr int32_t STAT_NIL = 101;
inline constexpr int32_t STAT_EMPTY_TEXT_FIRST = 150;  // 150..153 answer ""
inline constexpr int32_t STAT_EMPTY_TEXT_LAST = 153;
inline constexpr int32_t STAT_FRAME_CPU = 301;  // cycles of the whole frame, in frames
inline constexpr int32_t STAT_KEY_NAME = 302;   // name of a scancode
inline constexpr int32_t STAT_FRAME_COUNT = 303;
inline constexpr int32_t STAT_CPU_SINCE_WM_FLIP = 304;
inline constexpr int32_t STAT_ANY_KEY = 305;
inline constexpr int32_t STAT_BUILD = 306;
inline constexpr int32_t STAT_PROCESS_FLAGS = 307;
inline constexpr int32_t STAT_BUFFERS = 308;
inline constexpr int32_t STAT_BUFFER_BYTES = 309;
inline constexpr int32_t STAT_OPEN_FILES = 310;
inline constexpr int32_t STAT_PAGE_LENGTH = 312;  // mapped length of the page of an address
inline constexpr int32_t STAT_PAGE_BYTES = 313;
inline constexpr int32_t STAT_PI = 314;
inline constexpr int32_t STAT_HEADLESS = 315;
inline constexpr int32_t STAT_INFO_TEXT = 316;
inline constexpr int32_t STAT_CARTRIDGE_KIND = 317;  // 3 exported, else 1
inline constexpr int32_t STAT_GIF_RECORDING = 320;
inline constexpr int32_t STAT_GIF_FRAMES = 321;
inline constexpr int32_t STAT_AUDIO_CAPTURE = 322;
inline constexpr int32_t STAT_BATTERY_SAVER = 330;
inline constexpr int32_t STAT_UNIQUE_ID = 333;
inline constexpr int32_t STAT_CHANNEL_FIRST = 400;  // 400..415: a field of channel n - 400
inline constexpr int32_t STAT_CHANNEL_LAST = 415;
inline constexpr int32_t STAT_ACTIVE_CHANNELS = 464;
inline constexpr int32_t STAT_MIX_SAMPLES = 465;
inline constexpr int32_t STAT_MUSIC_STATE = 466;  // 466 and 467: music state 0 and 1
inline constexpr int32_t STAT_MUSIC_STATE_LAST = 467;
inline constexpr int32_t STAT_AUDIO_LAST = 497;  // 400..497 answer only the audio owner
inline constexpr int32_t STAT_ANYTHING_PLAYING = 498;
inline constexpr int32_t STAT_AUDIO_OWNER = 499;
inline constexpr int32_t STAT_FLIPPED = 984;
inline constexpr int32_t STAT_BOOT_FINISHED = 985;
inline constexpr int32_t STAT_USERLAND_FLAG_36 = 986;
inline constexpr int32_t STAT_BOOT_TIME = 987;
inline constexpr int32_t STAT_BOTH_CTRL_KEYS = 988;
