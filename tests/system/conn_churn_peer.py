#!/usr/bin/env python3
"""Many short proxy connections in a row, for the load test: each connects to HOST:PORT, asks
for PATH, reads the reply to its end and closes. PARALLEL workers share COUNT connections; the
run stops early after MAX_SECONDS.

  conn_churn_peer.py --host 192.168.11.1 --port 8080 --count 20000 [--parallel 4] \
      [--path /wpad] [--expect FindProxyForURL] [--max-seconds 60]

Prints one line: "done=N ok=K failed=F seconds=S rate=R/s" and, when some failed, the first
few reasons. Exit code 0 when every connection got a 200 reply holding EXPECT. Python 3 stdlib.
"""

import argparse
import socket
import sys
import threading
import time


class Counter:
    def __init__(self, total):
        self.lock = threading.Lock()
        self.left = total
        self.done = 0
        self.ok = 0
        self.reasons = []

    def take(self):
        with self.lock:
            if self.left <= 0:
                return False
            self.left -= 1
            return True

    def result(self, good, reason=""):
        with self.lock:
            self.done += 1
            if good:
                self.ok += 1
            elif len(self.reasons) < 5:
                self.reasons.append(reason)


def exchange(args, request):
    with socket.create_connection((args.host, args.port), timeout=5) as s:
        s.sendall(request)
        data = b""
        while len(data) < 1 << 20:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    status = data.split(b"\r\n", 1)[0]
    if b" 200 " not in status or args.expect.encode() not in data:
        return False, f"reply {data[:80]!r}"
    return True, ""


def worker(args, counter, deadline):
    request = f"GET {args.path} HTTP/1.0\r\nHost: {args.host}:{args.port}\r\n\r\n".encode()
    while time.monotonic() < deadline and counter.take():
        try:
            good, reason = exchange(args, request)
        except OSError as e:
            good, reason = False, repr(e)
        counter.result(good, reason)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--host", required=True)
    ap.add_argument("--port", type=int, default=8080)
    ap.add_argument("--count", type=int, required=True)
    ap.add_argument("--parallel", type=int, default=4)
    ap.add_argument("--path", default="/wpad")
    ap.add_argument("--expect", default="FindProxyForURL")
    ap.add_argument("--max-seconds", type=float, default=60)
    args = ap.parse_args()
    counter = Counter(args.count)
    started = time.monotonic()
    deadline = started + args.max_seconds
    threads = [threading.Thread(target=worker, args=(args, counter, deadline), daemon=True)
               for _ in range(max(1, args.parallel))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(args.max_seconds + 10)
    seconds = time.monotonic() - started
    failed = counter.done - counter.ok
    print(f"done={counter.done} ok={counter.ok} failed={failed} seconds={seconds:.1f} "
          f"rate={counter.done / max(seconds, 0.001):.0f}/s", flush=True)
    for reason in counter.reasons:
        print(f"  failure: {reason}")
    return 0 if counter.ok == args.count else 1


if __name__ == "__main__":
    sys.exit(main())
