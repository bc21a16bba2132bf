#!/usr/bin/env python3
"""The far ends of the system tests, run inside the lab's namespaces: `peers.py COMMAND ...`,
each command's use in its docstring (`peers.py COMMAND --help`). Servers print "ready" once they
listen, then a line per event; clients print their result. Python 3 standard library only."""
import argparse
import inspect
import os
import random
import re
import select
import signal
import socket
import socketserver
import struct
import sys
import threading
import time

LOCK = threading.Lock()
PROXY = ("192.168.11.1", 8080)
LINGER_RESET = struct.pack("ii", 1, 0)


def say(line):
    with LOCK:
        print(line, flush=True)


def wait_for_close(sock, seconds, until=lambda: False):
    """ "peer-gone" once the peer closes, "released" once until() holds, else "timeout"."""
    deadline = time.monotonic() + seconds
    sock.settimeout(0.1)
    while time.monotonic() < deadline and not until():
        try:
            if sock.recv(4096) == b"":
                return "peer-gone"
        except socket.timeout:
            pass
    return "released" if until() else "timeout"


def http_server(listen, port, respond):
    """Serves HTTP: respond(sock, path, request line) answers and gives back (label, bytes
    sent, how it ended), logged as "end LABEL sent=N how=done|peer-gone|released|..."."""

    class Handler(socketserver.BaseRequestHandler):
        def handle(self):
            sock, head = self.request, b""
            sock.settimeout(30)
            try:
                while b"\r\n\r\n" not in head and len(head) < 65536:
                    chunk = sock.recv(4096)
                    if not chunk:
                        return
                    head += chunk
            except OSError:
                return
            line = re.sub(rb"(?i)(pwd=)[^&\s]*", rb"\1***", head.split(b"\r\n", 1)[0])
            path = (line.split(b" ") + [b"?"])[1].decode("latin-1")
            label, sent, how = respond(sock, path, line.decode("latin-1"))
            say(f"end {label} sent={sent} how={how}")

    socketserver.ThreadingTCPServer.allow_reuse_address = True
    server = socketserver.ThreadingTCPServer((listen, port), Handler)
    server.daemon_threads = True
    say("ready")
    server.serve_forever()


def reply_head(status, length, kind=b"text/html"):
    return (b"HTTP/1.1 " + status + b"\r\nContent-Type: " + kind + b"\r\nContent-Length: " +
            str(length).encode() + b"\r\nConnection: close\r\n\r\n")


def send_filler(sock, count, block=bytes(65536)):
    sent = 0
    while sent < count:
        sent += sock.send(block[:count - sent])
    return sent


# --- plain TCP and UDP, through the firewall ---

def serve(name, listen="0.0.0.0", tcp="", udp="", seconds=600.0):
    """TCP and UDP servers on the ports (comma-separated) that greet each peer "NAME PEER-IP"
    and log "tcp PORT from IP orig IP:PORT" (the original destination); a line "bulk N" gets N
    bytes, "later N" a line "late" N s later, "note TAG" is logged, others are echoed."""

    def talk(conn, peer, port):
        with conn:
            try:
                oport, oaddr = struct.unpack("!2xH4s8x", conn.getsockopt(socket.SOL_IP, 80, 16))
                orig = f"{socket.inet_ntoa(oaddr)}:{oport}"  # SO_ORIGINAL_DST
            except OSError:
                orig = "%s:%d" % conn.getsockname()
            say(f"tcp {port} from {peer[0]} orig {orig}")
            conn.sendall(f"{name} {peer[0]}\n".encode())
            for line in conn.makefile("rb"):
                word, _, rest = line.partition(b" ")
                if word == b"bulk":
                    conn.sendall(b"x" * int(rest))
                elif word == b"note":
                    say(f"note {rest.decode().strip()} from {peer[0]}")
                elif word == b"later":
                    threading.Timer(float(rest), conn.sendall, [b"late\n"]).start()
                else:
                    conn.sendall(line)

    def accept(listener, port):
        while True:
            conn, peer = listener.accept()
            threading.Thread(target=talk, args=(conn, peer, port), daemon=True).start()

    def answer(sock, port):
        while True:
            _, peer = sock.recvfrom(2048)
            say(f"udp {port} from {peer[0]}")
            sock.sendto(f"{name}\n".encode(), peer)

    for port in filter(None, tcp.split(",")):
        listener = socket.create_server((listen, int(port)))
        threading.Thread(target=accept, args=(listener, port), daemon=True).start()
    for port in filter(None, udp.split(",")):
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.bind((listen, int(port)))
        threading.Thread(target=answer, args=(sock, port), daemon=True).start()
    say("ready")
    time.sleep(seconds)


def reach(*targets, timeout=2.0):
    """A line "TARGET RESULT" for each target "tcp:HOST:PORT" or "udp:HOST:PORT": "connected
    GREETING", "reply TEXT" (UDP), "reset" (TCP refused within a second), "refused" (UDP: ICMP
    port unreachable), "timeout" or "error TEXT"."""
    for target in targets:
        kind, host, port = target.split(":")
        start = time.monotonic()
        try:
            if kind == "tcp":
                conn = socket.create_connection((host, int(port)), timeout=timeout)
                result = "connected " + conn.makefile("rb").readline().decode().strip()
            else:
                sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                sock.settimeout(timeout)
                sock.connect((host, int(port)))
                sock.send(b"hello")
                result = "reply " + sock.recv(2048).decode().strip()
        except ConnectionRefusedError:
            late = time.monotonic() - start
            result = "refused" if kind == "udp" else "reset" if late < 1 else f"reset after {late}"
        except socket.timeout:
            result = "timeout"
        except OSError as error:
            result = f"error {error}"
        say(f"{target} {result}")


def greeted(host, port):
    conn = socket.create_connection((host, int(port)), timeout=5)
    reader = conn.makefile("rb")
    reader.readline()
    return conn, reader


def stream(host, port, silence=1.0, limit=15.0):
    """A line every 0.1 s, each echoed: "started" at the first echo, then, once no echo came
    for SILENCE s (or after LIMIT s), "last_echo EPOCH-MS echoes N"."""
    conn, reader = greeted(host, port)
    conn.settimeout(silence)
    last, echoes, deadline = 0, 0, time.monotonic() + limit
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


def bulk(host, port, size):
    """Asks for SIZE bytes: "received N"."""
    conn, reader = greeted(host, port)
    conn.sendall(b"bulk %s\n" % size.encode())
    received = 0
    while received < int(size) and (chunk := reader.read1(65536)):
        received += len(chunk)
    say(f"received {received}")


def push(host, port, tag="late", delay=4.0, wait=7.0):
    """Asks for a line DELAY s later ("asked"), sends "note TAG" itself then, and prints
    "pushed" when the line came within WAIT s, else "silence"."""
    conn, reader = greeted(host, port)
    conn.sendall(b"later %g\n" % delay)
    say("asked")
    time.sleep(delay)
    conn.settimeout(wait - delay)
    try:
        conn.sendall(b"note %s\n" % tag.encode())
        say("pushed" if reader.readline() == b"late\n" else "silence")
    except OSError:
        say("silence")


# --- the web's faults ---

def fault_origin(listen, port=81):
    """HTTP: /big 50 MiB, /reset 2 MiB of a declared 50 MiB and then a reset, any other path no
    answer until the client goes (60 s at most)."""

    def respond(sock, path, line):
        say(f"GET {path}")
        sent, how = 0, "done"
        try:
            if path.startswith(("/big", "/reset")):
                sock.sendall(reply_head(b"200 OK", 50 << 20, b"application/octet-stream"))
                sent = send_filler(sock, 50 << 20 if path.startswith("/big") else 2 << 20)
            if path.startswith("/reset"):
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, LINGER_RESET)
                sock.close()
                how = "reset"
            elif sent == 0:
                how = wait_for_close(sock, 60)
        except OSError:
            how = "peer-gone"
        return path, sent, how

    http_server(listen, port, respond)


def fake_provider(listen, mode_file, allow="", port=80):
    """The provider page in the mode MODE_FILE names at each request: good (every MAC of ALLOW
    for 9999 days), nobody, hang (until the mode changes, then closed), 500, big (10 MB); logs
    "mode=MODE REQUEST-LINE", the password masked."""

    def mode():
        try:
            with open(mode_file) as f:
                return (f.read().split() or ["good"])[0]
        except OSError:
            return "good"

    def feed(macs):
        records = "".join(f"*%*{mac.upper()}*9999*" for mac in macs)
        return f"<html><body>Fake provider<!-- ***Allowed***{records} --></body></html>".encode()

    def respond(sock, path, line):
        now = mode()
        say(f"mode={now} {line}")
        sent, how = 0, "done"
        try:
            if now == "hang":
                how = wait_for_close(sock, 60, lambda: mode() != "hang")
            elif now == "big":
                sock.sendall(reply_head(b"200 OK", 10_000_000))
                sent = send_filler(sock, 10_000_000 - len(feed([])), b"<p>x</p>\n" * 7000)
                sock.sendall(feed([]))
            else:
                page = feed(allow.split(",") if now == "good" and allow else [])
                sock.sendall(reply_head(b"500 Internal Server Error" if now == "500" else
                                        b"200 OK", len(page)) + page)
                sent = len(page)
        except OSError:
            how = "peer-gone"
        return f"mode={now}", sent, how

    http_server(listen, port, respond)


# --- the proxy's clients ---

def whole(reply):
    end = re.search(rb"\r?\n\r?\n", reply)
    length = end and re.search(rb"(?im)^content-length:[ \t]*(\d+)", reply[:end.start()])
    return end and len(reply) - end.end() >= (int(length.group(1)) if length else 0)


def http(request):
    """REQUEST (Python escapes) to the proxy; the reply, read to its declared end or the close,
    on stdout."""
    sock = socket.create_connection(PROXY, timeout=5)
    sock.sendall(request.encode("latin-1").decode("unicode_escape").encode("latin-1"))
    reply = b""
    try:
        while not whole(reply) and (chunk := sock.recv(65536)):
            reply += chunk
    except OSError:  # a time-out, or the proxy reset what it refused
        pass
    sys.stdout.buffer.write(reply)


def slow(status="slow.status", host=PROXY[0], port=8080, count=300, source="",
         max_seconds=90.0):
    """COUNT connections, spread over the local addresses SOURCE (comma-separated), each
    trickling a request head that never ends, a byte a second. The STATUS file, rewritten twice
    a second: "opened=N failed=F closed_by_peer=C cut_min_ms=M cut_max_ms=X" (the shortest and
    longest time from a connection to the gateway's close of it). SIGTERM ends them all."""
    sources, opened, failed, cut = [s for s in source.split(",") if s], [], [], []
    head, stop = b"GET http://origin.lab/ HTTP/1.1\r\nHost: origin.lab\r\nX: ", threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())

    def one(number):
        local = (sources[number % len(sources)], 0) if sources else None
        try:
            sock = socket.create_connection((host, port), timeout=5, source_address=local)
        except OSError:
            failed.append(number)
            return
        opened.append(number)
        since, sent = time.monotonic(), 0
        sock.settimeout(number % 100 / 100 + 0.001)  # the first byte spread over the second
        while not stop.is_set():
            try:
                if sock.recv(4096) == b"":  # the gateway never answers an unfinished head
                    break
            except socket.timeout:
                try:
                    sent += sock.send(head[sent:sent + 1] or b"a")
                except OSError:
                    break
                sock.settimeout(1)
            except OSError:
                break
        if not stop.is_set():
            cut.append(round((time.monotonic() - since) * 1000))

    def write_status():
        with open(status + ".tmp", "w") as f:
            f.write(f"opened={len(opened)} failed={len(failed)} closed_by_peer="
                    f"{len(cut)} cut_min_ms={min(cut, default=0)} "
                    f"cut_max_ms={max(cut, default=0)}\n")
        os.replace(status + ".tmp", status)

    for number in range(count):
        threading.Thread(target=one, args=(number,), daemon=True).start()
    end = time.monotonic() + max_seconds
    while not stop.wait(0.5) and time.monotonic() < end:
        write_status()
    write_status()


def churn(count: int, path="/wpad", expect="FindProxyForURL", parallel=4, seconds=60.0, pause=0.0):
    """COUNT short connections to the proxy in a row (PARALLEL at a time, for SECONDS at most),
    each asking for PATH, read to the close: "ok=N failed=F seconds=S" (ok: a reply with
    EXPECT)."""
    request = f"GET {path} HTTP/1.0\r\nHost: {PROXY[0]}:{PROXY[1]}\r\n\r\n".encode()
    counts, left, started = {True: 0, False: 0}, [count], time.monotonic()

    def worker():
        while time.monotonic() < started + seconds:
            with LOCK:
                if left[0] <= 0:
                    return
                left[0] -= 1
            reply = b""
            try:
                with socket.create_connection(PROXY, timeout=5) as sock:
                    sock.sendall(request)
                    while chunk := sock.recv(65536):
                        reply += chunk
            except OSError:
                pass
            with LOCK:
                counts[reply.startswith(b"HTTP/1.") and expect.encode() in reply] += 1
            time.sleep(pause)

    threads = [threading.Thread(target=worker, daemon=True) for _ in range(parallel)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    say(f"ok={counts[True]} failed={counts[False]} seconds={time.monotonic() - started:.1f}")


# --- DHCP from a LAN host, port 68 ---

COOKIE = bytes([99, 130, 83, 99])


def bootp(rng, op=1, htype=1, hlen=6, mac=None, flags=0x8000, ciaddr=bytes(4)):
    mac = mac or bytes([rng.getrandbits(8) & 0xFC | 2]) + rng.randbytes(5)
    return (struct.pack("!BBBBIHH", op, htype, hlen, 0, rng.getrandbits(32), 0, flags) +
            ciaddr + bytes(12) + (mac + bytes(16))[:16] + bytes(192))


# Junk: random bytes; a message of any type, odd header fields, option lengths that often run
# past the end; a REQUEST for an address outside the pool, to be refused. (The DHCP reader's
# own robustness is the fuzzers' business: here the server must go on serving meanwhile.)
JUNK = [
    lambda rng: rng.randbytes(rng.randrange(601)),
    lambda rng: bootp(rng, **{rng.choice(["op", "htype", "hlen"]): rng.choice([0, 6, 17, 255])})
    + rng.choice([COOKIE, rng.randbytes(4)]) + bytes([53, 1, rng.randrange(10)]) + b"".join(
        bytes([rng.randrange(256), rng.randrange(256)]) + rng.randbytes(rng.randrange(41))
        for _ in range(rng.randrange(12))),
    lambda rng: bootp(rng) + COOKIE + bytes([53, 1, 3, 50, 4, 192, 168, 11, rng.randrange(100),
                                             255]),
]


def discover(rng, mac=None):
    return bootp(rng, mac=mac) + COOKIE + bytes([53, 1, 1, 55, 4, 1, 3, 6, 15, 255])


def decline_unknown(rng):
    # From a host never offered anything, naming an address outside the pool or none.
    named = rng.choice([bytes([50, 4, 192, 168, 11, rng.randrange(2, 100)]), b""])
    return bootp(rng) + COOKIE + bytes([53, 1, 4]) + named + bytes([255])


def dhcp_socket(iface):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, iface.encode())
    sock.bind(("0.0.0.0", 68))
    return sock


def dhcp_flood(junk=0, discovers=0, declines=0, seconds=10.0, iface="eth0"):
    """JUNK malformed datagrams, DISCOVERs and DECLINEs from made-up hosts, broadcast, paced
    over SECONDS: "seed=N started", then "sent=N errors=E seconds=S"."""
    seed = random.SystemRandom().getrandbits(32)
    rng = random.Random(seed)
    sock = dhcp_socket(iface)
    plan = [discover] * discovers + [decline_unknown] * declines + [
        rng.choice(JUNK) for _ in range(junk)]
    rng.shuffle(plan)
    say(f"seed={seed} started")
    started, errors = time.monotonic(), 0
    for i, make in enumerate(plan):
        try:
            sock.sendto(make(rng), ("255.255.255.255", 67))
        except OSError:
            errors += 1
        time.sleep(max(0, started + seconds * (i + 1) / max(1, len(plan)) - time.monotonic()))
    say(f"sent={len(plan) - errors} errors={errors} seconds={time.monotonic() - started:.1f}")


# --- DNS ---

RCODES = {0: "NOERROR", 2: "SERVFAIL", 3: "NXDOMAIN", 5: "REFUSED"}


def dns_message(name, ident):
    labels = b"".join(bytes([len(p)]) + p.encode() for p in name.split(".") if p)
    return struct.pack("!6H", ident, 0x0100, 1, 0, 0, 0) + labels + b"\0\0\1\0\1"


def skip_name(data, at):
    while data[at] and data[at] < 0xC0:
        at += 1 + data[at]
    return at + (2 if data[at] else 1)


def read_answer(data, ident):
    got, flags, questions, answers = struct.unpack("!4H", data[:8])
    if got != ident or not flags & 0x8000:
        raise ValueError(f"not the reply to query {ident}")
    at, addresses = 12, []
    for _ in range(questions):
        at = skip_name(data, at) + 4
    for _ in range(answers):
        at = skip_name(data, at)
        rtype, _, _, length = struct.unpack("!HHIH", data[at:at + 10])
        if rtype == 1 and length == 4:
            addresses.append(socket.inet_ntoa(data[at + 10:at + 14]))
        at += 10 + length
    return f"{RCODES.get(flags & 0xF, flags & 0xF)} {','.join(addresses)}".rstrip()


def exactly(sock, count):
    data = b""
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        if not chunk:
            raise ConnectionError("closed")
        data += chunk
    return data


def dns_query(*names, server=PROXY[0], tcp=False, timeout=3.0, tries=1):
    """A query for each name, over UDP (again after each silent TIMEOUT, TRIES in all, as a stub
    resolver does) or TCP: "RCODE ADDRESS,..." or "no answer: ..." for each."""
    for name in names:
        ident = random.randrange(1, 0xFFFF)
        message = dns_message(name, ident)
        try:
            if tcp:
                with socket.create_connection((server, 53), timeout=timeout) as sock:
                    sock.sendall(struct.pack("!H", len(message)) + message)
                    data = exactly(sock, struct.unpack("!H", exactly(sock, 2))[0])
            else:
                sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                sock.connect((server, 53))
                for _ in range(tries):
                    sock.send(message)
                    if select.select([sock], [], [], timeout)[0]:
                        data = sock.recv(65535)
                        break
                else:
                    raise TimeoutError
            say(read_answer(data, ident))
        except (OSError, ValueError) as error:
            say(f"no answer: {error!r}")


def dns_flood(suffix, server=PROXY[0], seconds=4.0):
    """For SECONDS, queries for names nobody has cached (under SUFFIX), every tenth datagram
    junk; replies are read and dropped so the socket never stops the sender: "sent N"."""
    rng = random.Random(os.getpid())
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setblocking(False)
    sent, end = 0, time.monotonic() + seconds
    while time.monotonic() < end:
        message = dns_message(f"{rng.randrange(1 << 40):x}.{suffix}", rng.randrange(9999))
        if sent % 10 == 9:
            message = rng.choice([rng.randbytes(rng.randrange(600)), b"\0", message[:12],
                                  message[:4] + struct.pack("!H", 10) + message[6:12],
                                  message[:12] + b"\xc0\x0c"])
        try:
            sock.sendto(message, (server, 53))
            sent += 1
        except BlockingIOError:
            select.select([], [sock], [], 0.01)
        while select.select([sock], [], [], 0)[0]:
            sock.recv(65535)
    say(f"sent {sent}")


def dns_hold(count=25, server=PROXY[0], seconds=60.0):
    """COUNT TCP connections to port 53 that say nothing: "held N"."""
    held = []
    try:
        for _ in range(count):
            held.append(socket.create_connection((server, 53), timeout=2))
    except OSError as error:
        say(f"connect failed: {error!r}")
    say(f"held {len(held)}")
    time.sleep(seconds)


def dns_silent(listen):
    """A name server on LISTEN:53 that takes every query and answers none."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((listen, 53))
    say("ready")
    while True:
        sock.recv(65535)


def main():
    """Each command's options are its function's parameters, typed by their defaults."""
    parser = argparse.ArgumentParser(description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    for function in (serve, reach, stream, bulk, push, fault_origin, fake_provider, http, slow,
                     churn, dhcp_flood, dns_query, dns_flood, dns_hold, dns_silent):
        sub = commands.add_parser(function.__name__.replace("_", "-"), help=function.__doc__)
        sub.set_defaults(run=function)
        for name, p in inspect.signature(function).parameters.items():
            flag, default = "--" + name.replace("_", "-"), p.default
            if p.kind == p.VAR_POSITIONAL:
                sub.add_argument(name, nargs="+")
            elif default is p.empty:
                sub.add_argument(name, type=str if p.annotation is p.empty else p.annotation)
            elif isinstance(default, bool):
                sub.add_argument(flag, dest=name, action="store_true")
            else:
                sub.add_argument(flag, dest=name, default=default,
                                 type=str if default is None else type(default))
    args = vars(parser.parse_args())
    function = args.pop("run")
    del args["command"]
    names = [p.name for p in inspect.signature(function).parameters.values()
             if p.kind == p.VAR_POSITIONAL]
    function(*args.pop(names[0]) if names else (), **args)


if __name__ == "__main__":
    sys.exit(main())
