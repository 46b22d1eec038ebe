// The clock of the file system.
#pragma once

#include <cstdint>

// Milliseconds of the system clock.
uint64_t pdisk_now_ms();
