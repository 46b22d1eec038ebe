// The clock of the file system.
#pragma once

#include <cstdint>

// Milliseconds of the system clock, or of clock_test_source when one is set
// (tests drive the write-back timing with it).
uint64_t clock_now_ms();
extern uint64_t (*clock_test_source)();

// Seconds of the UTC calendar since 1970, or clock_test_source() / 1000 when a
// test clock is set: tests give the file history its days that way (a test
// clock in calendar milliseconds serves the write-back timing as well).
int64_t clock_utc_seconds();
