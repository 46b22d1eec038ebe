// Do-nothing write-back and pruning calls, until they are built.
#include "pdisk/kernel_seams.h"

void flush_dirty_mounts_delayed() {}
void delete_clean_ram_mounts() {}
void prune_mounts() {}
void prune_process_mounts(int64_t) {}
