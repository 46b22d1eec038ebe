// Entry point of the workstation program.
#include "kernel/startup.h"

int main(int argc, char **argv) { kernel_main(argc, argv); }
