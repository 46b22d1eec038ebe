// Graphics as the kernel calls it. Until graphics is built these do nothing
// (gfx/seams.cpp).
#pragma once

// Builds the default colour tables and palettes of the current reset.
void init_default_coltabs();
