// Diagnostics and the clock of the file system.
#include "pdisk/diag.h"

#include "host/os_time.h"

uint64_t pdisk_now_ms() { return os_get_time(); }
