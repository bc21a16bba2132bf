#!/usr/bin/env python3
"""Slow clients for the proxy bench's memory figure: COUNT connections to HOST:PORT, each
trickling a request head that never ends, a byte a second, so that a proxy holds every one open
without an answer. The STATUS file, rewritten twice a second: "opened=N failed=F". Runs until
SIGTERM or --max-seconds."""
import argparse
import os
import signal
import socket
import threading
import time

HEAD = b"GET http://origin.lab/ HTTP/1.1\r\nHost: origin.lab\r\nX: "


def trickle(host, port, opened, failed, stop):
    try:
        sock = socket.create_connection((host, port), timeout=5)
    except OSError:
        failed.append(1)
        return
    opened.append(1)
    sent = 0
    while not stop.wait(1):
        try:
            sent += sock.send(HEAD[sent:sent + 1] or b"a")
        except OSError:
            return


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--host", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--count", type=int, default=300)
    parser.add_argument("--status", required=True)
    parser.add_argument("--max-seconds", type=float, default=60)
    args = parser.parse_args()
    opened, failed, stop = [], [], threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    for _ in range(args.count):
        threading.Thread(target=trickle, args=(args.host, args.port, opened, failed, stop),
                         daemon=True).start()
    end = time.monotonic() + args.max_seconds
    while not stop.wait(0.5) and time.monotonic() < end:
        with open(args.status + ".tmp", "w") as f:
            f.write(f"opened={len(opened)} failed={len(failed)}\n")
        os.replace(args.status + ".tmp", args.status)


if __name__ == "__main__":
    main()
