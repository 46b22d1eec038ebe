// The one way project code includes Lua. Lua is compiled as C++ here, so its
// headers must not be wrapped in extern "C" (never include lua.hpp), and only
// the patched copy in the build folder may be on the include path.
#pragma once
#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"
