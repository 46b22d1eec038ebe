// Calls the base services make upward, as function pointers that kernel
// start-up installs (install_hooks) before anything can call them. A hook
// left null is skipped, as documented beside it.
#pragma once

#include <cstdint>

struct base_hooks {
  // The id of the current process, for the debug log's lines (null: 0).
  int64_t (*current_process_id)();
};
extern base_hooks base_hook;
