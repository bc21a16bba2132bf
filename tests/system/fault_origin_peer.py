#!/usr/bin/env python3
"""A web origin with faults, for the fault test (and a listener that logs every connection, for
the abuse test). By path:

  /big    200 with a 50 MiB body, streamed until done or the peer goes
  /reset  200 declaring 50 MiB, sends 2 MiB, then resets the connection (SO_LINGER 0)
  /hang   reads the request and never answers (until the peer goes, or 60 s)
  other   a small page

  fault_origin_peer.py --listen 10.99.0.2 --port 81

Logs "connection PEER -> ADDRESS:PORT" as each connection is accepted (whether or not a request
follows), "GET /path" and "end /path sent=BYTES how=done|peer-gone|reset|timeout" on stdout.
Python 3 stdlib only.
"""

import argparse
import socket
import socketserver
import struct
import sys
import threading
import time

BIG = 50 * 1024 * 1024
RESET_AFTER = 2 * 1024 * 1024
LOG_LOCK = threading.Lock()


def log(line):
    with LOG_LOCK:
        sys.stdout.write(line + "\n")
        sys.stdout.flush()


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        s = self.request
        log("connection {} -> {}:{}".format(self.client_address[0], *s.getsockname()[:2]))
        s.settimeout(30)
        data = b""
        try:
            while b"\r\n\r\n" not in data and len(data) < 65536:
                chunk = s.recv(4096)
                if not chunk:
                    return
                data += chunk
        except OSError:
            return
        words = data.split(b"\r\n", 1)[0].split(b" ")
        path = words[1].decode("latin-1") if len(words) > 1 else "?"
        log(f"GET {path}")
        sent, how = 0, "done"
        try:
            if path.startswith("/big"):
                sent = self.stream(BIG, BIG)
            elif path.startswith("/reset"):
                sent = self.stream(BIG, RESET_AFTER)
                # Closed here, not by the server's shutdown, which would send a FIN first.
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                s.close()
                how = "reset"
            elif path.startswith("/hang"):
                how = self.hang()
            else:
                body = b"<html><body><h1>Fault origin page</h1></body></html>\n"
                s.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                          str(len(body)).encode() + b"\r\nConnection: close\r\n\r\n" + body)
                sent = len(body)
        except OSError:
            how = "peer-gone"
        log(f"end {path} sent={sent} how={how}")

    def stream(self, declared, limit):
        self.request.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                             b"Content-Length: " + str(declared).encode() +
                             b"\r\nConnection: close\r\n\r\n")
        block = bytes(65536)
        sent = 0
        while sent < limit:
            piece = block[:limit - sent]
            self.request.sendall(piece)
            sent += len(piece)
        return sent

    def hang(self):
        deadline = time.monotonic() + 60
        self.request.settimeout(0.5)
        while time.monotonic() < deadline:
            try:
                if self.request.recv(4096) == b"":
                    return "peer-gone"
            except socket.timeout:
                pass
        return "timeout"


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--listen", required=True)
    ap.add_argument("--port", type=int, default=81)
    args = ap.parse_args()
    server = Server((args.listen, args.port), Handler)
    log(f"fault origin on {args.listen}:{args.port}")
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
