// The CPU time of the calling thread, for tests that bound how long a call
// works: unlike the wall clock, it does not grow while a busy host runs other
// programs, so a bound on it holds on a loaded machine.
#pragma once

#include <time.h>

inline double thread_cpu_ms() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}
