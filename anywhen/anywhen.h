// The file history as the kernel calls it. Until the file history is built
// these do nothing (anywhen/anywhen_stubs.cpp).
#pragma once

void anywhen_open();
void anywhen_close();
// kind 4 with no paths opens the day's log.
void anywhen_event(int kind, const char *path, const char *second_path);
