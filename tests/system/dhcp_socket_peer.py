#!/usr/bin/env python3
"""The other ends of the DHCP socket test: a client without an address, a listener that
must hear nothing, a socket that takes the port first, and a one-shot sender."""

import argparse
import select
import socket
import sys
import time

SO_BINDTODEVICE = getattr(socket, "SO_BINDTODEVICE", 25)
PAYLOAD = bytes(range(256))


def udp_socket():
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    return sock


def receive(sock, deadline):
    """One datagram, or None once the deadline has passed."""
    remaining = deadline - time.monotonic()
    if remaining <= 0 or not select.select([sock], [], [], remaining)[0]:
        return None
    return sock.recvfrom(65535)


def client(args):
    # A DHCP client before it has an address: tied to its adapter, on 0.0.0.0:68.
    sock = udp_socket()
    sock.setsockopt(socket.SOL_SOCKET, SO_BINDTODEVICE, args.dev.encode())
    sock.bind(("0.0.0.0", 68))
    sock.sendto(PAYLOAD, ("255.255.255.255", 67))
    deadline = time.monotonic() + args.timeout
    while (got := receive(sock, deadline)) is not None:
        data, sender = got
        print(f"client: {len(data)} bytes from {sender[0]}:{sender[1]}")
        if data == b"reply:" + PAYLOAD:
            return 0
        print("client: unexpected content", data[:16].hex())
    print("client: no reply within", args.timeout, "s")
    return 1


def listen(args):
    # Whatever arrives on port 68 before the marker is a broadcast that leaked out.
    sock = udp_socket()
    sock.bind(("0.0.0.0", 68))
    print("ready", flush=True)
    deadline = time.monotonic() + args.timeout
    leaked = 0
    while (got := receive(sock, deadline)) is not None:
        data, sender = got
        if data == b"marker":
            print(f"listener: marker seen, {leaked} leaked datagrams")
            return 1 if leaked else 0
        leaked += 1
        print(f"listener: LEAK {len(data)} bytes from {sender[0]}:{sender[1]}")
    print("listener: no marker within", args.timeout, "s")
    return 2


def hold(args):
    sock = udp_socket()
    sock.bind((args.address, args.port))
    print("ready", flush=True)
    time.sleep(args.timeout)
    return 0


def send(args):
    udp_socket().sendto(args.payload.encode(), (args.address, args.port))
    return 0


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="mode", required=True)
    for name, func in (("client", client), ("listen", listen), ("hold", hold), ("send", send)):
        p = sub.add_parser(name)
        p.set_defaults(func=func)
        p.add_argument("--timeout", type=float, default=5.0)
        p.add_argument("--dev", default="eth0")
        p.add_argument("--address", default="0.0.0.0")
        p.add_argument("--port", type=int, default=68)
        p.add_argument("--payload", default="marker")
    args = parser.parse_args()
    return args.func(args)


if __name__ == "__main__":
    sys.exit(main())
