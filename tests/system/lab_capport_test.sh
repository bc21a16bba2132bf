#!/bin/bash
# The captive-portal API address in the lab: the gateway with
# TARNIX_CAPPORT_URL=https://provider.lab/capport-api?id={id}&mac={mac} and the reference
# provider over HTTPS (lab CA):
#  1. busybox udhcpc asking for option 114 is given its own URL, another client another one;
#  2. that URL, fetched with the lab CA: captive before a purchase, still captive after it until
#     the gateway has loaded the provider page again (the purchase's refresh), then online with
#     the seconds remaining, and the gateway lets the client through;
#  3. a gateway without the setting sends no option 114;
#  4. a gateway given an http:// URL refuses to start and says why.
set -uo pipefail

. "$(dirname "$0")/require_root.sh"
require_root

require_tools ip ss python3 timeout busybox curl openssl
GATEWAY="${TARNIX_BUILD_DIR:?TARNIX_BUILD_DIR is not set}/tarnix-gateway"
[ -x "$GATEWAY" ] || { echo "FAIL: no gateway program at $GATEWAY"; exit 1; }

# shellcheck source=../../lab/lab.sh
. "$(dirname "$0")/../../lab/lab.sh"

MAC_A=02:00:00:00:71:0a
MAC_B=02:00:00:00:71:0b
CAPPORT_TEMPLATE="https://$LAB_PROVIDER_HOST/capport-api?id={id}&mac={mac}"

excerpt() { tr '\r\n' '  ' < "$1" 2> /dev/null | cut -c 1-300; }
provider_pages() { grep -c 'GET /Gateway/ProviderBanner.asp?id=op42&' "$LAB_DIR/provider.log"; }
provider_pages_above() { [ "$(provider_pages)" -gt "$1" ]; }

# option_114 NAME: the URL in the client's last udhcpc lease (busybox hands it over in hex).
option_114() {
    lab_lease_value "$LAB_DIR/$1.udhcpc.lease" opt114 | python3 -c \
        'import sys; print(bytes.fromhex(sys.stdin.read().strip()).decode("ascii"))'
}

lease_with_option_114() { # NAME
    lab_udhcpc "$1" -O 114 ||
        problem "udhcpc on $1 got no lease: $(tail -n 5 "$LAB_DIR/$1.udhcpc.log")"
}

per_client_urls() {
    local name want got
    for name in a b; do
        lease_with_option_114 "$name" || return 1
        want="https://$LAB_PROVIDER_HOST/capport-api?id=$LAB_PROVIDER_ID"
        want="$want&mac=$(lab_client_mac_hex "$name")"
        got=$(option_114 "$name")
        [ "$got" = "$want" ] || problem "client $name: option 114 '$got', expected '$want'" ||
            return 1
        echo "  client $name: $got"
    done
}

# api_state NAME: the API's answer to client NAME at its option 114 URL, fetched through the
# gateway's proxy (provider.lab is open to all) with the lab CA, as "captive seconds portal"
# ("-" for an absent key); fails on anything but 200 application/captive+json with valid JSON.
api_state() {
    local file="$LAB_DIR/$1.api.json" url meta
    url=$(option_114 "$1") || return 1
    meta=$(lab_proxy_curl "$1" --cacert "$LAB_CA_CERT" -D "$LAB_DIR/$1.api.head" -o "$file" \
        -w '%{http_code} %{content_type}' "$url") ||
        problem "the API at $url did not answer: $(excerpt "$file")" || return 1
    [ "$meta" = "200 application/captive+json" ] &&
        tr -d '\r' < "$LAB_DIR/$1.api.head" | grep -qix 'cache-control: private' ||
        problem "API answer '$meta': $(excerpt "$LAB_DIR/$1.api.head")" || return 1
    python3 -c '
import json, sys
state = json.load(open(sys.argv[1], encoding="utf-8"))
print(str(state["captive"]).lower(), state.get("seconds-remaining", "-"), state["user-portal-url"])
' "$file" || problem "not the API's JSON: $(excerpt "$file")"
}

# expect_api NAME CAPTIVE: the API's answer says captive CAPTIVE with the client's purchase
# page as portal; prints the seconds remaining.
expect_api() {
    local state captive seconds portal want
    state=$(api_state "$1") || return 1
    read -r captive seconds portal <<< "$state"
    want="https://$LAB_PROVIDER_HOST/gateway/purchasing.asp?id=$LAB_PROVIDER_ID"
    want="$want&mac=$(lab_client_mac_hex "$1")"
    [ "$captive" = "$2" ] && [ "$portal" = "$want" ] ||
        problem "API for $1: captive $captive, portal $portal" \
            "expected captive $2, portal $want" || return 1
    echo "$seconds"
}

origin_page_reached() { # NAME
    lab_proxy_curl "$1" -o "$LAB_DIR/$1.origin.html" http://origin.lab/ 2> /dev/null &&
        grep -q "$LAB_ORIGIN_TEXT" "$LAB_DIR/$1.origin.html"
}

online_only_after_the_gateway_knows() {
    local file="$LAB_DIR/a.purchase.html" before seconds
    expect_api a true > /dev/null || return 1
    echo "  before the purchase: captive"
    before=$(provider_pages)
    # Bought through a tunnel to the whitelisted provider.lab:443, as a browser does.
    lab_proxy_curl a --cacert "$LAB_CA_CERT" -o "$file" \
        -d "id=$LAB_PROVIDER_ID&mac=$(lab_client_mac_hex a)&plan=day" \
        "https://$LAB_PROVIDER_HOST/gateway/purchase" && grep -q 'Thank you' "$file" ||
        problem "the purchase failed: $(excerpt "$file")" || return 1
    [ "$(provider_pages)" -eq "$before" ] ||
        problem "the gateway loaded the provider page by itself; the next check proves nothing" ||
        return 1
    expect_api a true > /dev/null || return 1
    ! origin_page_reached a || problem "the gateway let A through before its refresh" || return 1
    echo "  bought a day; the gateway has not loaded the provider page since: still captive"
    lab_proxy_curl a -o /dev/null "$LAB_PROXY/refresh" || problem "the refresh failed" || return 1
    lab_wait 10 provider_pages_above "$before" ||
        problem "the refresh did not load the provider page" || return 1
    seconds=$(expect_api a false) || return 1
    [ "$seconds" -gt 86000 ] && [ "$seconds" -le 86400 ] ||
        problem "seconds-remaining is '$seconds', expected a day" || return 1
    echo "  after the refresh: online, $seconds s remaining"
    lab_wait 10 origin_page_reached a || problem "the gateway does not let A through" || return 1
    expect_api b true > /dev/null || return 1
    echo "  the gateway relays A; B, which did not pay, is still captive"
}

without_the_setting_no_option_114() {
    lab_stop_gateway > /dev/null
    lab_start_gateway "$GATEWAY" || return 1
    lease_with_option_114 a || return 1
    [ -z "$(lab_lease_value "$LAB_DIR/a.udhcpc.lease" opt114)" ] ||
        problem "option 114 was sent: $(lab_lease_value "$LAB_DIR/a.udhcpc.lease" opt114)" ||
        return 1
    [ -n "$(lab_lease_value "$LAB_DIR/a.udhcpc.lease" wpad)" ] ||
        problem "the lease has no option 252 either: $(cat "$LAB_DIR/a.udhcpc.lease")"
}

http_url_refused() {
    local code=0 want="cannot be given to the clients: it is not an https URL"
    lab_stop_gateway > /dev/null
    if LAB_CAPPORT_URL="http://$LAB_PROVIDER_HOST/capport-api?id={id}&mac={mac}" \
        lab_start_gateway "$GATEWAY" 2> /dev/null; then
        problem "the gateway started with an http:// URL"
        return 1
    fi
    wait "$LAB_GATEWAY_PID" || code=$?
    LAB_GATEWAY_PID=""
    [ "$code" -ne 0 ] || problem "the gateway ended with exit code 0" || return 1
    grep -q "$want" "$LAB_DIR/gateway.err" ||
        problem "its message: $(excerpt "$LAB_DIR/gateway.err")" || return 1
    echo "  exit code $code; it said: $(grep -m 1 "$want" "$LAB_DIR/gateway.err")"
}

SECONDS=0
lab_up || { echo "FAIL: could not build the lab"; exit 1; }
lab_start_origin || { echo "FAIL: the web origin did not start"; exit 1; }
lab_start_tls_provider lab || { echo "FAIL: the provider service did not start"; exit 1; }
lab_add_client a "$MAC_A" || { echo "FAIL: could not add client A"; exit 1; }
lab_add_client b "$MAC_B" || { echo "FAIL: could not add client B"; exit 1; }
LAB_CAPPORT_URL=$CAPPORT_TEMPLATE lab_start_gateway "$GATEWAY" ||
    { echo "FAIL: the gateway did not start serving"; exit 1; }

step "1. each client's lease carries its own captive-portal API URL (option 114)" per_client_urls
step "2. the API: captive, still captive after a purchase, online once the gateway knows" \
    online_only_after_the_gateway_knows
step "3. without TARNIX_CAPPORT_URL: no option 114" without_the_setting_no_option_114
step "4. TARNIX_CAPPORT_URL=http://...: the gateway refuses to start" http_url_refused

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
