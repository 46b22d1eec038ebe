// Built into two archives: one function with two strong definitions.
int kvd_dup_probe() { return 1; }
int kvd_dup_probe_data = 2;
inline int kvd_dup_probe_inline() { return 3; }  // weak: may repeat
int kvd_dup_probe_use() { return kvd_dup_probe_inline(); }
