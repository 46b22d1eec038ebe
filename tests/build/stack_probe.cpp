// Built into three archives: the lower one (KVD_STACK_PROBE_LOW) calls a
// function only the higher one defines; another lower one
// (KVD_STACK_PROBE_WEAK_LOW) has a weak default that the higher one overrides.
#ifdef KVD_STACK_PROBE_LOW
int kvd_stack_probe_high();
int kvd_stack_probe_low() { return kvd_stack_probe_high() + 1; }
#elif defined(KVD_STACK_PROBE_WEAK_LOW)
__attribute__((weak)) int kvd_stack_probe_override() { return 0; }
int kvd_stack_probe_weak_user() { return kvd_stack_probe_override() + 1; }
#else
int kvd_stack_probe_high() { return 1; }
int kvd_stack_probe_override() { return 2; }
#endif
