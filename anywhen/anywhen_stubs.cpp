// Do-nothing file-history calls, until the file history is built.
#include "anywhen/anywhen.h"

void anywhen_open() {}
void anywhen_close() {}
void anywhen_event(int, const char *, const char *) {}
