#!/usr/bin/env python3
"""A misbehaving provider service for the fault test. It serves the provider page in the mode
named by the first word of MODE_FILE, read at every request:

  good    a page whose allowance feed lists every MAC of --allow with 9999 days
  nobody  a page whose allowance feed lists nobody
  hang    reads the request and answers nothing until the mode changes (then closes) or 60 s pass
  500     "500 Internal Server Error" with a page whose allowance feed lists nobody (an error
          answer must change nothing)
  big     a 10,000,000-byte page whose allowance feed, at its very end, lists nobody

  fake_provider_peer.py --listen 10.99.0.3 --port 80 --mode-file FILE --allow MAC[,MAC...]

Every request is logged on stdout as "mode=MODE GET /path..." (the password masked); the end of
each answer as "end mode=MODE sent=BYTES how=done|peer-gone|released|timeout". Python 3 stdlib.
"""

import argparse
import re
import socket
import socketserver
import sys
import threading
import time

BIG_BYTES = 10_000_000
PWD_RE = re.compile(rb"(pwd=)[^&\s]*", re.IGNORECASE)
LOG_LOCK = threading.Lock()


def log(line):
    with LOG_LOCK:
        sys.stdout.write(line + "\n")
        sys.stdout.flush()


class Handler(socketserver.BaseRequestHandler):
    def mode(self):
        try:
            with open(self.server.mode_file) as f:
                words = f.read().split()
            return words[0] if words else "good"
        except OSError:
            return "good"

    def read_head(self):
        data = b""
        self.request.settimeout(10)
        while b"\r\n\r\n" not in data and len(data) < 65536:
            chunk = self.request.recv(4096)
            if not chunk:
                return None
            data += chunk
        return data

    def handle(self):
        try:
            head = self.read_head()
        except OSError:
            return
        if head is None:
            return
        mode = self.mode()
        line = PWD_RE.sub(rb"\1***", head.split(b"\r\n", 1)[0]).decode("latin-1")
        log(f"mode={mode} {line}")
        self.sent, how = 0, "done"
        try:
            if mode == "hang":
                how = self.hang()
            elif mode == "500":
                self.answer(b"500 Internal Server Error",
                                   b"<html><body><h1>Internal error</h1>"
                                   b"<!-- ***Allowed*** --></body></html>")
            elif mode == "big":
                self.big()
            else:
                allowed = self.server.allow if mode != "nobody" else []
                records = "".join(f"*%*{mac}*9999*" for mac in allowed)
                body = ("<html><head><title>Fake provider</title></head><body>"
                        f"<b>Fake provider</b><!-- ***Allowed***{records} --></body></html>")
                self.answer(b"200 OK", body.encode())
        except OSError:
            how = "peer-gone"
        log(f"end mode={mode} sent={self.sent} how={how}")

    def answer(self, status, body):
        data = (b"HTTP/1.1 " + status + b"\r\nContent-Type: text/html\r\nContent-Length: " +
                str(len(body)).encode() + b"\r\nConnection: close\r\n\r\n" + body)
        self.request.sendall(data)
        self.sent += len(data)

    def big(self):
        tail = b"<!-- ***Allowed*** --></body></html>"
        head = (b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                str(BIG_BYTES).encode() + b"\r\nConnection: close\r\n\r\n<html><body>")
        filler = BIG_BYTES - (len(head) - head.index(b"<html>")) - len(tail)
        self.request.settimeout(30)
        self.request.sendall(head)
        self.sent += len(head)
        block = b"<p>" + b"x" * 1017 + b"</p>\n"  # 1024 bytes
        while filler > 0:
            piece = block[:filler]
            self.request.sendall(piece)
            self.sent += len(piece)
            filler -= len(piece)
        self.request.sendall(tail)
        self.sent += len(tail)

    def hang(self):
        deadline = time.monotonic() + 60
        self.request.settimeout(0.1)
        while time.monotonic() < deadline:
            if self.mode() != "hang":
                return "released"
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
    ap.add_argument("--port", type=int, default=80)
    ap.add_argument("--mode-file", required=True)
    ap.add_argument("--allow", default="")
    args = ap.parse_args()
    server = Server((args.listen, args.port), Handler)
    server.mode_file = args.mode_file
    server.allow = [m.upper() for m in args.allow.split(",") if m]
    log(f"fake provider on {args.listen}:{args.port}")
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
