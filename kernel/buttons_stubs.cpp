// Do-nothing button calls, until the buttons are built.
#include "kernel/buttons.h"

void buttons_hold_over_all(proc *) {}
