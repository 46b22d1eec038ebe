// Userland sockets as the kernel calls them. Still stubs
// (host/sockets_stubs.cpp) where sockets are not built.
#pragma once
#include <cstdint>
struct lua_State;
void sockets_init();
void sockets_exit();
void update_all_sockets();
// Closes every socket of that process; 0 closes all.
void delete_sockets_by_process(int32_t process_id);
// Socket functions registered after the workstation API.
void socket_add_public_c_functions(lua_State *L);
