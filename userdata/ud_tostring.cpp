// __tostring of records.
#include "userdata/ud_tostring.h"

#include <cstdint>
#include <cstdio>

#include "userdata/udata.h"

int lua54_ud_tostring(lua_State *L) {
  udata *ud = to_udata(L, 1);
  if (!ud) return 0;
  char text[1024];
  uint32_t w = ud->width;
  if ((ud->utype & 31) == UTYPE_F64 && w >= 2 && w <= 5) {
    const double *e = reinterpret_cast<const double *>(udata_elements(ud));
    uint32_t rows = w == 3 && ud->height == 4 ? 4 : 1;
    size_t at = 0;
    for (uint32_t r = 0; r < rows; r++) {
      for (uint32_t x = 0; x < w; x++) {
        const char *lead = x == 0 ? (r == 0 ? "(" : ",\n(") : ", ";
        at += size_t(std::snprintf(text + at, sizeof text - at, "%s%0.14g", lead, e[r * w + x]));
      }
      at += size_t(std::snprintf(text + at, sizeof text - at, ")"));
    }
  } else {
    std::snprintf(text, sizeof text, "userdata: 0x%x", uint32_t(uintptr_t(ud)));
  }
  lua_pushstring(L, text);
  return 1;
}
