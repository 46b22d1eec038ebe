// The process record `proc` and the current process `cproc`.
//
// Provisional: holds the process id, the paged memory and the random state so
// far; the process manager adds the rest of the record's fields.
#pragma once

#include <cstdint>

constexpr int PROC_PAGE_SIZE = 4096;
constexpr int PROC_NUM_PAGES = 4096;  // 16 MiB of address space

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
  // 4096 for every own page allocated (counted in the process's memory total).
  int64_t page_bytes;
};

struct proc {
  int64_t id;
  proc_memory mem;
  uint64_t random_state[4];  // xoshiro256** words s0..s3; all zero until seeded
};

// The process on whose behalf every API call acts.
extern proc *cproc;

// Finds a live process by id (null when none); the process manager's.
proc *get_process(int64_t id);
