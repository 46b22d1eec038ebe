// Do-nothing button calls, until the buttons are built.
#include "kernel/button_seams.h"

void buttons_hold_over_all(proc *) {}
