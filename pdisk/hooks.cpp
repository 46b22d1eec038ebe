#include "pdisk/hooks.h"

pdisk_hooks pdisk_hook;
