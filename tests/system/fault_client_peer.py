#!/usr/bin/env python3
"""Proxy clients that misbehave, for the fault test. One GET of URL through the proxy, then:

  reset   once AFTER bytes have arrived, the connection is reset (SO_LINGER 0, then close)
  giveup  waits SECONDS for the reply, then closes normally, whatever came
  drain   reads until the proxy closes (or SECONDS pass)

  fault_client_peer.py MODE --proxy 192.168.11.1:8080 --url URL [--after BYTES] [--seconds S]

Prints "mode=MODE got=BYTES status='...' end=reset|gave-up|closed|timeout|error:..." and ends
with 0 when the mode's end was reached (reset: AFTER bytes arrived first). Python 3 stdlib.
"""

import argparse
import socket
import struct
import sys
import time


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("mode", choices=["reset", "giveup", "drain"])
    ap.add_argument("--proxy", default="192.168.11.1:8080")
    ap.add_argument("--url", required=True)
    ap.add_argument("--after", type=int, default=1 << 20)
    ap.add_argument("--seconds", type=float, default=20)
    args = ap.parse_args()
    host, port = args.proxy.rsplit(":", 1)
    target = args.url.split("//", 1)[1].split("/", 1)[0]
    request = (f"GET {args.url} HTTP/1.1\r\nHost: {target}\r\nUser-Agent: fault-client\r\n"
               "Connection: close\r\n\r\n").encode()
    got = 0
    first = b""
    end = "timeout"
    deadline = time.monotonic() + args.seconds
    s = socket.create_connection((host, int(port)), timeout=5)
    try:
        s.sendall(request)
        while time.monotonic() < deadline:
            s.settimeout(max(0.05, min(1.0, deadline - time.monotonic())))
            try:
                chunk = s.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                end = "closed"
                break
            if len(first) < 200:
                first += chunk[:200]
            got += len(chunk)
            if args.mode == "reset" and got >= args.after:
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                end = "reset"
                break
        if args.mode == "giveup" and end == "timeout":
            end = "gave-up"
    except OSError as e:
        end = f"error:{e.__class__.__name__}"
    finally:
        s.close()
    status = first.split(b"\r\n", 1)[0].decode("latin-1") if first else ""
    print(f"mode={args.mode} got={got} status='{status}' end={end}", flush=True)
    wanted = {"reset": "reset", "giveup": "gave-up", "drain": "closed"}[args.mode]
    return 0 if end == wanted else 1


if __name__ == "__main__":
    sys.exit(main())
