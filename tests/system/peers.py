#!/usr/bin/env python3
"""The far ends of the system tests, run inside the lab's namespaces: `peers.py COMMAND ARG...
--OPTION=VALUE...`, a command being a function below and its options the function's keywords.
Servers print "ready" once they listen, then a line per event; clients print their result."""
import random
import re
import socket
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

def serve(name, listen="0.0.0.0", tcp="", udp=""):
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
    time.sleep(600)


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
    conn.settimeout(float(silence))
    last, echoes, deadline = 0, 0, time.monotonic() + float(limit)
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
    args, options = [], {}
    for word in sys.argv[2:]:
        key, eq, value = word.partition("=")
        if word.startswith("--"):
            options[key[2:]] = value if eq else True
        else:
            args.append(word)
    globals()[sys.argv[1].replace("-", "_")](*args, **options)


if __name__ == "__main__":
    sys.exit(main())
