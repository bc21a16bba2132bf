#!/usr/bin/env python3
"""Logs every DHCP message that crosses one Ethernet port, one line each, so lab checks can
see what the server really sent (clients only report what they accepted).

Usage: dhcp_watch.py IFACE LOGFILE   (run inside the namespace holding IFACE, as root)

Line format (fields separated by single spaces, addresses dotted, absent ones "-"):
  N t=SECONDS from=client|server type=DISCOVER xid=0x1234abcd mac=02:..
    ciaddr=.. yiaddr=.. req=.. srv=.. dst=..   (all on one line)
"ready" is written once the socket is bound, so callers can wait for it before any traffic.
"""

import signal
import socket
import struct
import sys
import time

ETH_P_ALL = 0x0003
TYPES = {1: "DISCOVER", 2: "OFFER", 3: "REQUEST", 4: "DECLINE", 5: "ACK", 6: "NAK",
         7: "RELEASE", 8: "INFORM"}
MAGIC = b"\x63\x82\x53\x63"


def dotted(raw):
    return socket.inet_ntoa(raw) if raw and len(raw) == 4 else "-"


def options(data):
    found = {}
    i = 0
    while i < len(data):
        code = data[i]
        if code == 0:
            i += 1
            continue
        if code == 255 or i + 1 >= len(data):
            break
        length = data[i + 1]
        found.setdefault(code, data[i + 2:i + 2 + length])
        i += 2 + length
    return found


def describe(frame):
    """One log line for a DHCP frame, or None for any other frame."""
    if len(frame) < 14 + 20 + 8 + 240:
        return None
    ethertype = struct.unpack("!H", frame[12:14])[0]
    if ethertype != 0x0800:
        return None
    ip = frame[14:]
    header_len = (ip[0] & 0x0F) * 4
    if ip[9] != 17:  # UDP only
        return None
    dst_ip = ip[16:20]
    udp = ip[header_len:]
    sport, dport = struct.unpack("!HH", udp[0:4])
    if {sport, dport} - {67, 68} or len(udp) < 8 + 240:
        return None
    bootp = udp[8:]
    if bootp[236:240] != MAGIC:
        return None
    opts = options(bootp[240:])
    kind = (opts.get(53) or b"\x00")[0]  # an empty option 53 reads as no type
    return " ".join([
        "from=" + ("server" if sport == 67 and dport == 68 else "client"),
        "type=" + TYPES.get(kind, str(kind)),
        "xid=0x" + bootp[4:8].hex(),
        "mac=" + ":".join("%02x" % b for b in bootp[28:34]),
        "ciaddr=" + dotted(bootp[12:16]),
        "yiaddr=" + dotted(bootp[16:20]),
        "req=" + dotted(opts.get(50)),
        "srv=" + dotted(opts.get(54)),
        "dst=" + dotted(dst_ip),
    ])


def main():
    iface, path = sys.argv[1], sys.argv[2]
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
    sock.bind((iface, 0))
    count = 0
    start = time.monotonic()
    with open(path, "a", buffering=1) as log:
        log.write("ready\n")
        while True:
            frame = sock.recv(65535)
            line = describe(frame)
            if line:
                count += 1
                log.write("%d t=%.6f %s\n" % (count, time.monotonic() - start, line))


if __name__ == "__main__":
    main()
