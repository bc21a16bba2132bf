"""Tests for the reference provider service: provider page, purchase pages, the captive-portal
API, persistence, CLI."""

import http.client
import io
import json
import os
import re
import select
import signal
import ssl
import subprocess
import sys
import tempfile
import threading
import unittest
from datetime import datetime, timedelta, timezone
from urllib.parse import quote, urlencode

sys.dont_write_bytecode = True  # keep the source folder clean when CTest runs here
ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
sys.path.insert(0, os.path.join(ROOT, "tools", "provider"))
import provider_service as ps  # noqa: E402

T0 = datetime(2024, 5, 1, 12, 0, 0, tzinfo=timezone.utc)
GATEWAY = "http://192.168.11.1:8080"
PASSWORD = "s3cret"
ODD_PASSWORD = "a&b#c=d e+f"
TIMEOUT = 5
TEST_DATA = os.path.join(ROOT, "tests", "data")
CERT = os.path.join(TEST_DATA, "localhost-cert.pem")  # self-signed, for 127.0.0.1
KEY = os.path.join(TEST_DATA, "localhost-key.pem")
RECORDS_RE = re.compile(r"\*\*\*Allowed\*\*\*((?:\*%\*[0-9A-F]{12}\*[0-9.]+\*)*)")


class Log(io.StringIO):
    """The service's log, which a test can wait on."""

    def __init__(self):
        super().__init__()
        self.changed = threading.Condition()

    def write(self, text):
        with self.changed:
            n = super().write(text)
            self.changed.notify_all()
            return n

    def wait_for_lines(self, pattern, count):
        with self.changed:
            return self.changed.wait_for(
                lambda: len(re.findall(pattern, self.getvalue())) >= count, TIMEOUT)


class ServiceCase(unittest.TestCase):
    """Runs the service in-process on a free loopback port with a clock the test sets."""

    server_tls = None  # an ssl.SSLContext: the service serves HTTPS

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.purchases = os.path.join(self.dir.name, "purchases.json")
        self.accounts = {"op42": PASSWORD, "op7": "other", "odd": ODD_PASSWORD}
        self.now = T0
        original = ps.now
        ps.now = lambda: self.now
        self.addCleanup(setattr, ps, "now", original)
        self.server = None
        self.start()
        self.addCleanup(self.stop)

    def start(self):
        store = ps.Store(self.accounts, self.purchases)
        self.log = Log()
        self.server = ps.ProviderServer(("127.0.0.1", 0), store, GATEWAY, self.log,
                                        self.server_tls)
        self.thread = threading.Thread(target=self.server.serve_forever, args=(0.05,), daemon=True)
        self.thread.start()

    def stop(self):
        if self.server:
            self.server.shutdown()
            self.server.server_close()
            self.thread.join(TIMEOUT)
            self.server = None

    def connection(self, tls=None):
        port = self.server.server_address[1]
        if self.server_tls is None:
            return http.client.HTTPConnection("127.0.0.1", port, timeout=TIMEOUT)
        return http.client.HTTPSConnection("127.0.0.1", port, timeout=TIMEOUT,
                                           context=tls or ssl.create_default_context(cafile=CERT))

    def request(self, path, method="GET", body=None):
        conn = self.connection()
        try:
            headers = {"Content-Type": "application/x-www-form-urlencoded"} if body else {}
            conn.request(method, path, body=body, headers=headers)
            resp = conn.getresponse()
            return resp.status, resp.read().decode("utf-8")
        finally:
            conn.close()

    def buy(self, mac, plan, pid="op42"):
        status, text = self.request("/gateway/purchase", "POST", urlencode({"id": pid, "mac": mac, "plan": plan}))
        self.assertEqual(status, 200, text)
        return text

    def allowed(self, pid="op42", pwd=PASSWORD):
        """The MAC -> days-left records in the provider page, or None without the marker."""
        status, text = self.request(f"/Gateway/ProviderBanner.asp?id={quote(pid, safe='')}"
                                    f"&pwd={quote(pwd, safe='')}&ver=1.0.66")
        self.assertEqual(status, 200)
        body = text[text.index("<body"):text.index("</body>")]
        found = RECORDS_RE.search(body)
        if not found:
            return None
        self.assertRegex(body, r"<!--\s*\*\*\*Allowed\*\*\*[^<>]*-->")
        return dict(re.findall(r"\*%\*([0-9A-F]{12})\*([0-9.]+)\*", found.group(1)))

    def api(self, query, method="GET", host=None):
        """The captive-portal API's answer: status, headers, and the JSON (None without body).
        Every answer is checked for what any API client may rely on."""
        conn = self.connection()
        try:
            conn.putrequest(method, "/capport-api?" + query, skip_host=host is not None)
            if host is not None:
                conn.putheader("Host", host)
            conn.endheaders()
            resp = conn.getresponse()
            body = resp.read()
        finally:
            conn.close()
        headers = {k.lower(): v for k, v in resp.getheaders()}
        if resp.status == 405:
            self.assertEqual(headers.get("allow"), "GET, HEAD")
            return resp.status, headers, None
        self.assertEqual(headers.get("content-type"), "application/captive+json")
        self.assertEqual(headers.get("cache-control"), "private")
        length = int(headers["content-length"])
        self.assertLess(length, 4096)
        if method == "HEAD":
            self.assertEqual(body, b"")
            return resp.status, headers, None
        self.assertEqual(length, len(body))
        state = json.loads(body.decode("utf-8"))  # strict UTF-8, then JSON
        self.assertIsInstance(state["captive"], bool)
        self.assertRegex(state["user-portal-url"], r"^https?://[^/]+/")
        return resp.status, headers, state

    def origin(self):
        scheme = "https" if self.server_tls else "http"
        return f"{scheme}://127.0.0.1:{self.server.server_address[1]}"


class ProviderPageTest(ServiceCase):
    def test_days_left_per_client(self):
        with open(self.purchases, "w") as f:  # written before the restart below loads it
            json.dump([
                {"id": "op42", "mac": "0000000000EE", "plan": "hour", "days": 1 / 24,
                 "purchased_at": "2024-05-01T10:00:00Z", "ends_at": "2024-05-01T11:00:00Z"},
                {"id": "op7", "mac": "0000000000FF", "plan": "day", "days": 1.0,
                 "purchased_at": "2024-05-01T11:00:00Z", "ends_at": "2024-05-02T11:00:00Z"},
            ], f)
        self.stop()
        self.start()
        self.buy("000c29abcdef", "hour")
        self.buy("0000000000BB", "unlimited")
        self.buy("0000000000CC", "day")
        self.buy("0000000000CC", "hour")
        self.assertEqual(self.allowed(), {"000C29ABCDEF": "0.0417", "0000000000BB": "9999",
                                          "0000000000CC": "1.0417"})
        self.now = T0 + timedelta(minutes=30)
        self.assertEqual(self.allowed()["000C29ABCDEF"], "0.0208")
        self.now = T0 + timedelta(hours=2)
        self.assertEqual(self.allowed(), {"0000000000BB": "9999", "0000000000CC": "0.9583"})
        self.assertEqual(self.allowed("op7", "other"), {"0000000000FF": "0.875"})

    def test_purchases_extend_from_later_of_now_and_current_end(self):
        cases = [  # (name, [(hours after T0, plan)], hours after T0 when read, days left)
            ("back_to_back", [(0, "day"), (0, "day")], 0, "2"),
            ("extend_running", [(0, "day"), (12, "day")], 12, "1.5"),
            ("after_expiry", [(0, "hour"), (2, "hour")], 2, "0.0417"),
            ("unlimited_wins", [(0, "unlimited"), (1, "hour")], 5, "9999"),
            ("month", [(0, "month")], 0, "30"),
        ]
        for i, (name, buys, read_at, left) in enumerate(cases):
            with self.subTest(name):
                mac = f"{i:012X}"
                for hours, plan in buys:
                    self.now = T0 + timedelta(hours=hours)
                    self.buy(mac, plan, pid="odd")
                self.now = T0 + timedelta(hours=read_at)
                self.assertEqual(self.allowed("odd", ODD_PASSWORD).get(mac), left)
                self.now = T0 + timedelta(days=400)  # let this row run out before the next

    def test_wrong_login_has_no_marker(self):
        for name, pid, pwd in [("wrong_password", "op42", "nope"), ("wrong_id", "op43", PASSWORD),
                               ("other_providers_password", "op42", "other"),
                               ("empty_password", "op42", "")]:
            with self.subTest(name):
                self.assertIsNone(self.allowed(pid, pwd))
        status, text = self.request("/gateway/providerbanner.asp?id=op42")
        self.assertEqual(status, 200)
        self.assertIn("refused", text)
        self.assertNotIn("***Allowed***", text)

    def test_percent_encoded_password_arrives_whole(self):
        self.assertEqual(self.allowed("odd", ODD_PASSWORD), {})
        status, text = self.request("/GATEWAY/PROVIDERBANNER.ASP?id=odd&pwd=a%26b%23c%3Dd%20e%2Bf")
        self.assertIn("***Allowed***", text)
        self.assertIn("0 clients with access", text)
        # The gateway encodes a blank as %20; a bare '+' is kept, not read as a blank.
        status, text = self.request("/gateway/providerbanner.asp?id=odd&pwd=a%26b%23c%3Dd+e%2Bf")
        self.assertNotIn("***Allowed***", text)
        lines = self.log.getvalue().splitlines()
        self.assertEqual(len(lines), 3)  # one per request
        self.assertTrue(all("pwd=***" in line for line in lines), lines)
        self.assertNotIn("a%26b", self.log.getvalue())


class CaptivePortalApiTest(ServiceCase):
    MAC = "000C29ABCDEF"

    def state(self, mac=MAC, pid="op42"):
        status, _, state = self.api(f"id={quote(pid, safe='')}&mac={mac}")
        self.assertEqual(status, 200)
        return state

    def test_online_only_once_the_gateway_has_loaded_the_page_after_the_purchase(self):
        portal = f"{self.origin()}/gateway/purchasing.asp?id=op42&mac={self.MAC}"
        captive = {"captive": True, "user-portal-url": portal, "can-extend-session": True}
        self.assertEqual(self.state(), captive)
        self.assertEqual(self.state(self.MAC.lower()), captive)  # as typed, answered upper case
        self.allowed()
        self.buy(self.MAC, "hour")
        self.assertEqual(self.state(), captive)  # the gateway still refuses it
        self.allowed("op42", "wrong")  # a refused login is no load
        self.allowed("op7", "other")  # nor is another operator's
        self.assertEqual(self.state(), captive)
        self.now = T0 + timedelta(seconds=2)
        self.allowed()
        self.assertEqual(self.state(), {"captive": False, "user-portal-url": portal,
                                        "seconds-remaining": 3598, "can-extend-session": True})
        self.assertIs(self.state(pid="op7")["captive"], True)  # paid at op42's gateway only
        self.now = T0 + timedelta(minutes=30)
        self.assertEqual(self.state()["seconds-remaining"], 1800)
        # A day more is not the gateway's to know until it loads the page again.
        self.buy(self.MAC, "day")
        self.assertEqual(self.state()["seconds-remaining"], 1800)
        self.allowed()
        self.assertEqual(self.state()["seconds-remaining"], 88200)
        self.now = T0 + timedelta(hours=26)
        self.assertEqual(self.state(), captive)  # run out, without another load

    def test_unlimited_has_no_seconds_remaining(self):
        self.buy("0000000000BB", "unlimited")
        self.allowed()
        state = self.state("0000000000BB")
        self.assertIs(state["captive"], False)
        self.assertNotIn("seconds-remaining", state)
        self.assertIs(self.state()["captive"], True)  # another client of the same operator

    def test_odd_requests_are_captive_at_the_front_page(self):
        self.buy(self.MAC, "day")
        self.allowed()
        front = {"captive": True, "user-portal-url": self.origin() + "/"}
        cases = [  # (name, query, status)
            ("unknown ID", f"id=op43&mac={self.MAC}", 200),
            ("short MAC", "id=op42&mac=000C29ABCDE", 200),
            ("colon MAC", "id=op42&mac=00:0C:29:AB:CD:EF", 200),
            ("non-hex MAC", "id=op42&mac=000C29ABCDEG", 200),
            ("no MAC", "id=op42", 200),
            ("no ID", f"mac={self.MAC}", 200),
            ("no query", "", 200),
            ("bad escapes", "id=%zz&mac=%", 200),
            ("invalid UTF-8 in the ID", f"id=%ff%fe&mac={self.MAC}", 200),
            ("100 fields", "a=1&" * 100 + f"id=op42&mac={self.MAC}", 200),
            ("a huge query", f"mac={self.MAC}&id=" + "x" * 60000, 200),
            ("a request line over 64 KiB", "id=op42&mac=" + "A" * 70000, 414),
        ]
        for name, query, status in cases:
            with self.subTest(name):
                got, _, state = self.api(query)
                self.assertEqual((got, state), (status, front))
        status, _, state = self.api(f"mac={self.MAC}&id=op42&id=op7&mac=0000000000BB")
        self.assertIs(state["captive"], False)  # the first of each name counts
        self.assertEqual(self.request("/")[0], 200)  # the front page is there to open

    def test_methods_and_hosts(self):
        query = f"id=op42&mac={self.MAC}"
        for method in ["POST", "PUT", "DELETE", "PATCH", "OPTIONS", "BREW"]:
            with self.subTest(method):
                self.assertEqual(self.api(query, method)[0], 405)
        status, text = self.request(f"/capport-api?{query}", "POST", "id=op42")
        self.assertEqual(status, 405)
        status, headers, _ = self.api(query, "HEAD")
        self.assertEqual(status, 200)
        self.assertEqual(int(headers["content-length"]), len(json.dumps(self.state())))
        portal = "/gateway/purchasing.asp?id=op42&mac=000C29ABCDEF"
        for host, origin in [("provider.lab", "http://provider.lab"),
                             ("provider.lab:8443", "http://provider.lab:8443"),
                             ("evil/<script>", self.origin()), ("a" * 300, self.origin())]:
            with self.subTest(host=host[:20]):
                self.assertEqual(self.api(query, host=host)[2]["user-portal-url"],
                                 origin + portal)
        self.assertEqual(self.request("/gateway/providerbanner.asp", "HEAD")[0], 501)


class HttpsTest(ServiceCase):
    server_tls = ps.tls_context(CERT, KEY)

    def test_serves_over_tls_and_logs_failed_handshakes(self):
        self.buy("000c29abcdef", "day")
        self.assertEqual(self.allowed(), {"000C29ABCDEF": "1"})
        distrustful = ssl.create_default_context()  # the system's authorities only
        plain = http.client.HTTPConnection("127.0.0.1", self.server.server_address[1],
                                           timeout=TIMEOUT)
        for name, conn in [("certificate not trusted", self.connection(distrustful)),
                           ("plain HTTP", plain)]:
            with self.subTest(name):
                with self.assertRaises((http.client.HTTPException, OSError)):
                    conn.request("GET", f"/gateway/providerbanner.asp?id=op42&pwd={PASSWORD}")
                    conn.getresponse()
                conn.close()
        self.assertTrue(self.log.wait_for_lines(r"TLS handshake failed", 2), self.log.getvalue())
        self.assertEqual(self.allowed(), {"000C29ABCDEF": "1"})  # still serving
        state = self.api("id=op42&mac=000C29ABCDEF")[2]
        self.assertEqual(state["user-portal-url"],
                         f"{self.origin()}/gateway/purchasing.asp?id=op42&mac=000C29ABCDEF")
        self.assertEqual(state["seconds-remaining"], 86400)
        log = self.log.getvalue()
        self.assertEqual(len(re.findall(r"(?i)GET /gateway/providerbanner\.asp", log)), 2, log)
        self.assertNotIn(PASSWORD, log)


class PurchaseTest(ServiceCase):
    def test_purchase_page_shows_mac_plans_and_notice_image(self):
        status, text = self.request("/Gateway/Purchasing.asp?id=op42&mac=000c29abcdef")
        self.assertEqual(status, 200)
        self.assertIn("000C29ABCDEF", text)
        self.assertIn(f'<img src="{GATEWAY}/purchase-notice" width="1" height="1" alt="">', text)
        self.assertIn('action="/gateway/purchase"', text)
        for plan in ps.PLANS:
            self.assertIn(f'value="{plan}"', text)

    def test_unknown_provider_offers_no_purchase(self):
        status, text = self.request("/gateway/purchasing.asp?id=nobody&mac=000C29ABCDEF")
        self.assertIn("Unknown provider", text)
        self.assertNotIn("<form", text)
        self.assertEqual(status, 404)
        status, _ = self.request("/gateway/purchase?id=nobody&mac=000C29ABCDEF&plan=day")
        self.assertEqual(status, 404)
        self.assertEqual(self.allowed(), {})

    def test_purchase_is_recorded_and_survives_restart(self):
        text = self.buy("000c29abcdef", "day")
        self.assertIn(f'<meta http-equiv="refresh" content="1; URL={GATEWAY}/refresh">', text)
        self.assertIn(f'href="{GATEWAY}/refresh"', text)
        status, _ = self.request("/gateway/purchase?id=op42&mac=0000000000BB&plan=unlimited")
        self.assertEqual(status, 200)
        with open(self.purchases) as f:
            saved = json.load(f)
        self.assertEqual(saved[0], {"id": "op42", "mac": "000C29ABCDEF", "plan": "day", "days": 1.0,
                                    "purchased_at": "2024-05-01T12:00:00Z",
                                    "ends_at": "2024-05-02T12:00:00Z"})
        self.assertIsNone(saved[1]["ends_at"])
        self.assertIsNone(saved[1]["days"])
        self.assertEqual(os.listdir(self.dir.name), ["purchases.json"])  # no temp file left
        self.stop()
        self.now = T0 + timedelta(hours=6)
        self.start()
        self.assertEqual(self.allowed(), {"000C29ABCDEF": "0.75", "0000000000BB": "9999"})

    def test_bad_requests(self):
        cases = [  # (name, method, path, body, status)
            ("short_mac", "GET", "/gateway/purchasing.asp?id=op42&mac=000C29ABCDE", None, 400),
            ("long_mac", "GET", "/gateway/purchasing.asp?id=op42&mac=000C29ABCDEF0", None, 400),
            ("colon_mac", "GET", "/gateway/purchasing.asp?id=op42&mac=00:0C:29:AB:CD:EF", None, 400),
            ("non_hex_mac", "GET", "/gateway/purchasing.asp?id=op42&mac=000C29ABCDEG", None, 400),
            ("missing_mac", "GET", "/gateway/purchasing.asp?id=op42", None, 400),
            ("purchase_bad_mac", "POST", "/gateway/purchase", "id=op42&mac=xyz&plan=day", 400),
            ("unknown_plan", "POST", "/gateway/purchase", "id=op42&mac=000C29ABCDEF&plan=year", 400),
            ("bad_escape", "GET", "/gateway/providerbanner.asp?id=%zz&pwd=%", None, 200),
            ("too_many_fields", "GET", "/gateway/providerbanner.asp?" + "a=1&" * 100, None, 400),
            ("huge_query", "GET", "/gateway/providerbanner.asp?id=" + "x" * 70000, None, 414),
            ("unknown_path", "GET", "/gateway/other.asp", None, 404),
            ("root is the front page", "GET", "/", None, 200),
            ("post_unknown_path", "POST", "/x", "a=b", 404),
        ]
        for name, method, path, body, expected in cases:
            with self.subTest(name):
                self.assertEqual(self.request(path, method, body)[0], expected)
        self.assertEqual(self.allowed(), {})  # still serving, nothing bought


class CommandLineTest(unittest.TestCase):
    def test_starts_answers_and_stops_on_sigterm(self):
        with tempfile.TemporaryDirectory() as d:
            accounts = os.path.join(d, "accounts.json")
            with open(accounts, "w") as f:
                json.dump({"op42": ODD_PASSWORD}, f)
            env = dict(os.environ, TARNIX_PROVIDER_NOW="2024-05-01T12:00:00Z")
            proc = subprocess.Popen(
                [sys.executable, ps.__file__, "--listen", "127.0.0.1", "--port", "0", "--accounts",
                 accounts, "--purchases", os.path.join(d, "p.json"), "--gateway", "http://gw:1/",
                 "--short-plan", "20"],
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, text=True)
            try:
                ready, _, _ = select.select([proc.stdout], [], [], TIMEOUT)
                self.assertTrue(ready, "no start line")
                line = proc.stdout.readline()
                self.assertRegex(line, r"^provider service on 127\.0\.0\.1:\d+\n$")
                port = int(line.rsplit(":", 1)[1])
                conn = http.client.HTTPConnection("127.0.0.1", port, timeout=TIMEOUT)
                conn.request("POST", "/gateway/purchase", "id=op42&mac=000C29ABCDEF&plan=hour",
                             {"Content-Type": "application/x-www-form-urlencoded"})
                self.assertIn("http://gw:1/refresh", conn.getresponse().read().decode())
                conn.close()
                conn = http.client.HTTPConnection("127.0.0.1", port, timeout=TIMEOUT)
                conn.request("POST", "/gateway/purchase", "id=op42&mac=0000000000BB&plan=short",
                             {"Content-Type": "application/x-www-form-urlencoded"})
                self.assertIn("20 seconds for 0000000000BB (until 2024-05-01T12:00:20Z)",
                              conn.getresponse().read().decode())
                conn.close()
                conn = http.client.HTTPConnection("127.0.0.1", port, timeout=TIMEOUT)
                conn.request("GET", "/gateway/providerbanner.asp?id=op42&pwd=" + quote(ODD_PASSWORD, safe=""))
                # 20 s are 0.0002 days at the page's four decimals.
                self.assertIn("***Allowed****%*0000000000BB*0.0002**%*000C29ABCDEF*0.0417*",
                              conn.getresponse().read().decode())
                conn.close()
                proc.send_signal(signal.SIGTERM)
                self.assertEqual(proc.wait(TIMEOUT), 0)
                log = proc.stderr.read()
                self.assertEqual(len(log.splitlines()), 3, log)
                self.assertNotIn("a%26b", log)
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait(TIMEOUT)
                proc.stdout.close()
                proc.stderr.close()


if __name__ == "__main__":
    unittest.main()
