// Every program built on the whole stack (kvd_all: the workstation, its
// tests and tools) has the upward hooks from the moment it is loaded, before
// any of its own code runs.
#include "kernel/startup.h"

namespace {
const bool hooks_installed = (install_hooks(), true);
}  // namespace
