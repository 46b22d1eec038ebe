// Diagnostics and the clock of the file system.
#include "pdisk/diag.h"

#include <cstdarg>
#include <cstdio>

#include "host/debug_log.h"
#include "host/os_time.h"

void pdisk_logf(const char *fmt, ...) {
  char line[sizeof hosk_debug_string];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  hosk_debug(line);
}

uint64_t (*pdisk_test_clock)();

uint64_t pdisk_now_ms() { return pdisk_test_clock ? pdisk_test_clock() : os_get_time(); }
