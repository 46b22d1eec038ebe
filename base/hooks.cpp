#include "base/hooks.h"

base_hooks base_hook;
