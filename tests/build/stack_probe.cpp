// Built into two archives: the lower one (KVD_STACK_PROBE_LOW) calls a
// function only the higher one defines.
#ifdef KVD_STACK_PROBE_LOW
int kvd_stack_probe_high();
int kvd_stack_probe_low() { return kvd_stack_probe_high() + 1; }
#else
int kvd_stack_probe_high() { return 1; }
#endif
