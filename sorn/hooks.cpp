#include "sorn/hooks.h"

sorn_hooks sorn_hook;
