// The USERDATA table: operators and methods of every record.
#include "userdata/ud_metatable.h"

#include "userdata/ud_access.h"
#include "userdata/ud_blit.h"
#include "userdata/ud_convert.h"
#include "userdata/ud_copy.h"
#include "userdata/ud_index.h"
#include "userdata/ud_peek.h"
#include "userdata/ud_shape.h"
#include "userdata/ud_sort.h"
#include "userdata/ud_tostring.h"

// One row a key, in storing order. An operator and the method of the same
// operation share one function. The element-wise operations (their
// metamethods after "clear", their methods up to "sgn0") and the vector and
// matrix methods (after "mutate", up to "crc") take their places in this
// list as they are built.
const ud_metatable_row ud_metatable_rows[] = {
    {"sort", lua54_ud_sort},
    {"convert", lua54_ud_convert},
    {"copy", lua54_ud_copy},
    {"take", lua54_ud_take},
    {"clear", lua54_ud_clear},
    // element-wise operators and methods go here
    {"__len", lua54_ud_len},
    {"__tostring", lua54_ud_tostring},
    {"__index", lua54_ud_index},
    {"__newindex", lua54_ud_newindex},
    {"set", lua54_ud_set},
    {"get", lua54_ud_get},
    {"blit", lua54_ud_blit},
    {"peek", lua54_ud_peek},
    {"poke", lua54_ud_poke},
    {"width", lua54_ud_width},
    {"height", lua54_ud_height},
    {"attribs", lua54_ud_attribs},
    {"mutate", lua54_ud_mutate},
    // vector and matrix methods go here
};
const size_t ud_metatable_row_count = sizeof ud_metatable_rows / sizeof ud_metatable_rows[0];

void add_userdata_metatable_functions(lua_State *L) {
  lua_newtable(L);
  for (const ud_metatable_row &row : ud_metatable_rows) {
    lua_pushstring(L, row.key);
    lua_pushcclosure(L, row.fn, 0);
    lua_settable(L, -3);
  }
  lua_setglobal(L, "USERDATA");
}
