// Userland sockets as a process sees them, against Python peers on the
// loopback (127.0.0.1 and ::1). Every wait is bounded.
#include "host/sockets.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kernel/process_life.h"
#include "tests/host/peer_process.h"
#include "tests/kernel/kernel_fixture.h"

namespace {

// Descriptors this program has open.
int open_fds() {
  DIR *d = opendir("/proc/self/fd");
  int n = 0;
  while (readdir(d)) n++;
  closedir(d);
  return n - 3;  // ".", ".." and the folder's own descriptor
}

// A port on which nothing of that type is bound right now.
std::string free_port(int type) {
  int fd = socket(AF_INET6, type, 0);
  int zero = 0;
  setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_any;
  socklen_t len = sizeof a;
  bind(fd, reinterpret_cast<sockaddr *>(&a), len);
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
  close(fd);
  return std::to_string(ntohs(a.sin6_port));
}

struct Sockets : kernel_fixture {
  void SetUp() override {
    kernel_fixture::SetUp();
    config.network_access = 1;
  }
  std::string call(const std::string &expr) { return root_results(expr); }
  // The results of expr once they differ from idle, with a frame's socket
  // work done before each try; the last results after 5 s.
  std::string poll_call(const std::string &expr, const std::string &idle = "") {
    std::string r;
    for (int i = 0; i < 500; i++) {
      update_all_sockets();
      r = call(expr);
      if (r != idle) return r;
      usleep(10000);
    }
    return r;
  }
  // The next bytes of a TCP or outgoing UDP socket.
  std::string read_stream(const std::string &id) {
    return poll_call("_read_socket(" + id + ")", "nil,errno 35");
  }
  std::string read_peer(const std::string &id) { return poll_call("_read_socket(" + id + ")"); }
};

TEST_F(Sockets, EveryProcessHasTheSevenFunctions) {
  int64_t child = spawn("");
  ASSERT_NE(child, 0);
  lua_State *L = get_process(child)->L;
  for (const char *name : {"_create_tcp_socket", "_create_udp_socket", "_close_socket",
                           "_read_socket", "_sock_status", "_accept_socket", "_write_socket"}) {
    lua_getglobal(L, name);
    EXPECT_TRUE(lua_iscfunction(L, -1)) << name;
    lua_pop(L, 1);
  }
}

TEST_F(Sockets, RefusalsAndMissingSockets) {
  std::string port = free_port(SOCK_STREAM);
  const std::pair<std::string, const char *> cases[] = {
      {"_create_tcp_socket(0, '*')", "nil,bad port or address"},
      {"_create_udp_socket(80)", "nil,bad port or address"},
      {"_create_tcp_socket(70000, '*')", "nil,bad port or address"},
      {"_create_udp_socket(-7, '*')", "nil,bad port or address"},
      {"_write_socket(1, '')", "nil,no data to send"},
      {"_write_socket(1)", "nil,no data to send"},
      {"_read_socket(12345)", ""},
      {"_sock_status(12345)", ""},
      {"_accept_socket(12345)", ""},
      {"_close_socket(12345)", ""},
  };
  for (const auto &[expr, want] : cases) EXPECT_EQ(call(expr), want) << expr;

  config.network_access = 0;
  EXPECT_EQ(call("_create_tcp_socket(" + port + ", '*')"), "nil,kavelund network is disabled");
  config.network_access = 1;

  // A sandboxed process may connect out but never listen; only the first
  // character of the address is looked at.
  root->env_given = 1;
  for (const char *address : {"'*'", "'*x'"})
    EXPECT_EQ(call("_create_udp_socket(" + port + ", " + address + ")"),
              "nil,can not create listener while sandboxed")
        << address;
  peer_process peer("socket_peer.py");
  std::string peer_port = peer.ask("tcp_listen 127.0.0.1");
  EXPECT_EQ(call("math.type(_create_tcp_socket(" + peer_port + ", '127.0.0.1'))"), "integer");
  root->env_given = 0;

  // Ids only grow, failed creations included.
  std::string a = call("_create_tcp_socket(" + port + ", '*')");
  call("_close_socket(" + a + ")");
  EXPECT_EQ(call("_create_tcp_socket(" + peer_port + ", '*')"), "nil,could not bind to port");
  std::string b = call("_create_tcp_socket(" + port + ", '*')");
  EXPECT_EQ(std::stoi(b), std::stoi(a) + 2);
  EXPECT_EQ(call("_accept_socket(" + a + ")"), "");
  EXPECT_EQ(call("_read_socket(" + b + ")"), "nil,socket is closed or not ready");
}

TEST_F(Sockets, ErrorNumbersAreTheSameOnEveryHost) {
  const std::pair<int, int> cases[] = {
      {EAGAIN, 35},       {EINPROGRESS, 36}, {ECONNRESET, 54}, {ETIMEDOUT, 60}, {EHOSTUNREACH, 65},
      {ECONNREFUSED, 61}, {EPIPE, 32},       {EBADF, 9},       {EINTR, 4},
  };
  for (auto [host, userland] : cases) EXPECT_EQ(socket_errno_for_userland(host), userland) << host;
}

TEST_F(Sockets, TcpListenerTalksWithIpv4AndIpv6Peers) {
  std::string port = free_port(SOCK_STREAM);
  std::string l = call("_create_tcp_socket(" + port + ", '*')");
  ASSERT_EQ(call("math.type(" + l + ")"), "integer");
  EXPECT_EQ(call("_sock_status(" + l + ")"), "listening");
  EXPECT_EQ(call("_accept_socket(" + l + ")"), "");
  for (std::string host : {"127.0.0.1", "::1"}) {
    SCOPED_TRACE(host);
    peer_process peer("socket_peer.py");
    ASSERT_EQ(peer.ask("tcp_connect " + host + " " + port), "ok");
    std::string c = poll_call("_accept_socket(" + l + ")");
    ASSERT_EQ(call("math.type(" + c + ")"), "float");
    EXPECT_EQ(call("_sock_status(" + c + ")"), "ready");
    EXPECT_EQ(call("_read_socket(" + c + ")"), "nil,errno 35");  // nothing yet; stays usable
    ASSERT_EQ(peer.ask("send " + to_hex("hello")), "ok");
    EXPECT_EQ(read_stream(c), "hello");
    EXPECT_EQ(call("_write_socket(" + c + ", 'world')"), "5");
    EXPECT_EQ(peer.ask("recv 5"), to_hex("world"));
    ASSERT_EQ(peer.ask("close"), "ok");
    EXPECT_EQ(read_stream(c), "nil,connection closed by peer");
    EXPECT_EQ(call("_read_socket(" + c + ")"), "nil,socket is closed or not ready");
    EXPECT_EQ(call("_sock_status(" + c + ")"), "closed by peer");
    EXPECT_EQ(call("_write_socket(" + c + ", 'x')"), "1");  // our side is still open
    call("_close_socket(" + c + ")");
    EXPECT_EQ(call("_sock_status(" + c + ")"), "");
  }
}

TEST_F(Sockets, OutgoingTcpConnections) {
  for (std::string host : {"127.0.0.1", "::1"}) {
    SCOPED_TRACE(host);
    peer_process peer("socket_peer.py");
    std::string port = peer.ask("tcp_listen " + host);
    std::string c = call("_create_tcp_socket(" + port + ", '" + host + "')");
    ASSERT_EQ(call("math.type(" + c + ")"), "integer");
    ASSERT_EQ(peer.ask("tcp_accept").substr(0, 2), "ok");
    EXPECT_EQ(call("_write_socket(" + c + ", 'ping')"), "4");
    EXPECT_EQ(peer.ask("recv 4"), to_hex("ping"));
    ASSERT_EQ(peer.ask("send " + to_hex("pong")), "ok");
    EXPECT_EQ(read_stream(c), "pong");
    call("_close_socket(" + c + ")");
    EXPECT_EQ(peer.ask("recv_eof"), "eof");
  }
  // The connect does not wait for the answer: a refusal shows in the first read.
  std::string refused = call("_create_tcp_socket(" + free_port(SOCK_STREAM) + ", '127.0.0.1')");
  ASSERT_EQ(call("math.type(" + refused + ")"), "integer");
  EXPECT_EQ(read_stream(refused), "nil,errno 61");
}

// Neither a peer that never answers the connect nor a host name to look up
// holds the caller: the socket is made at once and connects in the
// background.
TEST_F(Sockets, ConnectsNeverWait) {
  peer_process full("socket_peer.py");
  std::string full_port = full.ask("tcp_full");
  ASSERT_EQ(full_port.find("error"), std::string::npos) << full_port;
  auto t0 = std::chrono::steady_clock::now();
  std::string c = call("_create_tcp_socket(" + full_port + ", '127.0.0.1')");
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
  ASSERT_EQ(call("math.type(" + c + ")"), "integer");
  EXPECT_EQ(call("_sock_status(" + c + ")"), "ready");
  EXPECT_EQ(call("_read_socket(" + c + ")"), "nil,errno 35");

  peer_process peer("socket_peer.py");
  std::string port = peer.ask("tcp_listen 127.0.0.1");
  std::string named = call("_create_tcp_socket(" + port + ", 'localhost')");
  ASSERT_EQ(call("math.type(" + named + ")"), "integer");
  EXPECT_EQ(call("_sock_status(" + named + ")"), "ready");
  // Until the name is found there is nothing to read or write.
  EXPECT_EQ(poll_call("_write_socket(" + named + ", 'ping')", "nil,errno 35"), "4");
  ASSERT_EQ(peer.ask("tcp_accept").substr(0, 2), "ok");
  EXPECT_EQ(peer.ask("recv 4"), to_hex("ping"));
}

// A peer that has closed its sending side still reads what we write, until
// we close.
TEST_F(Sockets, AHalfClosedPeerGetsItsReply) {
  peer_process peer("socket_peer.py");
  std::string port = peer.ask("tcp_listen 127.0.0.1");
  std::string c = call("_create_tcp_socket(" + port + ", '127.0.0.1')");
  ASSERT_EQ(peer.ask("tcp_accept").substr(0, 2), "ok");
  ASSERT_EQ(peer.ask("send " + to_hex("question")), "ok");
  ASSERT_EQ(peer.ask("shut_wr"), "ok");
  EXPECT_EQ(read_stream(c), "question");
  EXPECT_EQ(read_stream(c), "nil,connection closed by peer");
  EXPECT_EQ(call("_sock_status(" + c + ")"), "closed by peer");
  EXPECT_EQ(call("_write_socket(" + c + ", 'answer')"), "6");
  EXPECT_EQ(peer.ask("recv 6"), to_hex("answer"));
  call("_close_socket(" + c + ")");
  EXPECT_EQ(peer.ask("recv_eof"), "eof");
}

// Sockets belong to the process that made or accepted them: to any other
// process their ids name nothing.
TEST_F(Sockets, AProcessReachesOnlyItsOwnSockets) {
  peer_process peer("socket_peer.py");
  std::string port = peer.ask("tcp_listen 127.0.0.1");
  std::string c = call("_create_tcp_socket(" + port + ", '127.0.0.1')");
  ASSERT_EQ(peer.ask("tcp_accept").substr(0, 2), "ok");
  std::string l = call("_create_tcp_socket(" + free_port(SOCK_STREAM) + ", '*')");
  int64_t other = spawn("");
  set_current_process(get_process(other));
  get_process(other)->env_given = 1;
  for (const std::string &expr :
       {"_read_socket(" + c + ")", "_write_socket(" + c + ", 'x')", "_sock_status(" + c + ")",
        "_accept_socket(" + l + ")", "_close_socket(" + c + ")", "_close_socket(" + l + ")"})
    EXPECT_EQ(call(expr), "") << expr;
  set_current_process(root);
  EXPECT_EQ(call("_sock_status(" + l + ")"), "listening");
  ASSERT_EQ(peer.ask("send " + to_hex("mine")), "ok");
  EXPECT_EQ(read_stream(c), "mine");
}

// With network_access off a listener takes nothing in, and a sandboxed
// process cannot turn the setting back on.
TEST_F(Sockets, NetworkOffHoldsForListenersAndTheSandbox) {
  std::string tcp_port = free_port(SOCK_STREAM), udp_port = free_port(SOCK_DGRAM);
  std::string t = call("_create_tcp_socket(" + tcp_port + ", '*')");
  std::string u = call("_create_udp_socket(" + udp_port + ", '*')");
  peer_process peer("socket_peer.py");
  ASSERT_EQ(peer.ask("tcp_connect 127.0.0.1 " + tcp_port), "ok");
  peer.ask("udp_bind 127.0.0.1");
  ASSERT_EQ(peer.ask("udp_send 127.0.0.1 " + udp_port + " " + to_hex("dgram")), "ok");
  config.network_access = 0;
  for (int i = 0; i < 20; i++) {
    update_all_sockets();
    EXPECT_EQ(call("_accept_socket(" + t + ")"), "");
    EXPECT_EQ(call("_accept_socket(" + u + ")"), "");
    usleep(5000);
  }
  EXPECT_EQ(sock.sockbufs, 0);

  root->env_given = 1;
  call("_apply_system_settings({network_access = true})");
  EXPECT_EQ(config.network_access, 0);
  root->env_given = 0;
  call("_apply_system_settings({network_access = true})");
  EXPECT_EQ(config.network_access, 1);
  EXPECT_EQ(call("math.type(" + poll_call("_accept_socket(" + t + ")") + ")"), "float");
  std::string p = poll_call("_accept_socket(" + u + ")");
  EXPECT_EQ(call("_read_socket(" + p + ")"), "dgram");
}

// One datagram from a new local port: a peer nobody has heard before.
void send_from_new_peer(const std::string &port, const std::string &text) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons((uint16_t)std::stoi(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
  close(fd);
}

// Peer queues go with their accepted sockets, and the unaccepted ones of a
// listener are bounded (the oldest go): however many one-shot peers come,
// every new one is heard, and one noisy listener leaves the others theirs.
TEST_F(Sockets, UdpPeerQueuesComeAndGo) {
  std::string port = free_port(SOCK_DGRAM);
  std::string l = call("_create_udp_socket(" + port + ", '*')");
  int heard = 0;
  for (int i = 0; i < SOCKBUFS_MAX + 40; i++) {
    std::string text = "peer" + std::to_string(i);
    send_from_new_peer(port, text);
    std::string p = poll_call("_accept_socket(" + l + ")");
    if (call("_read_socket(" + p + ")") == text) heard++;
    call("_close_socket(" + p + ")");
  }
  EXPECT_EQ(heard, SOCKBUFS_MAX + 40);
  EXPECT_EQ(sock.sockbufs, 0);

  std::string quiet_port = free_port(SOCK_DGRAM);
  std::string quiet = call("_create_udp_socket(" + quiet_port + ", '*')");
  const int noisy_peers = SOCKBUFS_MAX + 10;
  for (int i = 0; i < noisy_peers; i++) {
    send_from_new_peer(port, "noise" + std::to_string(i));
    if (i % 32 == 31) update_all_sockets();  // before the host's buffer overflows
  }
  update_all_sockets();
  send_from_new_peer(quiet_port, "hello");
  std::string q = poll_call("_accept_socket(" + quiet + ")");
  EXPECT_EQ(call("_read_socket(" + q + ")"), "hello");
  // The noisy listener kept its newest peers.
  std::string last;
  int accepted = 0;
  while (true) {
    std::string p = call("_accept_socket(" + l + ")");
    if (p.empty()) break;
    accepted++;
    last = call("_read_socket(" + p + ")");
  }
  EXPECT_EQ(accepted, SOCKBUF_UNACCEPTED_MAX);
  EXPECT_EQ(last, "noise" + std::to_string(noisy_peers - 1));
}

// After the peer has gone, writing fails with the connection's end and the
// socket lets go of its descriptor; a socket without one answers nothing.
TEST_F(Sockets, WritingToAClosedConnection) {
  peer_process peer("socket_peer.py");
  std::string port = peer.ask("tcp_listen 127.0.0.1");
  std::string c = call("_create_tcp_socket(" + port + ", '127.0.0.1')");
  ASSERT_EQ(peer.ask("tcp_accept").substr(0, 2), "ok");
  ASSERT_EQ(peer.ask("close"), "ok");
  std::string r;
  for (int i = 0; i < 200 && r.rfind("nil", 0) != 0; i++) {
    r = call("_write_socket(" + c + ", 'data')");
    usleep(10000);
  }
  EXPECT_TRUE(r == "nil,errno 32" || r == "nil,errno 54") << r;
  EXPECT_EQ(call("_sock_status(" + c + ")"), "invalid");
  EXPECT_EQ(call("_write_socket(" + c + ", 'data')"), "");
  EXPECT_EQ(call("_read_socket(" + c + ")"), "");
}

TEST_F(Sockets, OutgoingUdp) {
  peer_process peer("socket_peer.py");
  std::string port = peer.ask("udp_bind ::1");
  std::string c = call("_create_udp_socket(" + port + ", '::1')");
  ASSERT_EQ(call("math.type(" + c + ")"), "integer");
  EXPECT_EQ(call("_accept_socket(" + c + ")"), "nil,socket is not listening");
  EXPECT_EQ(call("_write_socket(" + c + ", 'ping')"), "4");
  std::string got = peer.ask("udp_recv");
  ASSERT_EQ(got.substr(0, 8), to_hex("ping"));
  ASSERT_EQ(peer.ask("udp_send ::1 " + got.substr(9) + " " + to_hex("pong")), "ok");
  EXPECT_EQ(read_stream(c), "pong");
  config.network_access = 0;
  EXPECT_EQ(call("_write_socket(" + c + ", 'ping')"), "");
  EXPECT_EQ(call("_read_socket(" + c + ")"), "");
}

TEST_F(Sockets, UdpListenerQueuesEachPeer) {
  std::string port = free_port(SOCK_DGRAM);
  std::string l = call("_create_udp_socket(" + port + ", '*')");
  ASSERT_EQ(call("_sock_status(" + l + ")"), "listening");
  peer_process a("socket_peer.py"), b("socket_peer.py");
  std::string a_port = a.ask("udp_bind 127.0.0.1");
  b.ask("udp_bind ::1");
  for (const char *text : {"one", "two"})
    ASSERT_EQ(a.ask("udp_send 127.0.0.1 " + port + " " + to_hex(text)), "ok");
  ASSERT_EQ(b.ask("udp_send ::1 " + port + " " + to_hex("three")), "ok");

  std::string pa = poll_call("_accept_socket(" + l + ")");
  ASSERT_EQ(call("math.type(" + pa + ")"), "float");
  EXPECT_EQ(read_peer(pa), "one");
  EXPECT_EQ(call("_read_socket(" + pa + ")"), "two");
  EXPECT_EQ(call("_read_socket(" + pa + ")"), "");
  EXPECT_EQ(call("_write_socket(" + pa + ", 'back')"), "4");
  EXPECT_EQ(a.ask("udp_recv"), to_hex("back") + " " + port);

  std::string pb = call("_accept_socket(" + l + ")");
  EXPECT_EQ(call("_read_socket(" + pb + ")"), "three");
  EXPECT_EQ(call("_accept_socket(" + l + ")"), "");

  // A closed peer socket's queue goes with it: the peer's next datagram is
  // a new peer to accept. The listener goes on serving the others.
  call("_close_socket(" + pa + ")");
  ASSERT_EQ(a.ask("udp_send 127.0.0.1 " + port + " " + to_hex("again")), "ok");
  ASSERT_EQ(b.ask("udp_send ::1 " + port + " " + to_hex("four")), "ok");
  EXPECT_EQ(read_peer(pb), "four");
  std::string pa2 = call("_accept_socket(" + l + ")");
  EXPECT_EQ(call("_read_socket(" + pa2 + ")"), "again");
  EXPECT_EQ(call("_accept_socket(" + l + ")"), "");

  // Without its listener a peer socket has nothing left.
  call("_close_socket(" + l + ")");
  EXPECT_EQ(call("_sock_status(" + pb + ")"), "invalid");
  EXPECT_EQ(call("_read_socket(" + pb + ")"), "");
  EXPECT_EQ(call("_write_socket(" + pb + ", 'x')"), "");
  EXPECT_EQ(sock.sockbufs, 0);
  (void)a_port;
}

// One peer writing to two listeners (of two processes): each listener's
// queue holds only what was sent to it. A port already listened on cannot be
// listened on again, so no listener takes another's datagrams.
TEST_F(Sockets, UdpQueuesBelongToTheirListener) {
  std::string p1 = free_port(SOCK_DGRAM), p2 = free_port(SOCK_DGRAM);
  std::string l1 = call("_create_udp_socket(" + p1 + ", '*')");
  int64_t other = spawn("");
  set_current_process(get_process(other));
  std::string l2 = call("_create_udp_socket(" + p2 + ", '*')");
  EXPECT_EQ(call("_create_udp_socket(" + p1 + ", '*')"), "");  // "** bind failed"
  set_current_process(root);
  peer_process peer("socket_peer.py");
  peer.ask("udp_bind 127.0.0.1");
  ASSERT_EQ(peer.ask("udp_send 127.0.0.1 " + p1 + " " + to_hex("to1")), "ok");
  ASSERT_EQ(peer.ask("udp_send 127.0.0.1 " + p2 + " " + to_hex("to2")), "ok");
  set_current_process(get_process(other));
  std::string c2 = poll_call("_accept_socket(" + l2 + ")");
  EXPECT_EQ(read_peer(c2), "to2");
  EXPECT_EQ(call("_read_socket(" + c2 + ")"), "");
  set_current_process(root);
  std::string c1 = call("_accept_socket(" + l1 + ")");
  EXPECT_EQ(call("_read_socket(" + c1 + ")"), "to1");
  EXPECT_EQ(call("_read_socket(" + c1 + ")"), "");
}

// A queue holding 65530 bytes drops a 10-byte datagram, and takes a 1-byte one.
TEST_F(Sockets, FullPeerQueueDropsDatagrams) {
  std::string port = free_port(SOCK_DGRAM);
  std::string l = call("_create_udp_socket(" + port + ", '*')");
  peer_process peer("socket_peer.py");
  peer.ask("udp_bind 127.0.0.1");
  for (size_t n : {32761, 32761, 10, 1})
    ASSERT_EQ(peer.ask("udp_send 127.0.0.1 " + port + " " + to_hex(std::string(n, 'd'))), "ok");
  std::string c = poll_call("_accept_socket(" + l + ")");
  std::string lengths;
  for (int i = 0; i < 4; i++)
    lengths += call("(function(r) return r and #r end)(_read_socket(" + c + "))") + " ";
  EXPECT_EQ(lengths, "32761 32761 1 nil ");
}

TEST_F(Sockets, EveryDescriptorIsClosedOnce) {
  peer_process tcp_peer("socket_peer.py"), udp_peer("socket_peer.py");
  std::string taken_tcp = tcp_peer.ask("tcp_listen 127.0.0.1");
  std::string taken_udp = udp_peer.ask("udp_bind 127.0.0.1");
  int before = open_fds();
  EXPECT_EQ(call("_create_tcp_socket(" + taken_tcp + ", '*')"), "nil,could not bind to port");
  EXPECT_EQ(call("_create_udp_socket(" + taken_udp + ", '*')"), "");
  EXPECT_EQ(sock.sockets, 0);
  EXPECT_EQ(open_fds(), before);

  // A UDP peer socket borrows its listener's descriptor: once the listener
  // is closed, a new socket may get that number, and closing the peer socket
  // must leave it alone.
  std::string port = free_port(SOCK_DGRAM);
  std::string l = call("_create_udp_socket(" + port + ", '*')");
  ASSERT_EQ(udp_peer.ask("udp_send 127.0.0.1 " + port + " " + to_hex("x")), "ok");
  std::string peer_socket = poll_call("_accept_socket(" + l + ")");
  call("_close_socket(" + l + ")");
  std::string tcp_port = free_port(SOCK_STREAM);
  std::string t = call("_create_tcp_socket(" + tcp_port + ", '*')");
  call("_close_socket(" + peer_socket + ")");
  EXPECT_EQ(call("_sock_status(" + t + ")"), "listening");
  peer_process client("socket_peer.py");
  ASSERT_EQ(client.ask("tcp_connect 127.0.0.1 " + tcp_port), "ok");
  std::string c = poll_call("_accept_socket(" + t + ")");
  EXPECT_EQ(call("math.type(" + c + ")"), "float");
  call("_close_socket(" + c + ")");
  call("_close_socket(" + t + ")");
  EXPECT_EQ(open_fds(), before + 2);  // the client's pipes

  // A process's sockets end with it; pid 0 ends them all.
  int64_t child = spawn("");
  set_current_process(get_process(child));
  call("_create_tcp_socket(" + free_port(SOCK_STREAM) + ", '*')");
  call("_create_udp_socket(" + free_port(SOCK_DGRAM) + ", '*')");
  set_current_process(root);
  call("_create_udp_socket(" + free_port(SOCK_DGRAM) + ", '*')");
  kill_process_by_id(child);
  EXPECT_EQ(sock.sockets, 1);
  EXPECT_EQ(open_fds(), before + 3);
  delete_sockets_by_process(0);
  EXPECT_EQ(sock.sockets, 0);
  EXPECT_EQ(open_fds(), before + 2);
}

// Each process has a share of the socket table and of the name lookups; a
// lookup stops counting once its socket has gone, whether closed or ended
// with its process.
TEST_F(Sockets, PoolsAreSharedBetweenProcesses) {
  proc *greedy = get_process(spawn(""));
  EXPECT_EQ(eval_in(greedy, "local n = 0 for i = 1, " + std::to_string(SOCKETS_PROCESS_SHARE) +
                                " do if math.type(_create_udp_socket(9, '127.0.0.1')) == "
                                "'integer' then n = n + 1 end end return n"),
            std::to_string(SOCKETS_PROCESS_SHARE));
  EXPECT_EQ(results_in(greedy, "_create_udp_socket(9, '127.0.0.1')"), "nil,too many sockets");
  EXPECT_EQ(call("math.type(_create_udp_socket(9, '127.0.0.1'))"), "integer");

  // Names are looked up until the next frame's socket work: the lookups
  // started here all count until then.
  const std::string named = "_create_tcp_socket(9, 'localhost')";
  std::vector<proc *> askers;
  std::vector<std::string> first_ids;
  for (size_t i = 0; i < SOCKET_LOOKUPS_MAX / SOCKET_LOOKUPS_PROCESS_SHARE; i++) {
    askers.push_back(get_process(spawn("")));
    for (size_t k = 0; k < SOCKET_LOOKUPS_PROCESS_SHARE; k++) {
      std::string id = results_in(askers[i], named);
      ASSERT_EQ(results_in(askers[i], "math.type(" + id + ")"), "integer") << i << " " << k;
      if (k == 0) first_ids.push_back(id);
    }
    EXPECT_EQ(results_in(askers[i], named), "nil,too many name lookups");
  }
  proc *late = get_process(spawn(""));
  EXPECT_EQ(results_in(late, named), "nil,too many name lookups");
  kill_process_by_id(askers[0]->id);
  EXPECT_EQ(results_in(late, "math.type(" + named + ")"), "integer");
  results_in(askers[1], "_close_socket(" + first_ids[1] + ")");
  EXPECT_EQ(results_in(askers[1], "math.type(" + named + ")"), "integer");
  EXPECT_EQ(results_in(askers[1], named), "nil,too many name lookups");

  // Lookups of closed sockets stop counting, but their workers are bounded
  // too until the frame's socket work has collected them.
  proc *churn = get_process(spawn(""));
  size_t workers = sock.lookups.size();
  EXPECT_EQ(eval_in(churn, "local n = 0 for i = 1, " +
                               std::to_string(SOCKET_LOOKUP_WORKERS_MAX - workers) +
                               " do local s = " + named +
                               " if math.type(s) == 'integer' then n = n + 1 end _close_socket(s) "
                               "end return n"),
            std::to_string(SOCKET_LOOKUP_WORKERS_MAX - workers));
  EXPECT_EQ(results_in(churn, named), "nil,too many name lookups");
  for (int i = 0; i < 500 && sock.lookups.size() >= SOCKET_LOOKUP_WORKERS_MAX; i++) {
    usleep(10000);
    update_all_sockets();
  }
  EXPECT_EQ(results_in(churn, "math.type(" + named + ")"), "integer");
}

// Making a socket costs the process thousands of cycles and every byte
// written or read costs too, so a loop of them runs at its share of a frame:
// each row's loop runs at most one frame's cycles over its least cost an
// iteration.
TEST_F(Sockets, HostCallsAreChargedNearTheirCost) {
  peer_process tcp_peer("socket_peer.py"), udp_peer("socket_peer.py");
  std::string tcp_port = tcp_peer.ask("tcp_listen 127.0.0.1");
  std::string udp_port = udp_peer.ask("udp_bind 127.0.0.1");
  const struct {
    std::string setup, body;
    int64_t cost;
  } cases[] = {
      {"", "_close_socket(_create_tcp_socket(" + tcp_port + ", '127.0.0.1'))",
       SOCKET_CREATE_CYCLES + SOCKET_CALL_CYCLES},
      {"", "_close_socket(_create_udp_socket(9, '127.0.0.1'))",
       SOCKET_CREATE_CYCLES + SOCKET_CALL_CYCLES},
      {"u = _create_udp_socket(" + udp_port + ", '127.0.0.1') d = string.rep('x', 60000)",
       "assert(_write_socket(u, d) == 60000)", SOCKET_CALL_CYCLES + 60000 / SOCKET_BYTES_PER_CYCLE},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.body);
    proc *p = get_process(spawn(c.setup + " n = 0 while true do " + c.body + " n = n + 1 end"));
    ASSERT_NE(p, nullptr);
    prepare_processes_for_frame();
    run_process_slice(p, 1.0);
    ASSERT_EQ(p->state, 0);
    int64_t n = std::stoll(results_in(p, "n"));
    EXPECT_GE(n, 1);
    EXPECT_LE(n, CPU_CYCLES_PER_FRAME / c.cost + 1);
    kill_process_by_id(p->id);
  }
}

}  // namespace
