#include "lang/vm_state.h"

#include "lstate.h"

int lang_yielded_to_escape_slice(lua_State *L) { return L->yielded_to_escape_slice; }

void lang_set_yielded_to_escape_slice(lua_State *L, int value) {
  L->yielded_to_escape_slice = value;
}
