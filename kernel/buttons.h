// The buttons as the signals call them. Until the buttons are built this does
// nothing (kernel/buttons_stubs.cpp).
#pragma once

struct proc;

// Sets the held-over flag of every one of p's 128 buttons and clears their
// current state, so buttons held now read as released until let go.
void buttons_hold_over_all(proc *p);
