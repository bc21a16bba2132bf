#!/usr/bin/env python3
"""Both ends of the firewall test's traffic, run in the test's namespaces.

serve   --name NAME --tcp PORT... --udp PORT...   servers that log each peer ("tcp PORT from IP
        orig IP:PORT", the original destination read with SO_ORIGINAL_DST) and greet it with
        "NAME PEER-IP"; a TCP line "bulk N" is answered with N bytes, "later N" with a line
        "late" N seconds later, "note TAG" is logged ("note TAG from IP"), any other line is
        echoed
connect HOST PORT      "connected GREETING", "refused MS" (reset, with the time it took),
                       "timeout" or "error TEXT"
udp HOST PORT          "reply TEXT", "refused" (ICMP port unreachable) or "timeout"
stream HOST PORT       a line every --interval s, each echoed; prints "started" at the first
                       echo and, once no echo came for --silence s (or after --limit s),
                       "last_echo EPOCH-MS echoes N"
bulk HOST PORT BYTES   "received N" after asking for BYTES bytes
push HOST PORT         asks for a line --delay s later ("asked"), sends "note --tag" itself
                       then, and prints "pushed" when the line came within --wait s, else
                       "silence"
"""
import argparse
import socket
import struct
import sys
import threading
import time

SO_ORIGINAL_DST = 80


def say(line):
    print(line, flush=True)


def now_ms():
    return int(time.time() * 1000)


def original_destination(conn):
    try:
        raw = conn.getsockopt(socket.SOL_IP, SO_ORIGINAL_DST, 16)
        port, address = struct.unpack("!2xH4s8x", raw)
        return "%s:%d" % (socket.inet_ntoa(address), port)
    except OSError:
        address, port = conn.getsockname()
        return "%s:%d" % (address, port)


def serve_tcp(name, port):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("0.0.0.0", port))
    listener.listen(16)

    def talk(conn, peer):
        with conn:
            say("tcp %d from %s orig %s" % (port, peer[0], original_destination(conn)))
            conn.sendall(("%s %s\n" % (name, peer[0])).encode())
            reader = conn.makefile("rb")
            for line in reader:
                if line.startswith(b"bulk "):
                    conn.sendall(b"x" * int(line.split()[1]))
                elif line.startswith(b"note "):
                    say("note %s from %s" % (line.split()[1].decode(), peer[0]))
                elif line.startswith(b"later "):
                    threading.Timer(float(line.split()[1]), conn.sendall, [b"late\n"]).start()
                else:
                    conn.sendall(line)

    def accept():
        while True:
            conn, peer = listener.accept()
            threading.Thread(target=talk, args=(conn, peer), daemon=True).start()

    threading.Thread(target=accept, daemon=True).start()


def serve_udp(name, port):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("0.0.0.0", port))

    def answer():
        while True:
            _, peer = sock.recvfrom(2048)
            say("udp %d from %s" % (port, peer[0]))
            sock.sendto(("%s\n" % name).encode(), peer)

    threading.Thread(target=answer, daemon=True).start()


def serve(args):
    for port in args.tcp:
        serve_tcp(args.name, port)
    for port in args.udp:
        serve_udp(args.name, port)
    say("ready")
    time.sleep(args.seconds)


def connect(args):
    start = time.monotonic()
    try:
        conn = socket.create_connection((args.host, args.port), timeout=args.timeout)
        greeting = conn.makefile("rb").readline().decode().strip()
        say("connected %s" % greeting)
    except ConnectionRefusedError:
        say("refused %d" % ((time.monotonic() - start) * 1000))
    except socket.timeout:
        say("timeout")
    except OSError as error:
        say("error %s" % error)


def udp(args):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.settimeout(args.timeout)
    sock.connect((args.host, args.port))
    try:
        sock.send(b"hello")
        say("reply %s" % sock.recv(2048).decode().strip())
    except ConnectionRefusedError:
        say("refused")
    except socket.timeout:
        say("timeout")


def stream(args):
    conn = socket.create_connection((args.host, args.port), timeout=args.silence)
    reader = conn.makefile("rb")
    reader.readline()  # the greeting
    last_echo, echoes, deadline = 0, 0, time.monotonic() + args.limit
    while time.monotonic() < deadline:
        try:
            conn.sendall(b"ping\n")
            if not reader.readline():
                break
        except OSError:  # no echo within the silence, or the connection was reset
            break
        last_echo, echoes = now_ms(), echoes + 1
        if echoes == 1:
            say("started")
        time.sleep(args.interval)
    say("last_echo %d echoes %d" % (last_echo, echoes))


def bulk(args):
    conn = socket.create_connection((args.host, args.port), timeout=5)
    reader = conn.makefile("rb")
    reader.readline()
    conn.sendall(b"bulk %d\n" % args.bytes)
    received = 0
    while received < args.bytes:
        chunk = reader.read1(65536)
        if not chunk:
            break
        received += len(chunk)
    say("received %d" % received)


def push(args):
    conn = socket.create_connection((args.host, args.port), timeout=5)
    reader = conn.makefile("rb")
    reader.readline()
    conn.sendall(b"later %g\n" % args.delay)
    say("asked")
    time.sleep(args.delay)
    conn.settimeout(args.wait - args.delay)
    try:
        conn.sendall(b"note %s\n" % args.tag.encode())
        say("pushed" if reader.readline() == b"late\n" else "silence")
    except OSError:
        say("silence")


def main():
    parser = argparse.ArgumentParser()
    commands = parser.add_subparsers(dest="command", required=True)
    p = commands.add_parser("serve")
    p.add_argument("--name", required=True)
    p.add_argument("--tcp", type=int, nargs="*", default=[])
    p.add_argument("--udp", type=int, nargs="*", default=[])
    p.add_argument("--seconds", type=float, default=280)
    p.set_defaults(run=serve)
    for name, run in (("connect", connect), ("udp", udp)):
        p = commands.add_parser(name)
        p.add_argument("host")
        p.add_argument("port", type=int)
        p.add_argument("--timeout", type=float, default=2)
        p.set_defaults(run=run)
    p = commands.add_parser("stream")
    p.add_argument("host")
    p.add_argument("port", type=int)
    p.add_argument("--interval", type=float, default=0.1)
    p.add_argument("--silence", type=float, default=1)
    p.add_argument("--limit", type=float, default=15)
    p.set_defaults(run=stream)
    p = commands.add_parser("bulk")
    p.add_argument("host")
    p.add_argument("port", type=int)
    p.add_argument("bytes", type=int)
    p.set_defaults(run=bulk)
    p = commands.add_parser("push")
    p.add_argument("host")
    p.add_argument("port", type=int)
    p.add_argument("--delay", type=float, default=3)
    p.add_argument("--wait", type=float, default=6)
    p.add_argument("--tag", default="late")
    p.set_defaults(run=push)
    args = parser.parse_args()
    args.run(args)


if __name__ == "__main__":
    sys.exit(main())
