// Stubs of the userland sockets that are not built yet.
#include "host/sockets.h"

void sockets_init() {}
void sockets_exit() {}
void update_all_sockets() {}
void delete_sockets_by_process(int32_t) {}
void socket_add_public_c_functions(lua_State *) {}
