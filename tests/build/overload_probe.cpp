// The real function, with a signature its stub no longer matches.
int kvd_overload_probe(const unsigned char *, long) { return 1; }
