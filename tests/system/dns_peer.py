#!/usr/bin/env python3
"""The other ends of the name service test: a client's query over UDP or TCP, a flood of
queries and junk from one client, TCP connections that say nothing, and an upstream resolver
that never answers."""

import argparse
import os
import random
import select
import socket
import struct
import sys
import time

RCODES = {0: "NOERROR", 2: "SERVFAIL", 3: "NXDOMAIN", 5: "REFUSED"}


def encode_name(name):
    return b"".join(bytes([len(p)]) + p.encode() for p in name.split(".") if p) + b"\0"


def query_message(name, ident):
    # Header: ID, recursion desired, one question; the question: name, type A, class IN.
    return struct.pack("!HHHHHH", ident, 0x0100, 1, 0, 0, 0) + encode_name(name) + b"\0\1\0\1"


def skip_name(data, at):
    while True:
        length = data[at]
        if length == 0:
            return at + 1
        if length >= 0xC0:  # a compression pointer ends the name
            return at + 2
        at += 1 + length


def read_reply(data, ident):
    """(rcode name, IPv4 addresses of the answer section); raises on a malformed reply."""
    got, flags, questions, answers = struct.unpack("!HHHH", data[:8])
    if got != ident or not flags & 0x8000:
        raise ValueError(f"not the reply to query {ident}")
    at = 12
    for _ in range(questions):
        at = skip_name(data, at) + 4
    addresses = []
    for _ in range(answers):
        at = skip_name(data, at)
        rtype, _cls, _ttl, length = struct.unpack("!HHIH", data[at:at + 10])
        at += 10
        if rtype == 1 and length == 4:
            addresses.append(socket.inet_ntoa(data[at:at + 4]))
        at += length
    return RCODES.get(flags & 0xF, str(flags & 0xF)), addresses


def receive_exactly(sock, count, deadline):
    data = b""
    while len(data) < count:
        remaining = deadline - time.monotonic()
        if remaining <= 0 or not select.select([sock], [], [], remaining)[0]:
            raise TimeoutError
        chunk = sock.recv(count - len(data))
        if not chunk:
            raise ConnectionError("closed")
        data += chunk
    return data


def udp_exchange(message, args):
    # As a stub resolver does: the query again after each silent --timeout, --tries in all.
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    for _ in range(args.tries):
        sock.sendto(message, (args.server, 53))
        deadline = time.monotonic() + args.timeout
        while (remaining := deadline - time.monotonic()) > 0:
            if not select.select([sock], [], [], remaining)[0]:
                break
            data, sender = sock.recvfrom(65535)
            if sender[0] == args.server:
                return data
    raise TimeoutError


def query(args):
    ident = random.randrange(1, 0xFFFF)
    message = query_message(args.name, ident)
    deadline = time.monotonic() + args.timeout
    try:
        if args.tcp:
            with socket.create_connection((args.server, 53), timeout=args.timeout) as sock:
                sock.sendall(struct.pack("!H", len(message)) + message)
                length = struct.unpack("!H", receive_exactly(sock, 2, deadline))[0]
                data = receive_exactly(sock, length, deadline)
        else:
            data = udp_exchange(message, args)
        rcode, addresses = read_reply(data, ident)
    except (OSError, TimeoutError, ValueError, ConnectionError) as error:
        print(f"no answer: {error!r}")
        return 2
    print(f"{rcode} {','.join(addresses)}".rstrip())
    return 0


def junk(rng):
    """A datagram no resolver can take as a query."""
    kind = rng.randrange(4)
    if kind == 0:
        return rng.randbytes(rng.randrange(0, 600))
    if kind == 1:  # a header that promises ten questions and brings none
        return struct.pack("!HHHHHH", rng.randrange(0xFFFF), 0x0100, 10, 0, 0, 0)
    if kind == 2:  # a name that points at itself
        return struct.pack("!HHHHHH", rng.randrange(0xFFFF), 0x0100, 1, 0, 0, 0) + b"\xc0\x0c"
    return b"\x00"


def flood(args):
    # As fast as the socket takes them, for the given time: queries for names nobody has
    # cached (those under --suffix wait on an upstream that never answers), every tenth a junk
    # datagram. Replies are read and dropped so the socket's buffer never stops the sender.
    rng = random.Random(os.getpid())
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setblocking(False)
    sent = 0
    end = time.monotonic() + args.seconds
    while time.monotonic() < end:
        if sent % 10 == 9:
            message = junk(rng)
        else:
            name = f"{rng.randrange(1 << 40):x}.{args.suffix}"
            message = query_message(name, rng.randrange(0xFFFF))
        try:
            sock.sendto(message, (args.server, 53))
            sent += 1
        except BlockingIOError:
            select.select([], [sock], [], 0.01)
        try:
            while True:
                sock.recv(65535)
        except BlockingIOError:
            pass
    print(f"sent {sent}")
    return 0


def hold_tcp(args):
    # Connections that never send a query: each one holds one of dnsmasq's TCP processes.
    held = []
    for _ in range(args.count):
        try:
            held.append(socket.create_connection((args.server, 53), timeout=2))
        except OSError as error:
            print(f"connect failed: {error!r}")
            break
    print(f"held {len(held)}", flush=True)
    time.sleep(args.seconds)
    return 0


def silent(args):
    # An upstream resolver that takes every query and answers none.
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((args.listen, 53))
    print("ready", flush=True)
    while True:
        sock.recv(65535)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    one = commands.add_parser("query", help="one query; prints the rcode and the addresses")
    one.add_argument("--server", required=True)
    one.add_argument("--name", required=True)
    one.add_argument("--tcp", action="store_true")
    one.add_argument("--timeout", type=float, default=3)
    one.add_argument("--tries", type=int, default=1, help="UDP only")
    many = commands.add_parser("flood")
    many.add_argument("--server", required=True)
    many.add_argument("--suffix", required=True)
    many.add_argument("--seconds", type=float, default=3)
    hold = commands.add_parser("hold-tcp")
    hold.add_argument("--server", required=True)
    hold.add_argument("--count", type=int, default=25)
    hold.add_argument("--seconds", type=float, default=30)
    sink = commands.add_parser("silent")
    sink.add_argument("--listen", required=True)
    args = parser.parse_args()
    return {"query": query, "flood": flood, "hold-tcp": hold_tcp, "silent": silent}[
        args.command](args)


if __name__ == "__main__":
    sys.exit(main())
