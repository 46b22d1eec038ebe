// Do-nothing file-history calls, until the file history is built.
#include "anywhen/anywhen.h"

void anywhen_open() {}
void anywhen_close() {}
void anywhen_event(int, const char *, const char *) {}

// No history yet: every query finds nothing.
int anywhen_list_by_loc(lua_State *, const char *) { return 0; }
int anywhen_list_by_day(lua_State *, const char *) { return 0; }
int anywhen_list_by_folder_moment(lua_State *, const char *) { return 0; }
pbuffer *anywhen_fetch(const char *) { return nullptr; }
