#!/usr/bin/env python3
"""An HTTP server on 127.0.0.1 for download tests.

Prints its port, then serves until standard input closes (or 60 seconds
pass). Paths:
  /body/N    N bytes, byte i being (7 * i + 3) % 256
  /slow/N    the same, the second half sent 0.5 s after the first
  /missing   404 with the body "no such file"
  /redirect  302 to /body/1000
  /cut       announces 100000 bytes, sends 3000 and closes the connection
  /text.txt  the text "hello from the loopback"
  /forever   a body without end
  /drip      announces 1000 bytes and sends one every 0.5 s
  /hang      never answers
  /loop      302 to itself; /loop_count answers how often it was asked
"""
import http.server
import signal
import sys
import threading
import time

signal.alarm(60)


def pattern(n):
    period = bytes((7 * i + 3) % 256 for i in range(256))
    return (period * (n // 256 + 1))[:n]


loops = 0


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def reply(self, code, body, length=None, headers=()):
        self.send_response(code)
        self.send_header("Content-Length", str(len(body) if length is None else length))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()

    def do_GET(self):
        p = self.path
        if p.startswith("/body/"):
            body = pattern(int(p[6:]))
            self.reply(200, body)
            self.wfile.write(body)
        elif p.startswith("/slow/"):
            body = pattern(int(p[6:]))
            self.reply(200, body)
            half = len(body) // 2
            self.wfile.write(body[:half])
            self.wfile.flush()
            time.sleep(0.5)
            self.wfile.write(body[half:])
        elif p == "/missing":
            self.reply(404, b"no such file")
            self.wfile.write(b"no such file")
        elif p == "/redirect":
            self.reply(302, b"", headers=[("Location", "/body/1000")])
        elif p == "/cut":
            self.reply(200, b"", length=100000)
            self.wfile.write(pattern(3000))
            self.wfile.flush()
            self.close_connection = True
        elif p == "/forever":
            self.send_response(200)
            self.end_headers()
            chunk = pattern(65536)
            try:
                while True:
                    self.wfile.write(chunk)
            except OSError:
                pass
        elif p == "/drip":
            self.reply(200, b"", length=1000)
            try:
                for _ in range(1000):
                    self.wfile.write(b"d")
                    self.wfile.flush()
                    time.sleep(0.5)
            except OSError:
                pass
        elif p == "/hang":
            time.sleep(60)
        elif p == "/loop":
            global loops
            loops += 1
            self.reply(302, b"", headers=[("Location", "/loop")])
        elif p == "/loop_count":
            body = str(loops).encode()
            self.reply(200, body)
            self.wfile.write(body)
        elif p == "/text.txt":
            body = b"hello from the loopback"
            self.reply(200, body)
            self.wfile.write(body)
        else:
            self.reply(404, b"")


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
server.request_queue_size = 512
print(server.server_address[1], flush=True)
threading.Thread(target=server.serve_forever, daemon=True).start()
sys.stdin.read()
server.shutdown()
