#!/usr/bin/env python3
"""The lab's web origin: the files of ROOT, and the connectivity probes of the common systems
with the answers their real services give (status, type and body, byte for byte), whatever
host name a request carries. Logs one line per request on stderr, as http.server does.

  origin.py ADDRESS PORT ROOT [CERT.pem KEY.pem]     # with a certificate: HTTPS
"""
import functools
import io
import ssl
import sys
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import urlsplit

# path -> (status, headers, body)
PROBES = {
    # Android and Chromium (connectivitycheck.gstatic.com)
    "/generate_204": (204, {}, b""),
    # Apple (captive.apple.com)
    "/hotspot-detect.html": (
        200, {"Content-Type": "text/html"},
        b"<HTML><HEAD><TITLE>Success</TITLE></HEAD><BODY>Success</BODY></HTML>"),
    # Windows (www.msftconnecttest.com)
    "/connecttest.txt": (200, {"Content-Type": "text/plain"}, b"Microsoft Connect Test"),
    # Firefox (detectportal.firefox.com): the portal check and the connectivity check
    "/canonical.html": (
        200, {"Content-Type": "text/html"},
        b'<meta http-equiv="refresh" content="0;url=https://support.mozilla.org/kb/'
        b'captive-portal"/>\n'),
    "/success.txt": (200, {"Content-Type": "text/plain"}, b"success\n"),
    # NetworkManager (nmcheck.gnome.org)
    "/check_network_status.txt": (
        200, {"Content-Type": "text/plain", "X-NetworkManager-Status": "online"},
        b"NetworkManager is online\n"),
}


class Handler(SimpleHTTPRequestHandler):
    def send_head(self):
        probe = PROBES.get(urlsplit(self.path).path)
        if probe is None:
            return super().send_head()
        status, headers, body = probe
        self.send_response(status)
        for name, value in headers.items():
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        return io.BytesIO(body)


def main():
    address, port, root = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    server = ThreadingHTTPServer((address, port), functools.partial(Handler, directory=root))
    if len(sys.argv) > 5:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(sys.argv[4], sys.argv[5])
        # The handshake is left to each request's thread, so a silent client blocks no one.
        server.socket = context.wrap_socket(server.socket, server_side=True,
                                            do_handshake_on_connect=False)
    server.serve_forever()


if __name__ == "__main__":
    main()
