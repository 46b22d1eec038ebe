// TCP and UDP sockets for userland.
#include "host/sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/config.h"
#include "base/cpu_budget.h"
#include "base/debug_log.h"
#include "base/pbuffer.h"
#include "machine/process.h"
#include "lang/args.h"
#include "lang/lua_api.h"

sockets_record sock;

const char *const socket_status_names[5] = {"ready", "listening", "closed", "closed by peer",
                                            "disconnected"};

// Shared receive buffer of TCP and outgoing UDP reads.
static uint8_t in_buf[65536];

// ---- error numbers -----------------------------------------------------------

struct errno_pair {
  int host;
  int userland;
};
// The reference host's numbers of the socket errors; identical there, and
// differing from them on other hosts (EAGAIN is 11 on some).
static constexpr errno_pair socket_errno_table[] = {
    {EAGAIN, 35},          {EINPROGRESS, 36},  {EALREADY, 37},     {ENOTSOCK, 38},
    {EDESTADDRREQ, 39},    {EMSGSIZE, 40},     {EPROTOTYPE, 41},   {ENOPROTOOPT, 42},
    {EPROTONOSUPPORT, 43}, {EOPNOTSUPP, 45},   {EAFNOSUPPORT, 47}, {EADDRINUSE, 48},
    {EADDRNOTAVAIL, 49},   {ENETDOWN, 50},     {ENETUNREACH, 51},  {ENETRESET, 52},
    {ECONNABORTED, 53},    {ECONNRESET, 54},   {ENOBUFS, 55},      {EISCONN, 56},
    {ENOTCONN, 57},        {ESHUTDOWN, 58},    {ETIMEDOUT, 60},    {ECONNREFUSED, 61},
    {EHOSTDOWN, 64},       {EHOSTUNREACH, 65},
};

int socket_errno_for_userland(int host_errno) {
  for (const errno_pair &p : socket_errno_table)
    if (p.host == host_errno) return p.userland;
  return host_errno;
}

// nil and the message, or nil and "errno %d" for the current errno.
static int push_socket_error(lua_State *L, const char *message) {
  lua_pushnil(L);
  if (message)
    lua_pushstring(L, message);
  else
    lua_pushfstring(L, "errno %d", socket_errno_for_userland(errno));
  return 2;
}

// ---- the tables --------------------------------------------------------------

static socket_record *get_socket_for_id(uint32_t id) {
  for (int32_t i = 0; i < sock.sockets; i++)
    if (sock.sockdat[i].id == id) return &sock.sockdat[i];
  return nullptr;
}

// The socket with the id in argument 1 when the current process owns it (any
// socket for the kernel itself); another process's socket is as good as none.
static socket_record *owned_socket_arg(lua_State *L, bool truncate = false) {
  uint32_t id = truncate ? (uint32_t)kvd_truncp(L, 1) : (uint32_t)kvd_intp(L, 1, 0);
  socket_record *s = get_socket_for_id(id);
  if (s && cproc && s->owner != (uint32_t)cproc->id) return nullptr;
  return s;
}

static sockbuf_record *get_sockbuf_by_handle(uint32_t handle) {
  if (handle == 0) return nullptr;
  for (int32_t i = 0; i < sock.sockbufs; i++)
    if (sock.sockbuf[i].handle == handle) return &sock.sockbuf[i];
  return nullptr;
}

static void remove_sockbuf_at(int32_t index) {
  destroy_buffer(sock.sockbuf[index].queue);
  memmove(&sock.sockbuf[index], &sock.sockbuf[index + 1],
          sizeof(sockbuf_record) * size_t(sock.sockbufs - index - 1));
  sock.sockbufs--;
}

static int32_t unaccepted_sockbufs_of(uint32_t listener_id) {
  int32_t n = 0;
  for (int32_t i = 0; i < sock.sockbufs; i++)
    if (sock.sockbuf[i].listener_id == listener_id && sock.sockbuf[i].handle == 0) n++;
  return n;
}

// Drops the oldest queue of that listener that no socket has accepted (the
// table keeps queues in the order they were made); false when it has none.
static bool drop_oldest_unaccepted(uint32_t listener_id) {
  for (int32_t i = 0; i < sock.sockbufs; i++)
    if (sock.sockbuf[i].listener_id == listener_id && sock.sockbuf[i].handle == 0) {
      remove_sockbuf_at(i);
      return true;
    }
  return false;
}

// Makes room for a new unaccepted queue of that listener: past its own bound
// its oldest goes; in a full table the oldest of the listener holding the
// most unaccepted queues goes, so that no listener keeps the others deaf.
static bool make_room_for_sockbuf(uint32_t listener_id) {
  if (unaccepted_sockbufs_of(listener_id) >= SOCKBUF_UNACCEPTED_MAX)
    drop_oldest_unaccepted(listener_id);
  if (sock.sockbufs < SOCKBUFS_MAX) return true;
  uint32_t greediest = 0;
  int32_t most = 0;
  for (int32_t i = 0; i < sock.sockbufs; i++) {
    int32_t n = unaccepted_sockbufs_of(sock.sockbuf[i].listener_id);
    if (n > most) {
      most = n;
      greediest = sock.sockbuf[i].listener_id;
    }
  }
  return most > 0 && drop_oldest_unaccepted(greediest);
}

// The listener's queue of that peer; made (unaccepted) when create is set and
// room can be made; else null.
static sockbuf_record *get_sockbuf_by_name(uint32_t listener_id, const char *address, uint32_t port,
                                           bool create, const sockaddr_storage *addr,
                                           socklen_t addr_len) {
  for (int32_t i = 0; i < sock.sockbufs; i++) {
    sockbuf_record &q = sock.sockbuf[i];
    if (q.listener_id == listener_id && q.port == port && strcmp(q.address, address) == 0)
      return &q;
  }
  if (!create || !make_room_for_sockbuf(listener_id)) return nullptr;
  sockbuf_record &q = sock.sockbuf[sock.sockbufs++];
  q = sockbuf_record{};
  snprintf(q.address, sizeof q.address, "%s", address);
  q.addr_len = addr_len <= sizeof q.addr ? addr_len : sizeof q.addr;
  memcpy(&q.addr, addr, q.addr_len);
  q.port = port;
  q.listener_id = listener_id;
  q.queue = create_buffer_2(512, 'o');
  return &q;
}

// Drops every queue of that listener (every queue for 0).
static void delete_sockbufs_of(uint32_t listener_id) {
  for (int32_t i = sock.sockbufs - 1; i >= 0; i--)
    if (listener_id == 0 || sock.sockbuf[i].listener_id == listener_id) remove_sockbuf_at(i);
}

static void delete_sockbuf_by_handle(uint32_t handle) {
  for (int32_t i = 0; i < sock.sockbufs; i++)
    if (handle != 0 && sock.sockbuf[i].handle == handle) return remove_sockbuf_at(i);
}

static uint32_t current_owner() { return cproc ? (uint32_t)cproc->id : 0; }

// Whether the table has room for one more socket of the current process:
// below SOCKETS_MAX in all and below its share.
static bool room_for_socket() {
  if (sock.sockets >= SOCKETS_MAX) return false;
  int32_t held = 0;
  for (int32_t i = 0; i < sock.sockets; i++)
    if (sock.sockdat[i].owner == current_owner()) held++;
  return held < SOCKETS_PROCESS_SHARE;
}

// A new record owned by the current process with the next id; null when the
// table is full or the process holds its share.
static socket_record *add_socket(socket_kind kind, const char *address, int32_t port) {
  if (!room_for_socket()) return nullptr;
  socket_record &s = sock.sockdat[sock.sockets++];
  s = socket_record{};
  s.id = sock.next_socket_id++;
  s.owner = current_owner();
  s.kind = kind;
  s.fd = SOCKET_NO_FD;
  s.port = port;
  snprintf(s.address, sizeof s.address, "%s", address);
  return &s;
}

static bool is_udp_peer(const socket_record &s) { return s.sockbuf_handle != 0; }

// Closes the socket's own descriptor. A UDP peer socket only lets go of its
// listener's; a listener's descriptor is taken from its peers as well, so
// that none of them can reach a later socket that gets the same number.
static void close_host_socket(socket_record &s) {
  if (s.fd == SOCKET_NO_FD) return;
  if (!is_udp_peer(s)) {
    close(s.fd);
    for (int32_t i = 0; i < sock.sockets; i++)
      if (&sock.sockdat[i] != &s && is_udp_peer(sock.sockdat[i]) && sock.sockdat[i].fd == s.fd)
        sock.sockdat[i].fd = SOCKET_NO_FD;
  }
  s.fd = SOCKET_NO_FD;
}

// Closes and removes the record at index, packing the table. A UDP
// listener's peer queues go with it, and a peer socket's own queue with it
// (that peer's later datagrams make a new queue, offered to accept again).
static void remove_socket_at(int32_t index) {
  socket_record &s = sock.sockdat[index];
  bool listener = s.kind == SOCKET_UDP && s.state == SOCKET_LISTENING;
  uint32_t id = s.id, handle = s.sockbuf_handle;
  close_host_socket(s);
  if (listener) delete_sockbufs_of(id);
  delete_sockbuf_by_handle(handle);
  memmove(&sock.sockdat[index], &sock.sockdat[index + 1],
          sizeof(socket_record) * size_t(sock.sockets - index - 1));
  sock.sockets--;
}

static void delete_socket_by_id(uint32_t id) {
  for (int32_t i = 0; i < sock.sockets; i++)
    if (sock.sockdat[i].id == id) return remove_socket_at(i);
}

void delete_sockets_by_process(int32_t process_id) {
  for (int32_t i = sock.sockets - 1; i >= 0; i--)
    if (process_id == 0 || sock.sockdat[i].owner == (uint32_t)process_id) remove_socket_at(i);
  if (process_id == 0) delete_sockbufs_of(0);
}

// ---- host sockets ------------------------------------------------------------

// A host socket that programs the workstation starts never inherit.
static int new_host_socket(int family, int type, int protocol) {
  int fd = socket(family, type, protocol);
  if (fd >= 0) fcntl(fd, F_SETFD, FD_CLOEXEC);
  return fd;
}

static void set_socket_fd_options(int fd) {
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  int flags = fcntl(fd, F_GETFL, 0);
  fcntl(fd, F_SETFL, (flags < 0 ? 0 : flags) | O_NONBLOCK);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // refused by UDP sockets
  // Address reuse lets a listener bind again past a closed connection's
  // waiting time. A datagram socket is left without it: there it would let a
  // second listener bind a port already in use and take its datagrams.
  int type = 0;
  socklen_t type_len = sizeof type;
  if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &type_len) == 0 && type == SOCK_STREAM)
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
}

// After a failed read or write: errors that end the connection close the
// descriptor. nil and "errno %d" in every case (EAGAIN, 35, when there was
// nothing to do); nothing when the socket had no descriptor.
static int close_host_socket_on_error(lua_State *L, socket_record &s) {
  int e = errno;
  if (s.fd == SOCKET_NO_FD) return 0;
  if (e == EPIPE || e == ECONNRESET || e == ETIMEDOUT || e == EBADF || e == EHOSTUNREACH)
    close_host_socket(s);
  errno = e;
  return push_socket_error(L, nullptr);
}

// The address text and port of a sender.
static void peer_name(const sockaddr_storage &from, char *text, size_t cap, uint32_t *port) {
  text[0] = 0;
  *port = 0;
  if (from.ss_family == AF_INET6) {
    const auto *a = reinterpret_cast<const sockaddr_in6 *>(&from);
    inet_ntop(AF_INET6, &a->sin6_addr, text, (socklen_t)cap);
    *port = ntohs(a->sin6_port);
  } else if (from.ss_family == AF_INET) {
    const auto *a = reinterpret_cast<const sockaddr_in *>(&from);
    inet_ntop(AF_INET, &a->sin_addr, text, (socklen_t)cap);
    *port = ntohs(a->sin_port);
  }
}

static int create_listener(lua_State *L, socket_kind kind, int32_t port) {
  socket_record *s = add_socket(kind, "*", port);
  if (!s) return push_socket_error(L, "too many sockets");
  s->state = SOCKET_LISTENING;
  uint32_t id = s->id;
  int fd = new_host_socket(AF_INET6, kind == SOCKET_TCP ? SOCK_STREAM : SOCK_DGRAM, 0);
  if (fd < 0) {
    int e = errno;
    delete_socket_by_id(id);
    errno = e;
    return push_socket_error(L, nullptr);
  }
  set_socket_fd_options(fd);
  int zero = 0;  // IPv4 peers too, whatever the host's default
  setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
  sockaddr_in6 any{};
  any.sin6_family = AF_INET6;
  any.sin6_port = htons((uint16_t)port);
  any.sin6_addr = in6addr_any;
  if (kind == SOCKET_UDP) {
    memcpy(&s->peer, &any, sizeof any);
    s->peer_len = sizeof any;
  }
  const char *failure = nullptr;
  if (bind(fd, reinterpret_cast<sockaddr *>(&any), sizeof any) != 0)
    failure = "could not bind to port";
  else if (kind == SOCKET_TCP && listen(fd, 64) != 0)
    failure = "could not listen()";
  if (failure) {
    close(fd);
    delete_socket_by_id(id);
    if (kind == SOCKET_TCP) return push_socket_error(L, failure);
    printf("** bind failed\n");
    return 0;
  }
  s->fd = fd;
  lua_pushinteger(L, id);
  return 1;
}

// A host name being looked up on a worker thread for an outgoing socket. The
// worker writes rc and results, then sets done (release); the main thread
// reads them once it has read done (acquire), and frees the results.
struct socket_lookup {
  uint32_t socket_id;
  std::string name, service;
  int socktype;
  int rc = 0;
  addrinfo *results = nullptr;
  std::atomic<bool> done{false};
  // Whoever lets go last (a reset may drop a lookup whose worker runs on)
  // frees the results.
  ~socket_lookup() {
    if (results) freeaddrinfo(results);
  }
};

// Lookups that count against the pool: those whose socket is still open and
// waiting for them; of one process only, or of all when owner is null.
static size_t lookups_counted(const uint32_t *owner) {
  size_t n = 0;
  for (const std::shared_ptr<socket_lookup> &l : sock.lookups) {
    const socket_record *s = get_socket_for_id(l->socket_id);
    if (s && s->resolving && (!owner || s->owner == *owner)) n++;
  }
  return n;
}

// Connects a new non-blocking socket to the first of the results that does
// not fail at once (for UDP, connecting only fixes the peer): its descriptor,
// or SOCKET_NO_FD. A connection in progress counts as made; its outcome
// shows in the first read or write.
static int connect_first(const addrinfo *results, socket_record *s) {
  for (const addrinfo *ai = results; ai; ai = ai->ai_next) {
    int fd = new_host_socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (fd < 0) continue;
    set_socket_fd_options(fd);
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0 || errno == EINPROGRESS || errno == EAGAIN) {
      if (s->kind == SOCKET_UDP && ai->ai_addrlen <= sizeof s->peer) {
        memcpy(&s->peer, ai->ai_addr, ai->ai_addrlen);
        s->peer_len = ai->ai_addrlen;
      }
      return fd;
    }
    close(fd);
  }
  return SOCKET_NO_FD;
}

// Per frame: connects the sockets whose names have been looked up. A socket
// whose name could not be found, or none of whose addresses connects, stays
// without a descriptor ("invalid").
static void finish_lookups() {
  size_t kept = 0;
  for (size_t i = 0; i < sock.lookups.size(); i++) {
    std::shared_ptr<socket_lookup> l = sock.lookups[i];
    if (!l->done.load(std::memory_order_acquire)) {
      sock.lookups[kept++] = l;
      continue;
    }
    socket_record *s = get_socket_for_id(l->socket_id);
    if (s && s->resolving) {
      s->resolving = 0;
      if (l->rc == 0) s->fd = connect_first(l->results, s);
    }
    if (l->results) freeaddrinfo(l->results);
    l->results = nullptr;
  }
  sock.lookups.resize(kept);
}

// An outgoing socket. A numeric address connects at once, without waiting
// for the peer's answer; a host name is looked up on a worker thread, and
// until that ends the socket is ready with nothing to read or write (errno
// 35). A numeric address that no socket can be made for returns nothing.
static int create_outgoing(lua_State *L, socket_kind kind, const char *address, int32_t port) {
  addrinfo hints{};
  hints.ai_socktype = kind == SOCKET_TCP ? SOCK_STREAM : SOCK_DGRAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  char service[16];
  snprintf(service, sizeof service, "%d", port);
  addrinfo *results = nullptr;
  int rc = getaddrinfo(address, service, &hints, &results);
  if (rc != 0 && rc != EAI_NONAME)
    return push_socket_error(L, rc == EAI_SYSTEM ? nullptr : gai_strerror(rc));
  if (rc == EAI_NONAME) {
    spend_cpu(SOCKET_LOOKUP_CYCLES);
    uint32_t owner = current_owner();
    if (lookups_counted(nullptr) >= SOCKET_LOOKUPS_MAX ||
        lookups_counted(&owner) >= SOCKET_LOOKUPS_PROCESS_SHARE ||
        sock.lookups.size() >= SOCKET_LOOKUP_WORKERS_MAX)
      return push_socket_error(L, "too many name lookups");
  }
  socket_record *s = add_socket(kind, address, port);
  if (!s) {
    if (results) freeaddrinfo(results);
    return push_socket_error(L, "too many sockets");
  }
  if (rc == 0) {
    s->fd = connect_first(results, s);
    freeaddrinfo(results);
    if (s->fd == SOCKET_NO_FD) {
      delete_socket_by_id(s->id);
      return 0;
    }
    lua_pushinteger(L, s->id);
    return 1;
  }
  auto l = std::make_shared<socket_lookup>();
  l->socket_id = s->id;
  l->name = address;
  l->service = service;
  l->socktype = hints.ai_socktype;
  s->resolving = 1;
  try {
    std::thread([l] {
      addrinfo h{};
      h.ai_socktype = l->socktype;
      h.ai_flags = AI_NUMERICSERV;
      l->rc = getaddrinfo(l->name.c_str(), l->service.c_str(), &h, &l->results);
      l->done.store(true, std::memory_order_release);
    }).detach();
  } catch (const std::system_error &) {
    s->resolving = 0;  // no thread to be had: the socket stays without a descriptor
    lua_pushinteger(L, s->id);
    return 1;
  }
  sock.lookups.push_back(l);
  lua_pushinteger(L, s->id);
  return 1;
}

static int create_socket(lua_State *L, socket_kind kind) {
  int64_t port = kvd_intp(L, 1, 0);
  const char *address = lua_type(L, 2) == LUA_TSTRING ? lua_tostring(L, 2) : nullptr;
  // A port outside 1..65535 would bind or reach a different port.
  if (port <= 0 || port > 65535 || !address) return push_socket_error(L, "bad port or address");
  if (!config.network_access) return push_socket_error(L, "kavelund network is disabled");
  spend_cpu(SOCKET_CREATE_CYCLES);
  if (!room_for_socket()) return push_socket_error(L, "too many sockets");
  if (address[0] == '*' && cproc && cproc->env_given)
    return push_socket_error(L, "can not create listener while sandboxed");
  if (strcmp(address, "*") == 0) return create_listener(L, kind, (int32_t)port);
  return create_outgoing(L, kind, address, (int32_t)port);
}

// ---- per frame -----------------------------------------------------------------

void update_all_sockets() {
  static uint8_t datagram[65535];
  finish_lookups();
  if (!config.network_access) return;  // datagrams wait in the host's buffers
  for (int32_t i = 0; i < sock.sockets; i++) {
    const socket_record &s = sock.sockdat[i];
    if (s.kind != SOCKET_UDP || s.state != SOCKET_LISTENING || s.fd == SOCKET_NO_FD) continue;
    for (int32_t n = 0; n < SOCKET_DRAIN_MAX; n++) {
      sockaddr_storage from{};
      socklen_t from_len = sizeof from;
      ssize_t got = recvfrom(s.fd, datagram, sizeof datagram, 0,
                             reinterpret_cast<sockaddr *>(&from), &from_len);
      if (got < 0) break;
      char text[INET6_ADDRSTRLEN];
      uint32_t port;
      peer_name(from, text, sizeof text, &port);
      sockbuf_record *q = get_sockbuf_by_name(s.id, text, port, true, &from, from_len);
      if (!q || q->queue->length + got >= SOCKBUF_LIMIT) continue;  // dropped
      q->queue->cursor = q->queue->length;
      bwrite_uint32((uint32_t)got, q->queue);
      bwrite(datagram, 1, (uint64_t)got, q->queue);
    }
  }
}

// ---- Lua functions -------------------------------------------------------------

static int lua54__create_tcp_socket(lua_State *L) { return create_socket(L, SOCKET_TCP); }
static int lua54__create_udp_socket(lua_State *L) { return create_socket(L, SOCKET_UDP); }

static int lua54__close_socket(lua_State *L) {
  spend_cpu(SOCKET_CALL_CYCLES);
  if (socket_record *s = owned_socket_arg(L, true)) delete_socket_by_id(s->id);
  return 0;
}

// The first datagram of a peer socket's queue; nothing when there is none.
static int read_peer_queue(lua_State *L, const socket_record &s) {
  sockbuf_record *q = get_sockbuf_by_handle(s.sockbuf_handle);
  if (!q || q->queue->length < 4) {
    if (q) bclear(q->queue);
    return 0;
  }
  pbuffer *b = q->queue;
  b->cursor = 0;
  uint32_t n = bread_uint32(b);
  if (n > (uint32_t)b->length - 4) {
    bclear(b);
    return 0;
  }
  lua_pushlstring(L, (const char *)b->data + 4, n);
  spend_cpu(n / SOCKET_BYTES_PER_CYCLE);
  bcrop(b, 4 + (int32_t)n, b->length - 4 - (int32_t)n);
  b->cursor = b->length;  // the next datagram goes after the rest
  return 1;
}

// nil and "errno 35": nothing to read or write yet.
static int push_would_block(lua_State *L) {
  errno = EAGAIN;
  return push_socket_error(L, nullptr);
}

static int lua54__read_socket(lua_State *L) {
  spend_cpu(SOCKET_CALL_CYCLES);
  socket_record *s = owned_socket_arg(L);
  if (!s) return 0;
  if (s->state != SOCKET_READY) return push_socket_error(L, "socket is closed or not ready");
  if (!config.network_access) return 0;
  if (s->kind == SOCKET_UDP && is_udp_peer(*s)) return read_peer_queue(L, *s);
  if (s->resolving) return push_would_block(L);
  if (s->fd == SOCKET_NO_FD) return 0;
  ssize_t got = recv(s->fd, in_buf, sizeof in_buf, 0);
  if (got > 0) {
    spend_cpu(got / SOCKET_BYTES_PER_CYCLE);
    lua_pushlstring(L, (const char *)in_buf, (size_t)got);
    return 1;
  }
  if (got < 0) return close_host_socket_on_error(L, *s);
  if (s->kind == SOCKET_UDP) return 0;  // an empty datagram
  // The peer has closed its side only: ours stays open for a reply.
  s->state = SOCKET_CLOSED_BY_PEER;
  return push_socket_error(L, "connection closed by peer");
}

static int lua54__sock_status(lua_State *L) {
  spend_cpu(SOCKET_CALL_CYCLES);
  socket_record *s = owned_socket_arg(L);
  if (!s) return 0;
  // A connection the peer closed says so, whether or not its side is open.
  if (s->state == SOCKET_CLOSED_BY_PEER)
    lua_pushstring(L, socket_status_names[SOCKET_CLOSED_BY_PEER]);
  else if (s->fd == SOCKET_NO_FD && !s->resolving)
    lua_pushstring(L, "invalid");
  else if (s->state >= 0 && s->state <= SOCKET_DISCONNECTED)
    lua_pushstring(L, socket_status_names[s->state]);
  else
    lua_pushstring(L, "unknown");
  return 1;
}

static int lua54__accept_socket(lua_State *L) {
  spend_cpu(SOCKET_CALL_CYCLES);
  socket_record *listener = owned_socket_arg(L);
  if (!listener) return 0;
  if (!room_for_socket()) return push_socket_error(L, "too many sockets");
  if (listener->state != SOCKET_LISTENING) return push_socket_error(L, "socket is not listening");
  if (listener->fd == SOCKET_NO_FD || !config.network_access) return 0;
  // add_socket may move records: take what is needed first.
  socket_record from = *listener;
  socket_record *s = nullptr;
  if (from.kind == SOCKET_UDP) {
    sockbuf_record *q = nullptr;
    for (int32_t i = 0; i < sock.sockbufs && !q; i++)
      if (sock.sockbuf[i].listener_id == from.id && sock.sockbuf[i].handle == 0)
        q = &sock.sockbuf[i];
    if (!q) return 0;
    spend_cpu(SOCKET_CREATE_CYCLES);
    q->handle = sock.next_sockbuf_handle++;
    s = add_socket(SOCKET_UDP, q->address, (int32_t)q->port);
    s->sockbuf_handle = q->handle;
    s->peer = q->addr;
    s->peer_len = q->addr_len;
    s->fd = from.fd;  // borrowed from the listener
  } else {
    sockaddr_storage peer{};
    socklen_t peer_len = sizeof peer;
    int fd = accept(from.fd, reinterpret_cast<sockaddr *>(&peer), &peer_len);
    if (fd < 0) return 0;
    spend_cpu(SOCKET_CREATE_CYCLES);
    s = add_socket(SOCKET_TCP, "[client]", from.port);
    s->fd = fd;
    set_socket_fd_options(fd);
  }
  s->state = SOCKET_READY;
  lua_pushnumber(L, (lua_Number)s->id);
  return 1;
}

static int lua54__write_socket(lua_State *L) {
  spend_cpu(SOCKET_CALL_CYCLES);
  size_t len = 0;
  const char *data = lua_type(L, 2) == LUA_TSTRING ? lua_tolstring(L, 2, &len) : nullptr;
  if (!data || len == 0) return push_socket_error(L, "no data to send");
  socket_record *s = owned_socket_arg(L);
  if (!s) return 0;
  // A connection closed by the peer may still be written to (a half-close).
  bool open_for_writing =
      s->state == SOCKET_READY || (s->state == SOCKET_CLOSED_BY_PEER && s->kind == SOCKET_TCP);
  if (!open_for_writing) return push_socket_error(L, "socket is closed or not ready");
  if (!config.network_access) return 0;
  if (s->resolving) return push_would_block(L);
  if (s->fd == SOCKET_NO_FD) return 0;
  ssize_t sent;
  if (s->kind == SOCKET_TCP)
    sent = send(s->fd, data, len, MSG_NOSIGNAL);
  else
    sent = sendto(s->fd, data, len, MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&s->peer),
                  s->peer_len);
  if (sent < 0) return close_host_socket_on_error(L, *s);
  spend_cpu(sent / SOCKET_BYTES_PER_CYCLE);
  lua_pushinteger(L, sent);
  return 1;
}

void socket_add_public_c_functions(lua_State *L) {
  static const luaL_Reg functions[] = {
      {"_create_tcp_socket", lua54__create_tcp_socket},
      {"_create_udp_socket", lua54__create_udp_socket},
      {"_close_socket", lua54__close_socket},
      {"_read_socket", lua54__read_socket},
      {"_sock_status", lua54__sock_status},
      {"_accept_socket", lua54__accept_socket},
      {"_write_socket", lua54__write_socket},
  };
  for (const luaL_Reg &f : functions) {
    lua_pushcfunction(L, f.func);
    lua_setglobal(L, f.name);
  }
}

void sockets_init() { signal(SIGPIPE, SIG_IGN); }

void sockets_exit() {}

void sockets_reset() {
  delete_sockets_by_process(0);
  static const sockets_record start{};
  sock = start;
}
