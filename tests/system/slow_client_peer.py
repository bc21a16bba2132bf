#!/usr/bin/env python3
"""Slow proxy clients for the load test: COUNT connections to HOST:PORT, each sending a request
head one byte per second that never ends, so every connection holds a proxy slot.

  slow_client_peer.py --host 192.168.11.1 --port 8080 --count 300 --status FILE \
      [--source ADDR[,ADDR...]] [--max-seconds 120]

--source spreads the connections over these local addresses in turn (several clients from one
host). SIGUSR1: every connection falls silent (stays open, sends nothing more). SIGTERM: all are
closed and the program ends. The status FILE is rewritten (atomically) twice a second with one
line: "opened=N failed=F open=O closed_by_peer=C bytes=B silent=0|1 cut_min_ms=M cut_max_ms=X",
the last two the shortest and longest time from a connection to the peer's close of it (0 while
none was closed). Python 3 stdlib only.
"""

import argparse
import asyncio
import os
import signal
import sys
import time

HEAD = b"GET http://origin.lab/ HTTP/1.1\r\nHost: origin.lab\r\nX-Slow: "


class Peer:
    def __init__(self, args):
        self.args = args
        self.opened = 0
        self.failed = 0
        self.open = 0
        self.closed_by_peer = 0
        self.bytes = 0
        self.silent = asyncio.Event()
        self.stop = asyncio.Event()
        self.writers = []
        self.cut_ms = []

    def status_line(self):
        return (f"opened={self.opened} failed={self.failed} open={self.open} "
                f"closed_by_peer={self.closed_by_peer} bytes={self.bytes} "
                f"silent={int(self.silent.is_set())} cut_min_ms={min(self.cut_ms, default=0)} "
                f"cut_max_ms={max(self.cut_ms, default=0)}\n")

    def write_status(self):
        tmp = self.args.status + ".tmp"
        with open(tmp, "w") as f:
            f.write(self.status_line())
        os.replace(tmp, self.args.status)

    async def watch_close(self, reader, since):
        # The gateway never answers an unfinished head: any end of the stream is its doing.
        try:
            while await reader.read(4096):
                pass
        except (ConnectionError, OSError):
            pass
        if not self.stop.is_set():
            self.closed_by_peer += 1
            self.cut_ms.append(round((time.monotonic() - since) * 1000))

    async def one(self, number, gate):
        sources = self.args.source
        local = (sources[number % len(sources)], 0) if sources else None
        async with gate:
            try:
                reader, writer = await asyncio.wait_for(asyncio.open_connection(
                    self.args.host, self.args.port, local_addr=local), 5)
            except (OSError, asyncio.TimeoutError):
                self.failed += 1
                return
        self.opened += 1
        self.open += 1
        self.writers.append(writer)
        closed = asyncio.ensure_future(self.watch_close(reader, time.monotonic()))
        # Spread the connections over the second, so the gateway sees a steady trickle.
        await asyncio.sleep((number % 100) / 100)
        text = HEAD
        position = 0
        try:
            while not closed.done() and not self.stop.is_set():
                if not self.silent.is_set():
                    byte = text[position:position + 1] if position < len(text) else b"a"
                    position += 1
                    writer.write(byte)
                    await writer.drain()
                    self.bytes += 1
                waiters = [closed, asyncio.ensure_future(self.stop.wait())]
                await asyncio.wait(waiters, timeout=1.0, return_when=asyncio.FIRST_COMPLETED)
                waiters[1].cancel()
        except (ConnectionError, OSError):
            # A write met the gateway's reset: the reader hears of it too, and counts it.
            await asyncio.wait([closed], timeout=5)
        self.open -= 1
        closed.cancel()
        writer.close()

    async def report(self):
        while not self.stop.is_set():
            self.write_status()
            try:
                await asyncio.wait_for(self.stop.wait(), 0.5)
            except asyncio.TimeoutError:
                pass

    async def run(self):
        loop = asyncio.get_running_loop()
        loop.add_signal_handler(signal.SIGUSR1, self.silent.set)
        loop.add_signal_handler(signal.SIGTERM, self.stop.set)
        loop.add_signal_handler(signal.SIGINT, self.stop.set)
        loop.call_later(self.args.max_seconds, self.stop.set)
        gate = asyncio.Semaphore(50)
        reporter = asyncio.ensure_future(self.report())
        tasks = [asyncio.ensure_future(self.one(n, gate)) for n in range(self.args.count)]
        await self.stop.wait()
        await asyncio.wait(tasks, timeout=10)
        for writer in self.writers:
            writer.transport.abort()
        reporter.cancel()
        self.write_status()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--host", required=True)
    ap.add_argument("--port", type=int, default=8080)
    ap.add_argument("--count", type=int, default=300)
    ap.add_argument("--status", required=True)
    ap.add_argument("--source", type=lambda text: text.split(","), default=[])
    ap.add_argument("--max-seconds", type=float, default=120)
    args = ap.parse_args()
    started = time.monotonic()
    peer = Peer(args)
    asyncio.run(peer.run())
    print(f"{peer.status_line().strip()} seconds={time.monotonic() - started:.1f}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
