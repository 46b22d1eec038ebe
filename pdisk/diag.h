// The clock of the file system.
#pragma once

#include <cstdint>

// Milliseconds of the system clock, or of pdisk_test_clock when one is set
// (tests drive the write-back timing with it).
uint64_t pdisk_now_ms();
extern uint64_t (*pdisk_test_clock)();
