// Entry point of the workstation program.
#include "kernel/startup.h"

#if defined(__SANITIZE_ADDRESS__)
// Sanitizer builds only. The runtime follows the thread-local blocks of
// libraries loaded at run time (the GL driver's) by intercepting their
// lookups, and guesses a block's extent from a header this C library no
// longer writes: when a block happens to start 16 bytes into a page, the
// end-of-run leak scan reads a made-up range and the checker dies with
// "Tracer caught signal 11" after a clean exit. Those blocks are ordinary
// heap blocks, so the scan keeps them without the lookups' help.
extern "C" const char *__asan_default_options() { return "intercept_tls_get_addr=0"; }
#endif

int main(int argc, char **argv) { kernel_main(argc, argv); }
