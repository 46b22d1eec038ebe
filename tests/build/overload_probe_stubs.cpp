// A stub whose real function (overload_probe.cpp) took another signature.
int kvd_overload_probe(const char *) { return 0; }
