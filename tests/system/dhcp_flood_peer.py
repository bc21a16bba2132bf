#!/usr/bin/env python3
"""A DHCP flood for the load test, sent from a LAN host with no address: malformed and random
datagrams mixed with well-formed DISCOVERs from random hardware addresses, all broadcast to
255.255.255.255:67 from port 68 on one adapter, paced over SECONDS.

  dhcp_flood_peer.py --iface eth0 [--garbage 10000] [--discovers 1000] [--seconds 10] \
      [--declines 0] [--seed N]

Prints the seed (a failing run can be repeated with it) and one line per kind of datagram with
how many were sent. Python 3 stdlib only; needs root (SO_BINDTODEVICE, port 68).

  dhcp_flood_peer.py --iface eth0 --spoof MAC,ADDRESS [--timeout 10]

instead sends, in the name of the client with hardware address MAC holding ADDRESS, a DECLINE
of ADDRESS, a DISCOVER under hardware type 6 and a RELEASE of ADDRESS (unicast to the server,
from this host's own address), then a DISCOVER of its own whose OFFER shows that the server has
dealt with all three. Prints "marker=YIADDR" (or "marker=none") and "answered=" the spoofed
messages the server replied to ("none"); exits 0 once the marker's OFFER came.
"""

import argparse
import random
import select
import socket
import struct
import sys
import time

COOKIE = bytes([99, 130, 83, 99])
SERVER = "192.168.11.1"
FIXED = 236  # op .. file, before the cookie


def bootp(rng, op=1, htype=1, hlen=6, mac=None, flags=0x8000, ciaddr=bytes(4)):
    mac = mac if mac is not None else random_mac(rng)
    chaddr = (mac + bytes(16))[:16]
    return (struct.pack("!BBBBIHH", op, htype, hlen, 0, rng.getrandbits(32), 0, flags) +
            ciaddr + bytes(12) + chaddr + bytes(64 + 128))


def random_mac(rng):
    first = (rng.getrandbits(8) & 0xFC) | 0x02  # locally administered, unicast
    return bytes([first]) + rng.getrandbits(40).to_bytes(5, "big")


def discover(rng, mac=None):
    options = bytes([53, 1, 1, 55, 4, 1, 3, 6, 15, 255])
    return bootp(rng, mac=mac) + COOKIE + options


def random_options(rng):
    out = bytearray()
    for _ in range(rng.randrange(0, 12)):
        code = rng.randrange(0, 256)
        length = rng.randrange(0, 256)
        # Often a declared length that runs past the end of the datagram.
        body = bytes(rng.getrandbits(8) for _ in range(rng.randrange(0, min(length, 40) + 1)))
        out += bytes([code, length]) + body
    if rng.random() < 0.5:
        out.append(255)
    return bytes(out)


# Each maker names the kind of datagram it builds.
def garbage_random(rng):
    return bytes(rng.getrandbits(8) for _ in range(rng.randrange(0, 601)))


def garbage_cookie_options(rng):
    return bootp(rng) + COOKIE + random_options(rng)


def garbage_type_then_garbage(rng):
    # Every message type but DECLINE, which has a kind of its own (decline_unknown).
    kind = rng.choice([0, 1, 2, 3, 5, 6, 7, 8, 9, 200, 255])
    return bootp(rng) + COOKIE + bytes([53, 1, kind]) + random_options(rng)


def garbage_hlen(rng):
    hlen = rng.choice([0, 255, 16, 17])
    return bootp(rng, hlen=hlen) + COOKIE + bytes([53, 1, rng.choice([1, 3]), 255])


def garbage_htype(rng):
    return bootp(rng, htype=rng.choice([0, 6, 32, 255])) + COOKIE + bytes([53, 1, 1, 255])


def garbage_reply_op(rng):
    return bootp(rng, op=rng.choice([0, 2, 3, 255])) + COOKIE + bytes([53, 1, 2, 255])


def garbage_truncated(rng):
    whole = discover(rng) + bytes([50, 4, 192, 168, 11, rng.randrange(0, 256)])
    return whole[:rng.randrange(0, len(whole))]


def garbage_bad_cookie(rng):
    cookie = bytes(rng.getrandbits(8) for _ in range(4))
    return bootp(rng) + cookie + bytes([53, 1, 1, 255])


def garbage_odd_lengths(rng):
    # Option 53 with length 0 or larger than its data, pad runs, an overload option.
    options = rng.choice([
        bytes([53, 0, 255]),
        bytes([53, 200, 1]),
        bytes([0] * 300),
        bytes([52, 1, 3, 53, 1, 1, 255]),
        bytes([53, 1, 3, 50, 4, 192, 168, 11]),
        bytes([53, 1, 3, 61, 255]) + bytes(10),
        bytes([53, 1, 1, 12, 255]) + b"x" * 255,
    ])
    return bootp(rng) + COOKIE + options


def garbage_request_foreign(rng):
    # REQUESTs from random hosts for addresses outside the pool (.100 to .254), each to be
    # refused. (One for a free address of the pool would rightly be granted: a flood of those
    # exhausts any address service, which is not what this flood is after.)
    wanted = rng.choice([bytes([192, 168, 11, rng.randrange(0, 100)]),
                         bytes([192, 168, 11, 255]),
                         bytes([10, rng.randrange(0, 256), rng.randrange(0, 256), 7])])
    return bootp(rng) + COOKIE + bytes([53, 1, 3, 50, 4]) + wanted + bytes([255])


def decline_unknown(rng):
    # A DECLINE from a host the server never offered anything, naming an address outside the
    # pool or none at all: it takes no number of the pool out of use.
    named = rng.choice([bytes([50, 4, 192, 168, 11, rng.randrange(2, 100)]), b""])
    return bootp(rng) + COOKIE + bytes([53, 1, 4]) + named + bytes([255])


MAKERS = [garbage_random, garbage_cookie_options, garbage_type_then_garbage, garbage_hlen,
          garbage_htype, garbage_reply_op, garbage_truncated, garbage_bad_cookie,
          garbage_odd_lengths, garbage_request_foreign]


def spoof(s, rng, victim, timeout):
    mac_text, address_text = victim.split(",")
    mac = bytes.fromhex(mac_text.replace(":", ""))
    address = socket.inet_aton(address_text)
    server = socket.inet_aton(SERVER)
    messages = [  # name, datagram, target
        ("decline", bootp(rng, mac=mac, flags=0) + COOKIE +
         bytes([53, 1, 4, 50, 4]) + address + bytes([54, 4]) + server + bytes([255]),
         "255.255.255.255"),
        ("discover-htype6", bootp(rng, htype=6, mac=mac) + COOKIE + bytes([53, 1, 1, 255]),
         "255.255.255.255"),
        ("release", bootp(rng, mac=mac, flags=0, ciaddr=address) + COOKIE +
         bytes([53, 1, 7, 54, 4]) + server + bytes([255]), SERVER),
    ]
    marker = discover(rng)
    names = {d[4:8]: name for name, d, _ in messages}
    for _, datagram, target in messages:
        s.sendto(datagram, (target, 67))
    s.sendto(marker, ("255.255.255.255", 67))
    answered, offered = set(), "none"
    deadline = time.monotonic() + timeout
    while offered == "none" and (left := deadline - time.monotonic()) > 0:
        if not select.select([s], [], [], left)[0]:
            break
        reply = s.recv(4096)
        if len(reply) < 240 or reply[0] != 2:
            continue
        if reply[4:8] == marker[4:8]:
            offered = socket.inet_ntoa(reply[16:20])
        elif reply[4:8] in names:
            answered.add(names[reply[4:8]])
    print(f"sent={' '.join(names.values())} marker={offered} "
          f"answered={','.join(sorted(answered)) or 'none'}", flush=True)
    return 0 if offered != "none" else 1


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--iface", required=True)
    ap.add_argument("--garbage", type=int, default=10000)
    ap.add_argument("--discovers", type=int, default=1000)
    ap.add_argument("--seconds", type=float, default=10)
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--declines", type=int, default=0,
                    help="DECLINEs from unknown hosts, besides the garbage")
    ap.add_argument("--spoof", metavar="MAC,ADDRESS",
                    help="messages in another client's name instead of a flood")
    ap.add_argument("--timeout", type=float, default=10,
                    help="--spoof: how long to wait for the server's OFFER")
    args = ap.parse_args()
    seed = args.seed if args.seed is not None else random.SystemRandom().getrandbits(32)
    rng = random.Random(seed)
    print(f"seed={seed}", flush=True)

    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, args.iface.encode())
    s.bind(("0.0.0.0", 68))
    if args.spoof:
        return spoof(s, rng, args.spoof, args.timeout)

    plan = ([None] * args.discovers + [decline_unknown] * args.declines +
            [rng.choice(MAKERS) for _ in range(args.garbage)])
    rng.shuffle(plan)
    sent = {}
    errors = 0
    started = time.monotonic()
    total = max(1, len(plan))
    for i, maker in enumerate(plan):
        datagram = discover(rng) if maker is None else maker(rng)
        name = "discover" if maker is None else maker.__name__
        try:
            s.sendto(datagram, ("255.255.255.255", 67))
            sent[name] = sent.get(name, 0) + 1
        except OSError:
            errors += 1
        # Paced: datagram i leaves no earlier than its share of the run.
        ahead = started + args.seconds * (i + 1) / total - time.monotonic()
        if ahead > 0:
            time.sleep(ahead)
    for name in sorted(sent):
        print(f"  {name}: {sent[name]}")
    print(f"sent={sum(sent.values())} errors={errors} "
          f"seconds={time.monotonic() - started:.1f}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
