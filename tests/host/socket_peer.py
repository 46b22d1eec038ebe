#!/usr/bin/env python3
"""A TCP and UDP peer on the loopback, driven line by line.

Each command read from standard input gets one line on standard output.
Every socket operation gives up after 5 seconds, and the peer ends when its
input closes or after 60 seconds, whichever comes first.

  tcp_listen HOST          -> port        listen on HOST, a free port
  tcp_accept               -> ok ADDRESS  take the pending connection
  tcp_connect HOST PORT    -> ok
  tcp_full                 -> port        a listener on 127.0.0.1 whose accept
                                          queue is full: new SYNs are dropped
  send HEX                 -> ok          on the connection
  recv N                   -> HEX         up to N bytes, as many as come in 5 s
  recv_eof                 -> eof | data | timeout
  close                    -> ok          close the connection
  shut_wr                  -> ok          close the sending side only
  udp_bind HOST            -> port
  udp_send HOST PORT HEX   -> ok
  udp_recv                 -> HEX PORT
Failures answer "error NAME".
"""
import select
import signal
import socket
import sys

TIMEOUT = 5.0
signal.alarm(60)


def family(host):
    return socket.AF_INET6 if ":" in host else socket.AF_INET


def main():
    listener = conn = udp = None
    fillers = []
    for line in sys.stdin:
        cmd, *args = line.split()
        try:
            if cmd == "tcp_listen":
                listener = socket.socket(family(args[0]), socket.SOCK_STREAM)
                listener.settimeout(TIMEOUT)
                listener.bind((args[0], 0))
                listener.listen(8)
                out = str(listener.getsockname()[1])
            elif cmd == "tcp_full":
                listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                listener.bind(("127.0.0.1", 0))
                listener.listen(0)
                port = listener.getsockname()[1]
                # Connect until a connection stays unanswered: the queue is full.
                while len(fillers) < 64:
                    c = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                    c.setblocking(False)
                    c.connect_ex(("127.0.0.1", port))
                    fillers.append(c)
                    if not select.select([], [c], [], 0.3)[1]:
                        break
                out = str(port) if len(fillers) < 64 else "error never-full"
            elif cmd == "tcp_accept":
                conn, address = listener.accept()
                conn.settimeout(TIMEOUT)
                out = "ok " + address[0]
            elif cmd == "tcp_connect":
                conn = socket.create_connection((args[0], int(args[1])), timeout=TIMEOUT)
                out = "ok"
            elif cmd == "send":
                conn.sendall(bytes.fromhex(args[0] if args else ""))
                out = "ok"
            elif cmd == "recv":
                want, got = int(args[0]), b""
                try:
                    while len(got) < want:
                        chunk = conn.recv(want - len(got))
                        if not chunk:
                            break
                        got += chunk
                except socket.timeout:
                    pass
                out = got.hex() or "-"
            elif cmd == "recv_eof":
                try:
                    out = "data" if conn.recv(1) else "eof"
                except socket.timeout:
                    out = "timeout"
                except ConnectionResetError:
                    out = "eof"
            elif cmd == "shut_wr":
                conn.shutdown(socket.SHUT_WR)
                out = "ok"
            elif cmd == "close":
                conn.close()
                out = "ok"
            elif cmd == "udp_bind":
                udp = socket.socket(family(args[0]), socket.SOCK_DGRAM)
                udp.settimeout(TIMEOUT)
                udp.bind((args[0], 0))
                out = str(udp.getsockname()[1])
            elif cmd == "udp_send":
                udp.sendto(bytes.fromhex(args[2] if len(args) > 2 else ""), (args[0], int(args[1])))
                out = "ok"
            elif cmd == "udp_recv":
                data, address = udp.recvfrom(65536)
                out = (data.hex() or "-") + " " + str(address[1])
            else:
                out = "error unknown-command"
        except Exception as e:  # every failure is an answer, never a hang
            out = "error " + type(e).__name__
        print(out, flush=True)


main()
