// The CPU time of the calling thread, for tests that bound how long a call
// works: unlike the wall clock, it does not grow while a busy host runs other
// programs, so a bound on it holds on a loaded machine.
#pragma once

#include <sys/resource.h>

inline double thread_cpu_ms() {
  rusage ru;
  getrusage(RUSAGE_THREAD, &ru);
  return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 +
         double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
}

// What one hostile call may take of that time before it returns or is
// refused; the debug and sanitizer builds run many times slower.
#if defined(NDEBUG) && !defined(__SANITIZE_ADDRESS__)
inline constexpr double HOSTILE_CALL_MS = 50;
#else
inline constexpr double HOSTILE_CALL_MS = 3000;
#endif
