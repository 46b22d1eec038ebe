// TCP and UDP sockets for userland. Sockets are IPv6 listeners (IPv4 peers
// arrive as mapped addresses) or outgoing connections to whatever the host's
// address lookup returns; all are non-blocking and live in one packed table
// shared by every process, each owned by the process that created or accepted
// it. A listening UDP socket's datagrams are drained once a frame into queues,
// one per peer address and port of that listener; accepting the listener hands
// out one queue as a socket of its own, which answers the peer through the
// listener's descriptor, and closing that socket drops its queue.
//
// Nothing here waits for the network: connects are non-blocking from the
// start, and host names are looked up on worker threads (numeric addresses
// at once). A process reaches only the sockets it owns. While network_access
// is off nothing is accepted, drained, read or written.
//
// A TCP connection whose peer has closed its side reads as "closed by peer"
// but keeps its descriptor for writing until the program closes it.
//
// Every host descriptor is closed exactly once: a UDP peer socket only
// borrows its listener's descriptor, and closing the listener takes it from
// its peers too. Host error numbers reach userland in one numbering on every
// host ("errno %d", with the numbers of socket_errno_table).
//
// The Lua functions never raise: they answer nothing, a result, or nil and a
// message. All of this runs on the main thread.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <vector>

struct lua_State;
struct pbuffer;

inline constexpr int32_t SOCKETS_MAX = 512;
inline constexpr int32_t SOCKBUFS_MAX = 512;
inline constexpr int32_t SOCKET_ADDRESS_MAX = 1024;  // address texts, with their NUL
inline constexpr int32_t SOCKET_NO_FD = -1;
// A peer queue takes a datagram only while it stays below this many bytes
// (the length words included).
inline constexpr int32_t SOCKBUF_LIMIT = 0x10000;
// Datagrams drained from one listener in one frame; the rest wait in the
// host's buffer for the next frame, so a flood cannot hold the frame up.
inline constexpr int32_t SOCKET_DRAIN_MAX = 4096;
// Peer queues of one listener that no socket has accepted yet: a new peer
// past this many drops the listener's oldest unaccepted queue.
inline constexpr int32_t SOCKBUF_UNACCEPTED_MAX = 64;
// Host name lookups running at once (on worker threads) for sockets that
// are still open; a closed socket's lookup stops counting, though its worker
// may run on.
inline constexpr size_t SOCKET_LOOKUPS_MAX = 16;
// Lookup workers alive at once, those of closed sockets included.
inline constexpr size_t SOCKET_LOOKUP_WORKERS_MAX = 256;
// What one process may hold of the pools: sockets, and lookups running.
inline constexpr int32_t SOCKETS_PROCESS_SHARE = 128;
inline constexpr size_t SOCKET_LOOKUPS_PROCESS_SHARE = 4;
// Cycles charged to the calling process: making or accepting a socket (a
// host socket, its options and a connect or bind), a name lookup on top of
// that (a worker thread), and any other call; a read or write costs a cycle
// more for every SOCKET_BYTES_PER_CYCLE bytes.
inline constexpr int64_t SOCKET_CREATE_CYCLES = 4000;
inline constexpr int64_t SOCKET_LOOKUP_CYCLES = 16000;
inline constexpr int64_t SOCKET_CALL_CYCLES = 100;
inline constexpr int64_t SOCKET_BYTES_PER_CYCLE = 4;

enum socket_kind : uint32_t { SOCKET_UDP = 1, SOCKET_TCP = 2 };
enum socket_state : int32_t {
  SOCKET_READY = 0,
  SOCKET_LISTENING = 1,
  SOCKET_CLOSED = 2,  // named, never set
  SOCKET_CLOSED_BY_PEER = 3,
  SOCKET_DISCONNECTED = 4,  // named, never set
};

struct socket_record {
  uint32_t id;              // never reused: next_socket_id only grows
  uint32_t owner;           // process id
  uint32_t kind;            // socket_kind
  int32_t state;            // socket_state
  int32_t fd;               // SOCKET_NO_FD when none; a UDP peer's is its listener's
  uint32_t sockbuf_handle;  // a UDP peer socket's queue; 0 for every other socket
  int32_t resolving;        // 1 while its host name is being looked up (no fd yet)
  int32_t port;  // as given at creation; the listener's (TCP) or the peer's (UDP) when accepted
  char address[SOCKET_ADDRESS_MAX];  // as given; "[client]" when accepted (TCP); the peer's (UDP)
  sockaddr_storage peer;             // UDP: where _write_socket sends to
  socklen_t peer_len;
};

struct sockbuf_record {
  char address[SOCKET_ADDRESS_MAX];  // the peer's address text
  sockaddr_storage addr;
  socklen_t addr_len;
  uint32_t port;
  uint32_t handle;       // 0 until a socket accepts it
  uint32_t listener_id;  // the socket whose datagrams it queues
  pbuffer *queue;        // datagrams, each a u32 length (little-endian) then its bytes
};

struct socket_lookup;

// The sockets' state: the two tables and their counters, and the name
// lookups whose workers may still run.
struct sockets_record {
  socket_record sockdat[SOCKETS_MAX];
  int32_t sockets = 0;  // records in use, packed from 0
  sockbuf_record sockbuf[SOCKBUFS_MAX];
  int32_t sockbufs = 0;
  uint32_t next_socket_id = 1;  // grows also on failed creations
  uint32_t next_sockbuf_handle = 1;
  // Lookups whose worker may still run, those of closed sockets included
  // (their results are dropped when done).
  std::vector<std::shared_ptr<socket_lookup>> lookups;
};
extern sockets_record sock;

// Names of socket_state, by state.
extern const char *const socket_status_names[5];

// Sets SIGPIPE aside, so that writing to a connection the peer closed is an
// error (EPIPE) instead of the end of the program. Once, at host start.
void sockets_init();
// Nothing to do at exit beyond delete_sockets_by_process(0).
void sockets_exit();
// Closes every socket and drops every queue; the record is as at start
// (running lookups go on, their results dropped).
void sockets_reset();
// Per frame: connects the sockets whose host names have been looked up, and
// drains every listening UDP socket into its peer queues.
void update_all_sockets();
// Closes and removes every socket of that process; 0 closes all (and drops
// every peer queue).
void delete_sockets_by_process(int32_t process_id);
// Registers _create_tcp_socket, _create_udp_socket, _close_socket,
// _read_socket, _sock_status, _accept_socket and _write_socket.
void socket_add_public_c_functions(lua_State *L);

// The number userland sees for a host error number: the reference host's
// numbering of the socket errors (EAGAIN 35, EINPROGRESS 36, ECONNRESET 54,
// ...); numbers below 35 are the same everywhere and pass as they are.
int socket_errno_for_userland(int host_errno);
