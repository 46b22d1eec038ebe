// Do-nothing write-back and pruning calls, until they are built.
#include "pdisk/kernel_seams.h"

#include "pdisk/pfile.h"

void flush_dirty_mounts_delayed() {}
void delete_clean_ram_mounts() {}
// Until pruning is built, only its every-frame sweep runs: without it each
// closed host file would keep its slot of the file table for good.
void prune_mounts() { sweep_empty_pfiles(); }
void prune_process_mounts(int64_t) {}
