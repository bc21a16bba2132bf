#!/bin/bash
# The real gateway and the provider page in the lab network:
#  1. a refresh flood: an unpaid client asks for the gateway's refresh path as fast as it can;
#     the gateway loads the provider page (each load carries the operator's password) at most
#     once every 5 s, yet the last refresh still gets its load;
#  2. the provider page over HTTPS (TARNIX_PROVIDER_HOST=https://provider.lab): with a
#     certificate of the lab's certificate authority, which the gateway host trusts, a purchase
#     and a refresh let the client through; with a certificate of an authority nobody trusts,
#     the gateway sends no request, and the client stays unpaid.
# The provider service logs one line per provider page request and per failed TLS handshake.
set -uo pipefail

. "$(dirname "$0")/require_root.sh"
require_root

require_tools ip ss python3 timeout busybox curl openssl
GATEWAY="${TARNIX_BUILD_DIR:?TARNIX_BUILD_DIR is not set}/tarnix-gateway"
[ -x "$GATEWAY" ] || { echo "FAIL: no gateway program at $GATEWAY"; exit 1; }

# shellcheck source=../../lab/lab.sh
. "$(dirname "$0")/../../lab/lab.sh"

MAC_A=02:00:00:00:41:0a
REFRESH_URL="$LAB_PROXY/refresh"
FLOOD_SECONDS=12
SPACING_SECONDS=5

excerpt() { tr '\r\n' '  ' < "$1" 2> /dev/null | cut -c 1-300; }

provider_pages() { grep -c 'GET /Gateway/ProviderBanner.asp?id=op42&' "$LAB_DIR/provider.log"; }
provider_pages_above() { [ "$(provider_pages)" -gt "$1" ]; }
failed_handshakes() { grep -c 'TLS handshake failed' "$LAB_DIR/provider.log"; }
failed_handshakes_above() { [ "$(failed_handshakes)" -gt "$1" ]; }

refresh_from_a() { lab_proxy_curl a -o /dev/null "$REFRESH_URL" 2> /dev/null || true; }

origin_page_reached() {
    lab_proxy_curl a -o "$LAB_DIR/a.origin.html" http://origin.lab/ 2> /dev/null &&
        grep -q "$LAB_ORIGIN_TEXT" "$LAB_DIR/a.origin.html"
}

# sent_to_purchase_page: the origin answers A with the page sending it to its purchase page at
# the provider's origin (scheme included).
sent_to_purchase_page() {
    local file="$LAB_DIR/a.redirect.html" code target want
    want="$LAB_PROVIDER_SCHEME://$LAB_PROVIDER_HOST/gateway/purchasing.asp?id=$LAB_PROVIDER_ID"
    want="$want&mac=$(lab_client_mac_hex a)"
    code=$(lab_proxy_curl a -o "$file" -w '%{http_code}' http://origin.lab/) || true
    target=$(lab_refresh_target "$file")
    [ "$code" = 200 ] && [ "$target" = "$want" ] ||
        problem "status '$code', refresh target '$target'" "expected '$want'" \
            "page: $(excerpt "$file")" || return 1
    ! grep -q "$LAB_ORIGIN_TEXT" "$file" || problem "the origin's page reached unpaid A"
}

lease_a() {
    lab_udhcpc a || problem "udhcpc got no lease: $(tail -n 5 "$LAB_DIR/a.udhcpc.log")" || return 1
    echo "  client A ($MAC_A) holds $(lab_lease_value "$LAB_DIR/a.udhcpc.lease" ip)"
    lab_wait 20 provider_pages_above 0 || problem "the gateway never loaded the provider page"
}

# refresh_flood SECONDS: client A asks for the refresh path through the proxy, one connection
# after another, for SECONDS (at most 100,000 requests); prints how many were answered. A pause
# of 2 ms between requests leaves the other tests running beside this one their share of the
# machine; it still asks some hundred times a second, more than the floods seen in the field.
refresh_flood() {
    lab_in a timeout $(($1 + 20)) python3 -c '
import socket, sys, time
end = time.monotonic() + float(sys.argv[1])
request = ("GET %s HTTP/1.1\r\nHost: 192.168.11.1:8080\r\n\r\n" % sys.argv[2]).encode()
answered = 0
for _ in range(100000):
    if time.monotonic() >= end:
        break
    try:
        with socket.create_connection(("192.168.11.1", 8080), timeout=5) as s:
            s.sendall(request)
            reply = b""
            while chunk := s.recv(4096):
                reply += chunk
        answered += reply.startswith(b"HTTP/1.")
    except OSError:
        pass
    time.sleep(0.002)
print(answered)
' "$1" "$REFRESH_URL"
}

refresh_flood_spaced() {
    local before after_flood after answered start loads
    local most=$(((FLOOD_SECONDS + SPACING_SECONDS - 1) / SPACING_SECONDS + 2))
    before=$(provider_pages)
    start=$(now_ms)
    answered=$(refresh_flood "$FLOOD_SECONDS") || problem "the flood did not run" || return 1
    after_flood=$(provider_pages)
    loads=$((after_flood - before))
    echo "  $answered refreshes answered in $(($(now_ms) - start)) ms; $loads provider page" \
        "loads meanwhile"
    [ "$answered" -ge $((FLOOD_SECONDS * 10)) ] ||
        problem "only $answered refreshes in $FLOOD_SECONDS s: no flood" || return 1
    [ "$loads" -le "$most" ] || problem "$loads loads during the flood, at most $most allowed" ||
        return 1
    [ "$loads" -ge $((FLOOD_SECONDS / SPACING_SECONDS)) ] ||
        problem "refreshes were lost: $loads loads during the flood" || return 1
    # The last refresh was held for the end of its interval: it still loads.
    lab_wait $((SPACING_SECONDS + 3)) provider_pages_above "$after_flood" ||
        problem "no load followed the flood's last refresh" || return 1
    after=$(provider_pages)
    echo "  $((after - before)) loads in all (at most $most), the last" \
        "$(($(now_ms) - start - FLOOD_SECONDS * 1000)) ms after the flood"
    [ $((after - before)) -le "$most" ] ||
        problem "$((after - before)) provider page loads for a $FLOOD_SECONDS s flood"
}

# restart_with_tls_provider CA: the provider service over HTTPS with a certificate issued by CA,
# and the gateway started again with https://provider.lab; it forgets its clients and who paid,
# so A takes its lease again.
restart_with_tls_provider() {
    lab_stop_gateway > /dev/null
    lab_stop_provider
    lab_start_tls_provider "$1" || return 1
    lab_start_gateway "$GATEWAY" || return 1
    lab_udhcpc a || problem "no lease after the restart" || return 1
    echo "  provider.lab serves HTTPS with a certificate of CA '$1'; gateway restarted"
}

https_provider_trusted() {
    local file="$LAB_DIR/a.purchase.html" before
    restart_with_tls_provider lab || return 1
    lab_wait 20 provider_pages_above 0 ||
        problem "no provider page request over HTTPS at start" || return 1
    [ "$(failed_handshakes)" -eq 0 ] || problem "handshakes failed: $(cat "$LAB_DIR/provider.log")" ||
        return 1
    grep -m 1 'ProviderBanner' "$LAB_DIR/provider.log" | sed 's/^/  provider log: /'
    sent_to_purchase_page || return 1
    # Bought through a tunnel to the whitelisted provider.lab:443, as a browser does.
    lab_proxy_curl a --cacert "$LAB_CA_CERT" -o "$file" \
        -d "id=$LAB_PROVIDER_ID&mac=$(lab_client_mac_hex a)&plan=day" \
        "https://$LAB_PROVIDER_HOST/gateway/purchase" && grep -q 'Thank you' "$file" ||
        problem "the purchase over HTTPS failed: $(excerpt "$file")" || return 1
    before=$(provider_pages)
    refresh_from_a
    lab_wait 10 provider_pages_above "$before" ||
        problem "the refresh did not load the provider page" || return 1
    lab_wait 10 origin_page_reached ||
        problem "A did not reach the origin after its purchase and refresh:" \
            "$(excerpt "$LAB_DIR/a.origin.html")" || return 1
    echo "  A bought a day over HTTPS, refreshed, and reached the origin"
}

https_provider_untrusted() {
    local failed
    restart_with_tls_provider stranger || return 1
    lab_wait 20 failed_handshakes_above 0 ||
        problem "the gateway never tried provider.lab over HTTPS" || return 1
    failed=$(failed_handshakes)
    refresh_from_a
    lab_wait 10 failed_handshakes_above "$failed" ||
        problem "A's refresh did not make the gateway try again" || return 1
    grep -m 1 'TLS handshake failed' "$LAB_DIR/provider.log" | sed 's/^/  provider log: /'
    [ "$(provider_pages)" -eq 0 ] ||
        problem "the provider page request (password and all) reached an unproven server" ||
        return 1
    sent_to_purchase_page || return 1
    echo "  $(failed_handshakes) handshakes refused, no request sent; A, though it paid," \
        "is still sent to its purchase page"
}

gateway_still_runs() {
    kill -0 "$LAB_GATEWAY_PID" 2> /dev/null ||
        problem "the gateway ended: $(tail -n 5 "$LAB_DIR/gateway.err")"
}

SECONDS=0
lab_up || { echo "FAIL: could not build the lab"; exit 1; }
lab_start_origin || { echo "FAIL: the web origin did not start"; exit 1; }
lab_start_provider || { echo "FAIL: the provider service did not start"; exit 1; }
lab_add_client a "$MAC_A" || { echo "FAIL: could not add client A"; exit 1; }
lab_start_gateway "$GATEWAY" || { echo "FAIL: the gateway did not start serving"; exit 1; }

step "1. client A obtains a lease; the gateway loads the provider page" lease_a
step "2. a $FLOOD_SECONDS s refresh flood from unpaid A: one provider page load per 5 s" \
    refresh_flood_spaced
step "3. https://provider.lab with a lab CA certificate: A buys, refreshes and is relayed" \
    https_provider_trusted
step "4. https://provider.lab with an untrusted certificate: no request, A stays unpaid" \
    https_provider_untrusted
step "5. the gateway is still running" gateway_still_runs

echo "took $SECONDS s"
if [ "$FAILURES" -ne 0 ]; then
    echo "--- provider service log (last lines):"
    tail -n 20 "$LAB_DIR/provider.log"
    echo "--- gateway errors (last lines):"
    tail -n 20 "$LAB_DIR/gateway.err"
    echo "FAIL: $FAILURES step(s) failed"
    exit 1
fi
echo "PASS: all steps"
