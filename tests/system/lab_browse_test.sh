#!/bin/bash
# A LAN client's whole road through the real gateway in the lab network: a lease, the proxy
# auto-config script, the purchase page for a client that has not paid (plain HTTP and CONNECT),
# the purchase at the reference provider service (provider.lab, open to all by the whitelist),
# the gateway's refresh, then browsing the web origin through the proxy, through CONNECT tunnels
# (plain and HTTPS) and with headless Chromium set up only by the auto-config script.
# The operator's password holds "&" and "=": access is granted only if the gateway's provider
# page query carried it intact, since the provider service refuses a wrong login.
set -uo pipefail

. "$(dirname "$0")/require_root.sh"
require_root

require_tools ip ss python3 timeout busybox curl node chromium openssl
GATEWAY="${TARNIX_BUILD_DIR:?TARNIX_BUILD_DIR is not set}/tarnix-gateway"
[ -x "$GATEWAY" ] || { echo "FAIL: no gateway program at $GATEWAY"; exit 1; }

# shellcheck source=../../lab/lab.sh
. "$(dirname "$0")/../../lab/lab.sh"

MAC_A=02:00:00:00:11:0a
MAC_B=02:00:00:00:11:0b
WPAD_URL="$LAB_PROXY/wpad"
REFRESH_URL="$LAB_PROXY/refresh"
PAID_WAIT=20


# excerpt FILE: the start of a reply, on one line, for a failure message.
excerpt() { tr '\r\n' '  ' < "$1" | cut -c 1-300; }

# fetch NAME FILE CURL-ARGUMENTS...: through the proxy; the body in FILE, the status on stdout.
fetch() {
    local name=$1 file=$2
    shift 2
    lab_proxy_curl "$name" -o "$file" -w '%{http_code}' "$@"
}

purchase_url() { # MAC-HEX
    echo "http://$LAB_PROVIDER_HOST/gateway/purchasing.asp?id=$LAB_PROVIDER_ID&mac=$1"
}

# expect_purchase_redirect NAME: a page for the origin that sends NAME's browser to its
# purchase page, naming the provider host, the operator and the client's hardware address.
expect_purchase_redirect() {
    local name=$1 file="$LAB_DIR/$1.redirect.html" code target want
    code=$(fetch "$name" "$file" http://origin.lab/) || problem "curl failed (status '$code')" ||
        return 1
    [ "$code" = 200 ] || problem "status $code, expected 200: $(excerpt "$file")" || return 1
    target=$(lab_refresh_target "$file")
    want=$(purchase_url "$(lab_client_mac_hex "$name")")
    [ "$target" = "$want" ] ||
        problem "refresh target '$target'" "expected      '$want'" "page: $(excerpt "$file")" ||
        return 1
    ! grep -q "$LAB_ORIGIN_TEXT" "$file" || problem "the origin's page reached an unpaid client"
    echo "  refresh to $target"
}

provider_banner_requests() { grep -c 'GET /Gateway/ProviderBanner.asp?id=op42&' \
    "$LAB_DIR/provider.log"; }
provider_banner_requests_above() { [ "$(provider_banner_requests)" -gt "$1" ]; }

lease_a() {
    lab_udhcpc a || problem "udhcpc got no lease: $(tail -n 5 "$LAB_DIR/a.udhcpc.log")" || return 1
    local ip
    ip=$(lab_lease_value "$LAB_DIR/a.udhcpc.lease" ip)
    [ "$ip" = 192.168.11.100 ] || problem "leased '$ip', expected 192.168.11.100" || return 1
    echo "  client A ($MAC_A) holds $ip"
}

provider_login_at_start() {
    lab_wait 20 provider_banner_requests_above 0 ||
        problem "no provider page request with id op42 reached provider.lab" || return 1
    grep -m 1 'ProviderBanner' "$LAB_DIR/provider.log" | sed 's/^/  provider log: /'
}

auto_config_script() {
    local file="$LAB_DIR/wpad.js" size results want
    # Fetched directly, as a browser fetches the script that tells it about the proxy.
    lab_in a curl -sS --max-time 10 --noproxy '*' -o "$file" "$WPAD_URL" ||
        problem "could not fetch $WPAD_URL" || return 1
    size=$(wc -c < "$file")
    [ "$size" -eq 177 ] || problem "the script has $size bytes, expected 177" || return 1
    results=$(node -e '
        const text = require("fs").readFileSync(process.argv[1], "utf8");
        const find = new Function(text + "\nreturn FindProxyForURL;")();
        console.log(find("http://origin.lab/", "origin.lab"));
        console.log(find("https://x/", "x"));
        console.log(find("ftp://x/", "x"));
    ' "$file" 2>&1) || problem "node could not evaluate the script: $results" || return 1
    want=$'PROXY 192.168.11.1:8080; DIRECT\nPROXY 192.168.11.1:8080; DIRECT\nDIRECT'
    [ "$results" = "$want" ] ||
        problem "http:, https:, ftp: gave:" "$results" "expected:" "$want" || return 1
    echo "  177 bytes; http: and https: -> PROXY 192.168.11.1:8080; DIRECT, ftp: -> DIRECT"
}

unpaid_http_redirected() { expect_purchase_redirect a; }

unpaid_connect_refused() {
    local file="$LAB_DIR/a.connect.txt" status target want
    # curl hides the body of a refused CONNECT, so the request is made by hand.
    lab_in a timeout 15 python3 -c '
import re, socket, sys
s = socket.create_connection(("192.168.11.1", 8080), timeout=10)
s.sendall(b"CONNECT origin.lab:80 HTTP/1.1\r\nHost: origin.lab:80\r\n\r\n")
data = b""
while True:
    chunk = s.recv(4096)
    if not chunk:
        break
    data += chunk
    head, sep, body = data.partition(b"\r\n\r\n")
    length = re.search(rb"(?im)^content-length:\s*(\d+)", head)
    if sep and length and len(body) >= int(length.group(1)):
        break
sys.stdout.buffer.write(data)
' > "$file" 2> "$file.err" || problem "CONNECT failed: $(cat "$file.err")" || return 1
    status=$(head -n 1 "$file" | tr -d '\r')
    [[ $status == "HTTP/1."[01]" 511 "* ]] ||
        problem "status line '$status', expected 511: $(excerpt "$file")" || return 1
    target=$(lab_refresh_target "$file")
    want=$(purchase_url "$(lab_client_mac_hex a)")
    [ "$target" = "$want" ] || problem "refresh target '$target', expected '$want'" || return 1
    echo "  $status, refresh to $target"
}

purchase_page_open() {
    local file="$LAB_DIR/a.purchasing.html" code url
    url=$(lab_refresh_target "$LAB_DIR/a.redirect.html")
    [ -n "$url" ] || problem "no purchase page address from the redirect" || return 1
    code=$(fetch a "$file" "$url") || problem "curl failed (status '$code')" || return 1
    [ "$code" = 200 ] || problem "status $code: $(excerpt "$file")" || return 1
    grep -q 'Buy Internet access' "$file" && grep -q "$(lab_client_mac_hex a)" "$file" ||
        problem "not the purchase page for A: $(excerpt "$file")" || return 1
    echo "  $url -> the purchase page for $(lab_client_mac_hex a)"
}

purchase_made() {
    local file="$LAB_DIR/a.purchase.html" code target mac
    mac=$(lab_client_mac_hex a)
    code=$(fetch a "$file" -d "id=$LAB_PROVIDER_ID&mac=$mac&plan=day" \
        "http://$LAB_PROVIDER_HOST/gateway/purchase") ||
        problem "curl failed (status '$code')" || return 1
    [ "$code" = 200 ] && grep -q 'Thank you' "$file" ||
        problem "status $code: $(excerpt "$file")" || return 1
    target=$(lab_refresh_target "$file")
    [ "$target" = "$REFRESH_URL" ] ||
        problem "confirmation refreshes to '$target', expected '$REFRESH_URL'" || return 1
    grep -q "\"mac\": \"$mac\"" "$LAB_DIR/provider/purchases.json" ||
        problem "no purchase recorded for $mac" || return 1
    echo "  one day bought for $mac; confirmation refreshes to $target"
}

origin_page_reached() { # NAME
    lab_proxy_curl "$1" -o "$LAB_DIR/$1.origin.html" http://origin.lab/ 2> /dev/null &&
        grep -q "$LAB_ORIGIN_TEXT" "$LAB_DIR/$1.origin.html"
}

refresh_grants_access() {
    local before code start
    before=$(provider_banner_requests)
    start=$(now_ms)
    code=$(fetch a "$LAB_DIR/a.refresh.txt" "$REFRESH_URL") ||
        problem "the gateway gave no answer to $REFRESH_URL (status '$code')" || return 1
    echo "  $REFRESH_URL answered $code"
    lab_wait 10 provider_banner_requests_above "$before" ||
        problem "the refresh did not make the gateway load the provider page" || return 1
    echo "  the gateway reloaded the provider page after $(($(now_ms) - start)) ms"
    lab_wait "$PAID_WAIT" origin_page_reached a ||
        problem "no origin page within $PAID_WAIT s of the refresh; last reply:" \
            "$(excerpt "$LAB_DIR/a.origin.html" 2> /dev/null)" || return 1
    echo "  client A reached the origin $(($(now_ms) - start)) ms after the refresh"
}

other_client_still_unpaid() {
    lab_udhcpc b || problem "udhcpc on B got no lease: $(tail -n 5 "$LAB_DIR/b.udhcpc.log")" ||
        return 1
    echo "  client B ($MAC_B) holds $(lab_lease_value "$LAB_DIR/b.udhcpc.lease" ip)"
    expect_purchase_redirect b
}

# A paid client still cannot use the proxy to reach the gateway itself or its LAN.
no_way_inside() {
    local target code
    for target in http://localhost:8080/x http://127.0.0.1:22/ http://10.99.0.1:8080/x \
        http://192.168.11.100:80/; do
        code=$(fetch a "$LAB_DIR/a.inside.html" "$target") || true
        [ "$code" = 404 ] || problem "$target answered $code, not 404" || return 1
    done
    echo "  loopback, the gateway's own addresses and the LAN are refused"
}

# The Internet side can reach port 8080 on the gateway's outer address, but gets nothing there.
# Connections from outside the LAN are closed at accept: no reply, no slot, no refresh.
internet_side_refused() {
    local code
    code=$(lab_in net curl -s --max-time 10 --noproxy '' -x http://10.99.0.1:8080 \
        -o /dev/null -w '%{http_code}' http://origin.lab/) || true
    [ "$code" = 000 ] || problem "a request from 10.99.0.2 answered $code" || return 1
    code=$(lab_in net curl -s --max-time 10 --noproxy '' -o /dev/null -w '%{http_code}' \
        http://10.99.0.1:8080/refresh) || true
    [ "$code" = 000 ] || problem "the refresh path from outside answered $code" || return 1
    echo "  connections from the Internet side are closed without a reply"
}

tunnel_plain() {
    local file="$LAB_DIR/a.tunnel.html"
    lab_proxy_curl a --proxytunnel -o "$file" http://origin.lab/ ||
        problem "the tunnel failed" || return 1
    grep -q "$LAB_ORIGIN_TEXT" "$file" || problem "not the origin: $(excerpt "$file")" || return 1
    echo "  CONNECT origin.lab:80 carried the page"
}

tunnel_tls() {
    local file="$LAB_DIR/a.tls.html"
    lab_proxy_curl a --cacert "$LAB_ORIGIN_CERT" -o "$file" https://origin.lab/ ||
        problem "the HTTPS request through the tunnel failed" || return 1
    grep -q "$LAB_ORIGIN_TEXT" "$file" || problem "not the origin: $(excerpt "$file")" || return 1
    echo "  CONNECT origin.lab:443 carried TLS; the origin's certificate checked out"
}

# chromium_shows NAME TEXT [FLAGS...]: Chromium on NAME, loading the origin, ends on a DOM
# holding TEXT.
chromium_shows() {
    local name=$1 text=$2 file="$LAB_DIR/$1.chromium.html" code=0
    shift 2
    lab_chromium_dump "$name" http://origin.lab/ "$@" > "$file" || code=$?
    if [ "$code" -ne 0 ] || ! grep -q "$text" "$file"; then
        problem "chromium exit $code; DOM: $(excerpt "$file")" "its messages (last lines):" \
            "$(grep -v 'dbus/bus.cc' "$LAB_CHROMIUM_DIR/stderr" | tail -n 8)"
        return 1
    fi
    echo "  the DOM holds \"$text\""
}

chromium_browses() { chromium_shows a "$LAB_ORIGIN_TEXT"; }

# The budget lets the gateway's page refresh to the purchase page before the DOM is taken.
chromium_unpaid_purchase_page() {
    chromium_shows b "Device: <b>$(lab_client_mac_hex b)</b>" --virtual-time-budget=5000
}

gateway_still_runs() {
    kill -0 "$LAB_GATEWAY_PID" 2> /dev/null ||
        problem "the gateway ended: $(tail -n 5 "$LAB_DIR/gateway.err")"
}

# A sanitizer build reports leaks and memory errors at exit, so the exit is part of the road.
# Its leak check can take seconds: the wait is longer than lab_stop's.
gateway_ends_cleanly() {
    local pid=$LAB_GATEWAY_PID code=0 i
    LAB_GATEWAY_PID=""
    kill -TERM "$pid" 2> /dev/null || problem "the gateway had ended already" || return 1
    for ((i = 0; i < 300; i++)); do
        kill -0 "$pid" 2> /dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2> /dev/null && problem "the gateway did not end within 30 s of SIGTERM"
    wait "$pid" || code=$?
    if grep -q -E 'ERROR: (Leak|Address)Sanitizer|runtime error:' "$LAB_DIR/gateway.err"; then
        problem "the sanitizers reported (gateway.err):" \
            "$(grep -A 25 -m 1 -E 'ERROR: |runtime error:' "$LAB_DIR/gateway.err")"
        return 1
    fi
    [ "$code" = 0 ] || problem "exit code $code on SIGTERM" || return 1
    echo "  exit code 0${ASAN_OPTIONS:+, ASAN_OPTIONS=$ASAN_OPTIONS}"
}

SECONDS=0
lab_up || { echo "FAIL: could not build the lab"; exit 1; }
lab_start_origin || { echo "FAIL: the web origin did not start"; exit 1; }
lab_start_tls_origin || { echo "FAIL: the HTTPS origin did not start"; exit 1; }
lab_start_provider "$LAB_PROVIDER_ID" "$LAB_PROVIDER_PWD" ||
    { echo "FAIL: the provider service did not start"; exit 1; }
if ! lab_add_client a "$MAC_A" || ! lab_add_client b "$MAC_B"; then
    echo "FAIL: could not add the clients"
    exit 1
fi
lab_start_gateway "$GATEWAY" || { echo "FAIL: the gateway did not start serving"; exit 1; }

step "1. client A obtains a lease from the gateway" lease_a
step "2. the gateway logs in to provider.lab at start" provider_login_at_start
step "3. (a) the proxy auto-config script sends http: and https: to the proxy" auto_config_script
step "4. (b) unpaid, plain HTTP: a page sending A to its purchase page" unpaid_http_redirected
step "5. (b) unpaid, CONNECT: 511 with the same page" unpaid_connect_refused
step "6. (c) the whitelisted provider.lab serves A its purchase page" purchase_page_open
step "7. (c) the purchase is confirmed and leads to the gateway's refresh" purchase_made
step "8. (c) the refresh reloads the provider page and A reaches the origin" \
    refresh_grants_access
step "9. (c) client B, which has not paid, is still sent to its purchase page" \
    other_client_still_unpaid
step "10. (d) a CONNECT tunnel to origin.lab:80 carries the page" tunnel_plain
step "10a. the proxy never connects to the gateway itself or the LAN" no_way_inside
step "10b. the Internet side gets nothing from port 8080" internet_side_refused
step "11. (d) HTTPS through a CONNECT tunnel to origin.lab:443" tunnel_tls
step "12. (e) headless Chromium, set up by the auto-config script, loads the origin" \
    chromium_browses
step "13. (e) headless Chromium on unpaid client B ends on B's purchase page" \
    chromium_unpaid_purchase_page
step "14. (f) the gateway is still running" gateway_still_runs
step "15. the gateway ends on SIGTERM with exit code 0 and no sanitizer report" \
    gateway_ends_cleanly

echo "took $SECONDS s"
if [ "$FAILURES" -ne 0 ]; then
    echo "--- provider service log:"
    tail -n 20 "$LAB_DIR/provider.log"
    echo "--- origin log:"
    tail -n 20 "$LAB_DIR/origin.log"
    echo "--- gateway errors (last lines):"
    tail -n 30 "$LAB_DIR/gateway.err"
    echo "FAIL: $FAILURES step(s) failed"
    exit 1
fi
echo "PASS: all steps"
