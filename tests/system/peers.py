#!/usr/bin/env python3
"""The far ends of the system tests, run inside the lab's namespaces: `peers.py COMMAND ...`,
each command's use in its docstring (`peers.py COMMAND --help`). Servers print "ready" once they
listen, then a line per event; clients print their result. Python 3 standard library only."""
import argparse
import inspect
import os
import random
import re
import signal
import socket
import socketserver
import struct
import sys
import threading
import time

LOCK = threading.Lock()
PROXY = ("192.168.11.1", 8080)


def say(line):
    with LOCK:
        print(line, flush=True)


# --- plain TCP, through the gateway ---

def serve(name, listen="0.0.0.0", tcp="", udp="", seconds=600.0):
    """TCP servers on the ports (comma-separated) that greet each peer "NAME PEER-IP", log
    "tcp PORT from IP" and echo its lines; UDP ports are only held."""

    def talk(conn, peer, port):
        with conn:
            say(f"tcp {port} from {peer[0]}")
            conn.sendall(f"{name} {peer[0]}\n".encode())
            for line in conn.makefile("rb"):
                conn.sendall(line)

    def accept(listener, port):
        while True:
            conn, peer = listener.accept()
            threading.Thread(target=talk, args=(conn, peer, port), daemon=True).start()

    for port in filter(None, tcp.split(",")):
        listener = socket.create_server((listen, int(port)))
        threading.Thread(target=accept, args=(listener, port), daemon=True).start()
    held = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in filter(None, udp.split(","))]
    for sock, port in zip(held, filter(None, udp.split(","))):
        sock.bind((listen, int(port)))
    say("ready")
    time.sleep(seconds)


def reach(target, timeout=2.0):
    """"TARGET RESULT" for a target "tcp:HOST:PORT": "connected GREETING", "reset" or
    "timeout"."""
    _, host, port = target.split(":")
    try:
        conn = socket.create_connection((host, int(port)), timeout=timeout)
        result = "connected " + conn.makefile("rb").readline().decode().strip()
    except ConnectionRefusedError:
        result = "reset"
    except socket.timeout:
        result = "timeout"
    say(f"{target} {result}")


def stream(host, port, silence=1.0, limit=15.0):
    """A line every 0.1 s, each echoed: "started" at the first echo, then, once no echo came
    for SILENCE s (or after LIMIT s), "last_echo EPOCH-MS echoes N"."""
    conn = socket.create_connection((host, int(port)), timeout=5)
    reader = conn.makefile("rb")
    reader.readline()
    conn.settimeout(silence)
    last, echoes, deadline = 0, 0, time.monotonic() + limit
    while time.monotonic() < deadline:
        try:
            conn.sendall(b"ping\n")
            if not reader.readline():
                break
        except OSError:  # no echo within the silence, or a reset
            break
        last, echoes = int(time.time() * 1000), echoes + 1
        if echoes == 1:
            say("started")
        time.sleep(0.1)
    say(f"last_echo {last} echoes {echoes}")


# --- the web's faults ---

def fault_origin(listen, port=81):
    """HTTP: /big 50 MiB, /reset 2 MiB of a declared 50 MiB and then a reset, any other path no
    answer until the client goes (60 s at most); "end PATH sent=N how=done|reset|peer-gone"."""

    class Handler(socketserver.BaseRequestHandler):
        def handle(self):
            sock, head, sent, how, path = self.request, b"", 0, "done", "?"
            try:
                while b"\r\n\r\n" not in head and (chunk := sock.recv(4096)):
                    head += chunk
                path = (head.split(b" ") + [b"?"])[1].decode("latin-1")
                if path.startswith(("/big", "/reset")):
                    size = 50 << 20 if path.startswith("/big") else 2 << 20
                    sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % (50 << 20))
                    while sent < size:
                        sent += sock.send(bytes(min(65536, size - sent)))
                if path.startswith("/reset"):
                    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    sock.close()
                    how = "reset"
                elif sent == 0:
                    sock.settimeout(60)
                    how = "peer-gone" if sock.recv(4096) == b"" else "timeout"
            except OSError:
                how = "peer-gone"
            say(f"end {path} sent={sent} how={how}")

    socketserver.ThreadingTCPServer.allow_reuse_address = True
    server = socketserver.ThreadingTCPServer((listen, port), Handler)
    server.daemon_threads = True
    say("ready")
    server.serve_forever()


# --- the proxy's clients ---

def slow(status="slow.status", host=PROXY[0], port=8080, count=300, max_seconds=90.0):
    """COUNT connections, each trickling a request head that never ends, a byte a second. The
    STATUS file, rewritten twice a second: "opened=N failed=F closed_by_peer=C cut_min_ms=M cut_max_ms=X" (the shortest and
    longest time from a connection to the gateway's close of it). SIGTERM ends them all."""
    opened, failed, cut = [], [], []
    head, stop = b"GET http://origin.lab/ HTTP/1.1\r\nHost: origin.lab\r\nX: ", threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())

    def one(number):
        try:
            sock = socket.create_connection((host, port), timeout=5)
        except OSError:
            failed.append(number)
            return
        opened.append(number)
        since, sent = time.monotonic(), 0
        sock.settimeout(number % 100 / 100 + 0.001)  # the first byte spread over the second
        while not stop.is_set():
            try:
                if sock.recv(4096) == b"":  # the gateway never answers an unfinished head
                    break
            except socket.timeout:
                try:
                    sent += sock.send(head[sent:sent + 1] or b"a")
                except OSError:
                    break
                sock.settimeout(1)
            except OSError:
                break
        if not stop.is_set():
            cut.append(round((time.monotonic() - since) * 1000))

    def write_status():
        with open(status + ".tmp", "w") as f:
            f.write(f"opened={len(opened)} failed={len(failed)} closed_by_peer="
                    f"{len(cut)} cut_min_ms={min(cut, default=0)} "
                    f"cut_max_ms={max(cut, default=0)}\n")
        os.replace(status + ".tmp", status)

    for number in range(count):
        threading.Thread(target=one, args=(number,), daemon=True).start()
    end = time.monotonic() + max_seconds
    while not stop.wait(0.5) and time.monotonic() < end:
        write_status()
    write_status()


# --- DNS ---

RCODES = {0: "NOERROR", 2: "SERVFAIL", 3: "NXDOMAIN", 5: "REFUSED"}
# An answer's A record: a name pointer, type A, class IN, a TTL, length 4, the address.
A_RECORD = re.compile(rb"\xc0.\x00\x01\x00\x01.{4}\x00\x04(.{4})", re.S)


def dns_query(*names, server=PROXY[0], tcp=False):
    """A query for each name, over UDP or TCP: "RCODE ADDRESS,..." or "no answer: ..."."""
    for name in names:
        ident = random.randrange(1, 0xFFFF)
        question = b"".join(bytes([len(p)]) + p.encode() for p in name.split(".")) + b"\0\0\1\0\1"
        message = struct.pack("!6H", ident, 0x0100, 1, 0, 0, 0) + question
        try:
            if tcp:
                with socket.create_connection((server, 53), timeout=3) as sock:
                    sock.sendall(struct.pack("!H", len(message)) + message)
                    reader = sock.makefile("rb")
                    data = reader.read(struct.unpack("!H", reader.read(2))[0])
            else:
                sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                sock.settimeout(3)
                sock.sendto(message, (server, 53))
                data = sock.recv(65535)
            got, flags = struct.unpack("!2H", data[:4])
            if got != ident or not flags & 0x8000:
                raise ValueError(f"not the reply to query {ident}")
            addresses = map(socket.inet_ntoa, A_RECORD.findall(data, 12 + len(question)))
            say(f"{RCODES.get(flags & 0xF, flags & 0xF)} {','.join(addresses)}".rstrip())
        except (OSError, ValueError, struct.error) as error:
            say(f"no answer: {error!r}")


def main():
    """Each command's options are its function's parameters, typed by their defaults."""
    parser = argparse.ArgumentParser(description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    for function in (serve, reach, stream, fault_origin, slow, dns_query):
        sub = commands.add_parser(function.__name__.replace("_", "-"), help=function.__doc__)
        sub.set_defaults(run=function)
        for name, p in inspect.signature(function).parameters.items():
            flag, default = "--" + name.replace("_", "-"), p.default
            if p.kind == p.VAR_POSITIONAL:
                sub.add_argument(name, nargs="+")
            elif default is p.empty:
                sub.add_argument(name)
            elif isinstance(default, bool):
                sub.add_argument(flag, dest=name, action="store_true")
            else:
                sub.add_argument(flag, dest=name, default=default,
                                 type=str if default is None else type(default))
    args = vars(parser.parse_args())
    function = args.pop("run")
    del args["command"]
    names = [p.name for p in inspect.signature(function).parameters.values()
             if p.kind == p.VAR_POSITIONAL]
    function(*args.pop(names[0]) if names else (), **args)


if __name__ == "__main__":
    sys.exit(main())
