#include "gfx/hooks.h"

gfx_hooks gfx_hook;
