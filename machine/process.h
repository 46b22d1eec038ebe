// The process record `proc`, the process table and its lifecycle, and the
// current process `cproc`.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/ram_layout.h"
#include "machine/print_context.h"

struct pbuffer;
struct lua_State;
struct udata;

// A clip rectangle in draw-target pixels; right and bottom are exclusive.
struct target_clip_rect {
  int32_t left, right, top, bottom;
};

constexpr int PROC_PAGE_SIZE = RAM_PAGE_SIZE;
constexpr int PROC_NUM_PAGES = RAM_PAGES;  // 16 MiB of address space

// A process's paged 16 MiB memory.
struct proc_memory {
  // Where bytes 0 .. mapped_length[p] - 1 of page p are reached.
  uint8_t *page_pointer[PROC_NUM_PAGES];
  // 0 while page p is absent (or after unmapping), 4096 for a present page,
  // 1 to 4095 for a page mapped onto the partial tail of a userdata's bytes.
  int32_t mapped_length[PROC_NUM_PAGES];
  // Change marks: every write sets 255; bit 0 belongs to the audio mirror,
  // bit 1 of pages 8 to 11 to the colour tables.
  uint8_t page_flags[PROC_NUM_PAGES];
  // The process's own zero-filled block for page p, or null.
  uint8_t *own_page[PROC_NUM_PAGES];
  // One bit per page set while it is mapped onto a userdata.
  uint64_t mapped_page_bits[PROC_NUM_PAGES / 64];
  // Writes into mapped records mark their pages (udata_mark_mapped_pages):
  // the record marked last since the audio mirror took the marks in, and
  // MAPPED_ALL_WRITTEN (a record mapped more than once was written) and
  // MAPPED_ALIASED (some record is mapped more than once).
  const void *mapped_write_seen;
  uint8_t mapped_marks;
  // 4096 for every own page allocated (counted in the process's memory total).
  int64_t page_bytes;
};

inline constexpr int32_t max_processes = 512;

// Work asked for a process whose slice is running, carried out when it ends.
enum pending_process_op : int32_t { pending_none = 0, pending_kill = 1, pending_restart = 2 };

struct proc {
  // What every frame reads or writes for every process comes first, so that
  // a frame of many idle processes touches few cache lines of each record
  // (the table's search by id reads the same line).
  int64_t id;
  lua_State *L;    // null once closed or when creation failed
  uint64_t clock;  // frames of process time
  int32_t state;   // 0 running, 1 finished or stopped, 2 failed
  // CPU counters, in cycles unless named otherwise.
  int32_t cycles_frame;
  int32_t cycles_since_flip;
  int32_t cycles_last_flip;
  int32_t flipped;
  int32_t frames_since_flip;
  int32_t fps;
  int32_t debt;
  int32_t memory_refused;  // the allocator refused it growth in the running slice
  int32_t activity_stamp;  // host milliseconds; 0: none
  int32_t slice_depth;     // > 0 while its slice runs (its Lua state is busy)
  int64_t kill_flag;       // to be removed for lack of memory
  int64_t parent_id;       // the process current at creation; 0 for the root
  char name[64];
  char prog_path[256];
  char env[64];
  int32_t env_given;
  int32_t flags;  // bit 0: a system program; bit 1: an environment was given
  char *source;   // the program text, kept for restarts
  size_t source_len;
  char pwd[257];
  double priority;
  int32_t boost;
  // Drawing: the record drawing writes into (null while none is set), its
  // clip rectangle, and the clip words at RAM_CLIP_RECT the rectangle was made from.
  udata *draw_target;
  // The block of a draw target that Lua collected while it was still the
  // target (its keep-alive reference was removed through the registry):
  // held here, not freed, so drawing never touches freed memory. Freed when
  // the target changes or the state closes (alloc_release_lost_target).
  void *lost_target_block;
  target_clip_rect target_clip;
  uint64_t target_clip_word;
  int32_t inverted_shape;  // filled shapes fill their outside (set by a colour's bit 35)
  // Sprites by number (null: none) and the map that mget and mset use. Whoever
  // stores a record here (as the draw target) keeps it reachable from the
  // process's Lua state for as long as it is stored.
  udata *sprites[GFX_SPRITES];
  udata *current_map;
  // The thread whose stack holds the table that keeps those records (and
  // mapped arrays) alive; anchored below everything on the state's main
  // stack, where no program can reach it (kernel/keep_alive.h).
  lua_State *keeper;
  print_context print;  // the text printer's state and pending text
  proc_memory mem;
  int32_t audio_priority;
  pbuffer *message_buffer;
  uint64_t random_state[4];  // xoshiro256** words s0..s3; all zero until seeded
  int64_t heap_bytes;        // accounted bytes of the live Lua blocks
  int64_t file_bytes;        // bytes of the RAM files it wrote that still exist
  int64_t baseline;          // heap bytes recorded once by SIGNAL_HEAP_BASELINE
  int32_t pending_op;        // pending_process_op
  // The parent a pending restart gives the process: the one that asked for it.
  int64_t restart_parent_id;
  // stat's audio queries: fields 0..18 of each of the 16 channels, refreshed
  // at most once a process-clock value; the clocks hold the process clock + 1
  // of the last refresh (0: never refreshed).
  int32_t channel_state_cache[16][32];
  uint64_t channel_cache_clock;
  uint64_t active_channels_clock;
  int32_t active_channels;
  // Buttons of 8 players x 16 (index player * 16 + button): the state before
  // the last update, the pressure now (0..255), 1 while a button is ignored
  // until released, and btnp calls left to the next repeat (-1: none).
  uint8_t buttons_previous[128];
  uint8_t buttons_current[128];
  uint8_t buttons_held_over[128];
  int32_t buttons_repeat[128];
};

// The process on whose behalf every API call acts.
extern proc *cproc;

// The table: `count` records kept compact from slot 0. Records are
// allocated one by one, so a record pointer stays valid until that process
// is removed, while slots move when an earlier process is removed.
struct process_table {
  proc *slot[max_processes];
  int32_t count;
  int64_t next_id;  // the next id to give; PID_ROOT after a reset
  proc *root;       // the root process, which runs the boot script; null before it
};
extern process_table procs;

// Empties the table, whose records their owner has removed already, forgets
// the root and gives ids from PID_ROOT again.
void process_table_reset();

proc *get_process(int64_t id);  // null when none
proc *get_process_by_index(int32_t slot);
int32_t get_process_slot(const proc *p);  // -1 when not in the table
int32_t get_process_count();
int32_t get_cproc_id();
// A null record is an internal invariant failure that ends the program.
void set_current_process(proc *p);
