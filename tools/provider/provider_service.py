#!/usr/bin/env python3
"""Reference provider service for the Tarnix Gateway lab, tests and demo.

Serves the provider page the gateway loads to learn who has paid, the purchase pages a
client's browser is sent to, and the captive-portal API (RFC 8908) that devices ask, at the
address the gateway announces in DHCP option 114, whether they are online yet. Python 3 standard
library only.

  python3 provider_service.py --listen ADDR --port PORT --accounts FILE --purchases FILE \
      [--gateway http://192.168.11.1:8080] [--tls-cert CERT.pem --tls-key KEY.pem] \
      [--short-plan SECONDS]

With --tls-cert and --tls-key it serves HTTPS, as a provider should: the provider page's query
carries the operator's password.

--short-plan SECONDS offers one more plan, "short", of that many seconds, so a lab can watch an
allowance run out. The provider page gives days with four decimals (8.64 s), so the gateway
sees it rounded to that step.

Accounts file: JSON mapping provider ID to password, e.g. {"op42": "secret"}; a value may
also be {"password": "...", "name": "Shown name"}. Purchases file: a JSON list of purchase
records, rewritten atomically after every purchase.

Log: one line per request on stderr (the password masked), so counting the lines of the provider
page counts its loads; over HTTPS also one line per handshake that failed.

Captive-portal API: GET /capport-api?id=PROVIDER-ID&mac=12-HEX-DIGITS answers
application/captive+json: "captive", "user-portal-url" (the client's purchase page),
"seconds-remaining" while a limited allowance runs and "can-extend-session". A client is told
it is online only once the provider page served to its operator's gateway listed it: until the
gateway has loaded the page after a purchase it still refuses the client, and a device told
"online" would give up showing the portal. An unknown ID, a malformed MAC or a request that
cannot be read is answered "captive" with the front page as portal, never with an error page
a device could take for the Internet; methods other than GET and HEAD get 405.

Query decoding: the gateway percent-encodes everything outside the RFC 3986 unreserved set, so
the provider page and purchase page queries are decoded with unquote: '+' stays '+'. Only the
purchase form (sent by a browser, form-encoded) is decoded with '+' meaning blank.
"""

import argparse
import hmac
import html
import json
import os
import re
import signal
import socket
import ssl
import sys
import tempfile
import threading
from datetime import datetime, timedelta, timezone
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, quote, unquote, urlsplit

UNLIMITED_DAYS = 9999
PLANS = {  # plan -> (label, days; None is unlimited)
    "hour": ("1 hour", 1 / 24),
    "day": ("1 day", 1.0),
    "month": ("30 days", 30.0),
    "unlimited": ("Unlimited", None),
}
MAX_FIELDS = 64
MAX_BODY = 16 * 1024
MAC_RE = re.compile(r"[0-9A-Fa-f]{12}")
CAPPORT_PATH = "/capport-api"
CAPPORT_TYPE = "application/captive+json"
CAPPORT_MAX = 4096  # devices may read no more of an answer
# A Host line that may name this service in a URL: a host name or an address, optional port.
HOST_RE = re.compile(r"(?:[A-Za-z0-9-]+(?:\.[A-Za-z0-9-]+)*\.?|\[[0-9A-Fa-f:.]+\])"
                     r"(?::[0-9]{1,5})?")
PWD_RE = re.compile(r"(pwd=)[^&\s\"']*", re.IGNORECASE)


def now():
    """The current time in UTC, whole seconds. TARNIX_PROVIDER_NOW (ISO time) overrides it."""
    fixed = os.environ.get("TARNIX_PROVIDER_NOW")
    return parse_time(fixed) if fixed else datetime.now(timezone.utc).replace(microsecond=0)


def parse_time(text):
    t = datetime.fromisoformat(text.strip().replace("Z", "+00:00"))
    return (t if t.tzinfo else t.replace(tzinfo=timezone.utc)).astimezone(timezone.utc)


def format_time(t):
    return t.astimezone(timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def format_days(days):
    """Days left as the gateway reads them: up to 4 fractional digits, never 0 while running."""
    if days >= UNLIMITED_DAYS:
        return str(UNLIMITED_DAYS)
    text = f"{days:.4f}".rstrip("0").rstrip(".")
    return "0.0001" if text == "0" else text


def parse_query(query):
    """Gateway-style query: first value of each name, percent-decoded, '+' kept literally."""
    fields = {}
    pieces = [p for p in query.split("&") if p]
    if len(pieces) > MAX_FIELDS:
        raise ValueError("too many fields")
    for piece in pieces:
        name, _, value = piece.partition("=")
        fields.setdefault(unquote(name, errors="replace"), unquote(value, errors="replace"))
    return fields


def parse_form(data):
    """Browser form encoding ('+' is a blank): first value of each name."""
    parsed = parse_qs(data, keep_blank_values=True, max_num_fields=MAX_FIELDS, errors="replace")
    return {k: v[0] for k, v in parsed.items()}


class Store:
    """Accounts and purchases; purchases are kept in a JSON file that survives restarts."""

    def __init__(self, accounts, purchases_path):
        self.accounts = accounts
        self.path = purchases_path
        self.lock = threading.Lock()
        try:
            with open(purchases_path, encoding="utf-8") as f:
                self.purchases = json.load(f)
        except FileNotFoundError:
            self.purchases = []
        if not isinstance(self.purchases, list):
            raise ValueError(f"{purchases_path}: expected a JSON list of purchases")
        # Provider ID -> {MAC: end (None: unlimited)}: the allowances of the provider page last
        # served to that operator's gateway, which is all the gateway knows of who has paid.
        self.served = {}

    def check_login(self, pid, pwd):
        account = self.accounts.get(pid)
        if account is None:
            return False
        password = account.get("password", "") if isinstance(account, dict) else str(account)
        return hmac.compare_digest(password.encode(), pwd.encode())

    def provider_name(self, pid):
        account = self.accounts.get(pid)
        return account.get("name", pid) if isinstance(account, dict) else pid

    def _valid(self, p):
        return (isinstance(p, dict) and isinstance(p.get("id"), str)
                and isinstance(p.get("mac"), str) and MAC_RE.fullmatch(p["mac"]) is not None)

    def ends(self, pid, t):
        """MAC -> end time (None for unlimited) of every allowance of pid still running at t."""
        result = {}
        for p in self.purchases:
            if not self._valid(p) or p["id"] != pid:
                continue
            mac = p["mac"].upper()
            try:
                end = None if p.get("ends_at") is None else parse_time(p["ends_at"])
            except (TypeError, ValueError):
                continue
            if end is not None and end <= t:
                continue
            if mac in result and (result[mac] is None or (end is not None and end <= result[mac])):
                continue
            result[mac] = end
        return result

    def gateway_allows(self, pid, mac, t):
        """(True, end) when the provider page last served to pid's gateway listed mac with an
        allowance still running at t (end None: unlimited), else (False, None). A purchase the
        gateway has not loaded yet does not count, and neither does its extension of a running
        allowance: the gateway lets the client through only as long as it knows of."""
        served = self.served.get(pid, {})
        if mac not in served:
            return False, None
        end = served[mac]
        if end is not None and end <= t:
            return False, None
        return True, end

    def purchase(self, pid, mac, plan, t):
        days = PLANS[plan][1]
        with self.lock:
            current = self.ends(pid, t).get(mac, t)
            if days is None or current is None:
                ends_at = None
            else:
                ends_at = format_time(max(t, current) + timedelta(days=days))
            record = {"id": pid, "mac": mac, "plan": plan, "days": days,
                      "purchased_at": format_time(t), "ends_at": ends_at}
            self._save(self.purchases + [record])
            self.purchases.append(record)
        return record

    def _save(self, purchases):
        folder = os.path.dirname(os.path.abspath(self.path))
        fd, tmp = tempfile.mkstemp(dir=folder, prefix=".purchases-", suffix=".tmp")
        try:
            with os.fdopen(fd, "w", encoding="utf-8") as f:
                json.dump(purchases, f, indent=1)
                f.flush()
                os.fsync(f.fileno())
            os.replace(tmp, self.path)
        except BaseException:
            try:
                os.unlink(tmp)
            except OSError:
                pass
            raise


def page(title, body, head=""):
    return (f'<!DOCTYPE html>\n<html><head><meta charset="utf-8"><title>{html.escape(title)}'
            f"</title>{head}</head>\n<body style=\"font-family:sans-serif\">\n{body}\n</body></html>\n")


BANNER_STYLE = ("display:inline-block;padding:6px 12px;border-radius:6px;background:#1f4e79;"
                "color:#fff;font:14px sans-serif")


class Handler(BaseHTTPRequestHandler):
    server_version = "TarnixProvider/1.0"

    def handle(self):
        # The handshake runs here, in the request's own thread, so a client that never
        # completes it holds up nobody else.
        if isinstance(self.request, ssl.SSLSocket):
            try:
                self.request.do_handshake()
            except (ssl.SSLError, OSError) as e:
                self.log_message("TLS handshake failed: %s", getattr(e, "reason", None) or e)
                return
        super().handle()

    def do_GET(self):
        self.dispatch(None)

    def do_HEAD(self):
        if self.requested_path() == CAPPORT_PATH:
            return self.capport(urlsplit(self.path).query)
        self.send_error(HTTPStatus.NOT_IMPLEMENTED, f"Unsupported method ({self.command!r})")

    def do_POST(self):
        if self.requested_path() == CAPPORT_PATH:
            return self.not_allowed()
        length = self.headers.get("Content-Length", "0")
        if not length.isdigit():
            return self.reply(400, page("Bad request", "<p>Bad Content-Length.</p>"))
        if int(length) > MAX_BODY:
            return self.reply(413, page("Too large", "<p>Request body too large.</p>"))
        data = self.rfile.read(int(length))
        self.dispatch(data.decode("utf-8", errors="replace"))

    def dispatch(self, body):
        try:
            parts = urlsplit(self.path)
            path = parts.path.lower()
            if path == "/gateway/providerbanner.asp":
                self.banner(parse_query(parts.query))
            elif path == "/gateway/purchasing.asp":
                self.purchasing(parse_query(parts.query))
            elif path == "/gateway/purchase":
                self.purchase(parse_form(body if body is not None else parts.query))
            elif path == CAPPORT_PATH:
                self.capport(parts.query)
            elif path == "/":
                self.front_page()
            else:
                self.reply(404, page("Not found", "<p>No such page.</p>"))
        except ValueError:
            self.reply(400, page("Bad request", "<p>The request could not be read.</p>"))
        except (BrokenPipeError, ConnectionResetError):
            pass  # the browser went away mid-answer: nobody is left to tell
        except Exception as e:  # a broken request must never take the service down
            self.log_message("error: %s", repr(e))
            self.reply(500, page("Error", "<p>Internal error.</p>"))

    def banner(self, q):
        store = self.server.store
        pid = q.get("id", "")
        if not store.check_login(pid, q.get("pwd", "")):
            return self.reply(200, page("Login refused", "<h1>Login refused</h1>"
                                        "<p>The provider ID or password is wrong.</p>"))
        t = now()
        with store.lock:
            ends = store.ends(pid, t)
            store.served[pid] = dict(ends)
        records = []
        for mac, end in sorted(ends.items()):
            left = UNLIMITED_DAYS if end is None else (end - t).total_seconds() / 86400
            records.append(f"*%*{mac}*{format_days(left)}*")
        name = html.escape(store.provider_name(pid))
        body = (f'<div style="{BANNER_STYLE}"><b>{name}</b> &middot; Tarnix Provider \u2014 '
                f"{len(records)} clients with access</div>\n"
                f"<!-- ***Allowed***{''.join(records)} -->")
        self.reply(200, page("Tarnix Provider", body))

    def client_of(self, q):
        """(provider ID, MAC) of a purchase request; raises ValueError on a bad MAC."""
        mac = q.get("mac", "")
        if not MAC_RE.fullmatch(mac):
            raise ValueError("bad MAC")
        return q.get("id", ""), mac.upper()

    def unknown_provider(self, pid):
        self.reply(404, page("Unknown provider", f"<h1>Unknown provider</h1><p>Provider "
                                                 f"{html.escape(pid)} is not known here; no "
                                                 "purchase is possible.</p>"))

    def purchasing(self, q):
        pid, mac = self.client_of(q)
        if pid not in self.server.store.accounts:
            return self.unknown_provider(pid)
        gw = html.escape(self.server.gateway)
        buttons = "".join(f'<button type="submit" name="plan" value="{plan}">{label}</button> '
                          for plan, (label, _) in PLANS.items())
        body = (f"<h1>Buy Internet access</h1><p>Device: <b>{mac}</b></p>"
                f'<form method="post" action="/gateway/purchase">'
                f'<input type="hidden" name="id" value="{html.escape(pid)}">'
                f'<input type="hidden" name="mac" value="{mac}">{buttons}</form>'
                f'<img src="{gw}/purchase-notice" width="1" height="1" alt="">')
        self.reply(200, page("Buy Internet access", body))

    def purchase(self, q):
        pid, mac = self.client_of(q)
        if pid not in self.server.store.accounts:
            return self.unknown_provider(pid)
        plan = q.get("plan", "")
        if plan not in PLANS:
            raise ValueError("bad plan")
        record = self.server.store.purchase(pid, mac, plan, now())
        target = html.escape(self.server.gateway + "/refresh")
        until = record["ends_at"] or "no end"
        body = (f"<h1>Thank you</h1><p>{PLANS[plan][0]} for {mac} (until {until}).</p>"
                f'<p><a href="{target}">Continue</a></p>')
        self.reply(200, page("Purchase done", body,
                             f'<meta http-equiv="refresh" content="1; URL={target}">'))

    def front_page(self):
        body = ("<h1>Tarnix Provider</h1><p>Internet access at the gateways of our operators. "
                "To buy access, open any web page through the gateway: it brings you to the "
                "purchase page for your device.</p>")
        self.reply(200, page("Tarnix Provider", body))

    def capport(self, query, code=200):
        """The captive-portal API's answer to one device, named by the query's id and mac."""
        front = {"captive": True, "user-portal-url": self.public_origin() + "/"}
        try:
            q = parse_query(query)
        except ValueError:
            q = {}
        state = front
        pid, mac = q.get("id", ""), q.get("mac", "")
        if pid in self.server.store.accounts and MAC_RE.fullmatch(mac):
            state = self.capport_state(pid, mac.upper())
        data = json.dumps(state).encode("utf-8")
        if len(data) >= CAPPORT_MAX:  # an account ID of kilobytes
            data = json.dumps(front).encode("utf-8")
        self.send_response(code)
        self.send_header("Content-Type", CAPPORT_TYPE)
        self.send_header("Content-Length", str(len(data)))
        # Each device has its own answer, which no shared cache may hand to another.
        self.send_header("Cache-Control", "private")
        if code != 200:
            self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)

    def capport_state(self, pid, mac):
        store, t = self.server.store, now()
        with store.lock:
            allowed, end = store.gateway_allows(pid, mac, t)
        portal = (f"{self.public_origin()}/gateway/purchasing.asp?id={quote(pid, safe='')}"
                  f"&mac={mac}")
        state = {"captive": not allowed, "user-portal-url": portal}
        if allowed and end is not None:
            state["seconds-remaining"] = int((end - t).total_seconds())
        state["can-extend-session"] = True  # its purchase page sells more time
        return state

    def public_origin(self):
        """Scheme and host by which the client reached this service: the Host line when it is a
        plain host name or address (with a port or not), else the listening address."""
        scheme = "https" if isinstance(self.connection, ssl.SSLSocket) else "http"
        headers = getattr(self, "headers", None)
        host = headers.get("Host", "") if headers else ""
        if len(host) > 255 or not HOST_RE.fullmatch(host):
            address, port = self.server.server_address[:2]
            host = f"[{address}]:{port}" if ":" in address else f"{address}:{port}"
        return f"{scheme}://{host}"

    def requested_path(self):
        """The lower-case path of the request line, as far as it was read ("" when none)."""
        words = getattr(self, "raw_requestline", b"").split(b" ", 2)
        return urlsplit(words[1].decode("latin-1")).path.lower() if len(words) > 1 else ""

    def not_allowed(self):
        self.send_response(405)
        self.send_header("Allow", "GET, HEAD")
        self.send_header("Content-Length", "0")
        self.send_header("Connection", "close")  # a request body may be left unread
        self.end_headers()

    def send_error(self, code, message=None, explain=None):
        # What the base class refuses before any handler runs (a method without one, a request
        # line over 64 KiB, a malformed head) still gets an API answer on the API path: a device
        # must never take an error page for the Internet.
        if self.requested_path() == CAPPORT_PATH:
            if code == HTTPStatus.NOT_IMPLEMENTED:
                return self.not_allowed()
            return self.capport("", code)
        super().send_error(code, message, explain)

    def reply(self, code, text):
        data = text.encode("utf-8")
        self.send_response(code)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(data)

    # One line per request on stderr, never with the password in it.
    def log_request(self, code="-", size="-"):
        self.log_message('"%s" %s', self.requestline, getattr(code, "value", code))

    def log_error(self, format, *args):
        pass  # send_error also logs the request line; once is enough

    def log_message(self, format, *args):
        line = PWD_RE.sub(r"\1***", format % args)
        self.server.log.write(f"{self.address_string()} {line}\n")
        self.server.log.flush()


class ProviderServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, address, store, gateway, log=sys.stderr, tls=None):
        """tls: an ssl.SSLContext for serving HTTPS, or None for plain HTTP."""
        if ":" in address[0]:
            self.address_family = socket.AF_INET6
        self.store = store
        self.gateway = gateway.rstrip("/")
        self.log = log
        super().__init__(address, Handler)
        if tls is not None:
            self.socket = tls.wrap_socket(self.socket, server_side=True,
                                          do_handshake_on_connect=False)


def tls_context(cert, key):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context


def load_accounts(path):
    with open(path, encoding="utf-8") as f:
        accounts = json.load(f)
    if not isinstance(accounts, dict):
        raise ValueError(f"{path}: expected a JSON object mapping provider ID to password")
    return accounts


def main(argv=None):
    ap = argparse.ArgumentParser(description="Reference provider service for Tarnix Gateway")
    ap.add_argument("--listen", default="127.0.0.1")
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--accounts", required=True)
    ap.add_argument("--purchases", required=True)
    ap.add_argument("--gateway", default="http://192.168.11.1:8080")
    ap.add_argument("--tls-cert", help="serve HTTPS with this certificate (PEM, chain after it)")
    ap.add_argument("--tls-key", help="the certificate's private key (PEM)")
    ap.add_argument("--short-plan", type=int, metavar="SECONDS",
                    help="also sell a plan of this many seconds (labs, demos)")
    args = ap.parse_args(argv)
    if bool(args.tls_cert) != bool(args.tls_key):
        ap.error("--tls-cert and --tls-key go together")
    if args.short_plan is not None:
        if not 1 <= args.short_plan <= 86400:
            ap.error("--short-plan takes 1 to 86400 seconds")
        PLANS["short"] = (f"{args.short_plan} seconds", args.short_plan / 86400)
    try:
        store = Store(load_accounts(args.accounts), args.purchases)
        tls = tls_context(args.tls_cert, args.tls_key) if args.tls_cert else None
        server = ProviderServer((args.listen, args.port), store, args.gateway, tls=tls)
    except (OSError, ValueError) as e:
        print(f"provider service: {e}", file=sys.stderr)
        return 1

    def stop(signum, frame):
        raise KeyboardInterrupt

    try:
        signal.signal(signal.SIGTERM, stop)
        signal.signal(signal.SIGINT, stop)
        print(f"provider service on {args.listen}:{server.server_address[1]}"
              f"{' (HTTPS)' if tls else ''}", flush=True)
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
