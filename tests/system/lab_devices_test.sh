#!/bin/bash
# Devices without proxy settings (phones) in the lab, served through the gateway's name service,
# its nftables table and the captive-portal API address it hands out (DHCP option 114, with
# TARNIX_CAPPORT_URL=https://provider.lab/capport-api?id={id}&mac={mac}). The Internet side has
# a name server of its own (lab_start_dns), answers the connectivity probes of Android, Apple,
# Windows, Firefox and NetworkManager as the real services do, and runs the reference provider
# over HTTPS (lab CA). Device D buys a day; E stays unpaid, then buys a plan of a few seconds.
# Then the gateway's ends (SIGTERM, SIGKILL) and a start without the API address. (Clients with
# proxy settings: the browse test; a provider certificate nobody trusts: the in-process tests.)
set -u
. "$(dirname "$0")/scenario.sh"

scenario nft chromium
# The provider page gives days to four decimals: 15 s reach the gateway as 0.0002 or 0.0001
# days (17.3 or 8.6 s), as the page load comes sooner or later after the purchase.
LAB_SHORT_PLAN=15
setup "the name server" lab_start_dns
setup "the web origin" eval "lab_start_origin && lab_start_tls_origin"
setup "the TCP 5000 server" server_start net internet serve internet --tcp=5000
setup "the provider service" lab_start_tls_provider lab
setup "device D" lab_add_device d 02:00:00:00:d0:0d
setup "device E" lab_add_device e 02:00:00:00:d0:0e
LAB_CAPPORT_URL="https://$LAB_PROVIDER_HOST/capport-api?id={id}&mac={mac}" \
    setup "the gateway" lab_start_gateway "$GATEWAY"

header() { tr -d '\r' < "$1" | sed -n "s/^$2: //Ip" | tail -n 1; } # FILE NAME
tables() { lab_in gw nft list tables 2> /dev/null | grep -cx 'table inet tarnix'; }
forwarding() { lab_in gw cat /proc/sys/net/ipv4/ip_forward; }
paid_set() { lab_in gw nft list set inet tarnix paid 2> /dev/null; }
is_paid() { paid_set | grep -q "$(leased_ip "$1") \. ${LAB_MAC[$1]}"; }
# A listing taken while the gateway changes the set may fail: not paid only from one that worked.
unpaid() { paid_set > "$LAB_DIR/paid" && grep -q 'set paid' "$LAB_DIR/paid" &&
    ! grep -q "$(leased_ip "$1") \. ${LAB_MAC[$1]}" "$LAB_DIR/paid"; }
dnsmasq_pids() { # in the gateway host
    ip netns pids "${LAB_NS[gw]}" | xargs -r ps -o pid=,comm= -p | awk '$2 == "dnsmasq" {print $1}'
}
no_dnsmasq() { [ -z "$(dnsmasq_pids)" ]; }
option_114() { # as text
    lab_lease_value "$LAB_DIR/$1.udhcpc.lease" opt114 | tr a-f A-F | basenc -d --base16
}
# get NAME URL FILE [CURL OPTIONS...]: no proxy; head in FILE.head, body in FILE, status out.
get() { lab_device_curl "$1" -D "$3.head" -o "$3" -w '%{http_code}' "${@:4}" "$2"; }

# The router and name server the leases give are the ones the devices use from here on.
leases_and_resolvers() {
    local name want
    for name in d e; do
        lease "$name" -O 114 || return 1
        want="https://$LAB_PROVIDER_HOST/capport-api?id=$LAB_PROVIDER_ID&mac=$(
            lab_client_mac_hex "$name")"
        [ "$(option_114 "$name")" = "$want" ] ||
            problem "$name: option 114 '$(option_114 "$name")', expected '$want'" || return 1
        echo "  $name: $(leased_ip "$name"), API $want"
    done
    name=$(lab_in d getent ahostsv4 captive.apple.com | awk 'NR == 1 { print $1 }')
    [ "$name" = "$LAB_NET_ADDR" ] || problem "captive.apple.com through the gateway: '$name'"
}

# captive NAME URL: 302 to NAME's purchase page, not to be stored.
captive() {
    local file="$LAB_DIR/$1.captive" code
    code=$(get "$1" "$2" "$file")
    [ "$code" = 302 ] && [ "$(header "$file.head" location)" = "$(lab_purchase_url "$1")" ] &&
        [ "$(header "$file.head" cache-control)" = no-store ] ||
        problem "$2: $code, head: $(excerpt "$file.head")"
}

unpaid_probes_redirected() {
    local probe
    for probe in "${LAB_PROBES[@]}"; do
        captive d "http://$probe" && ! grep -q "GET /${probe#*/}" "$LAB_DIR/origin.log" ||
            problem "$probe reached the origin or was not sent to the purchase page" || return 1
    done
}

# https_refused NAME: HTTPS to origin.lab is reset (curl's code 7) within a second, the name
# lookup included.
https_refused() {
    local code=0 took
    took=$(lab_device_curl "$1" --cacert "$LAB_CA_CERT" -o /dev/null -w '%{time_total}' \
        https://origin.lab/ 2> /dev/null) || code=$?
    [ "$code" = 7 ] && [ "${took%%.*}" = 0 ] ||
        problem "HTTPS to origin.lab from $1: curl code $code after $took s"
}

# api NAME: "captive SECONDS" from the API at NAME's option 114 address, asked directly; its
# answer must be application/captive+json, private, with NAME's purchase page as portal.
api() {
    local file="$LAB_DIR/$1.api" meta
    meta=$(lab_device_curl "$1" --cacert "$LAB_CA_CERT" -D "$file.head" -o "$file" \
        -w '%{http_code} %{content_type}' "$(option_114 "$1")")
    [ "$meta" = "200 application/captive+json" ] &&
        [ "$(header "$file.head" cache-control)" = private ] ||
        problem "API answer '$meta': $(excerpt "$file.head")" || return 1
    python3 -c '
import json, sys
state = json.load(open(sys.argv[1]))
assert state["user-portal-url"] == sys.argv[2], state["user-portal-url"]
print(str(state["captive"]).lower(), state.get("seconds-remaining", "-"))' "$file" \
        "$(lab_purchase_url "$1")" || problem "the API's JSON: $(excerpt "$file")"
}

# The API says online only once the provider page served to the gateway listed the device.
purchase_pays() {
    local before state
    state=$(api d) && [ "${state% *}" = true ] || problem "API before: '$state'" || return 1
    before=$(provider_pages)
    lab_buy d day || problem "the purchase failed: $(excerpt "$LAB_DIR/d.purchase.html")" ||
        return 1
    [ "$(provider_pages)" = "$before" ] && state=$(api d) && [ "${state% *}" = true ] &&
        unpaid d || problem "online before the refresh (API '$state')" || return 1
    lab_device_curl d -o /dev/null "$(lab_refresh_target "$LAB_DIR/d.purchase.html")" ||
        problem "no refresh" || return 1
    lab_wait 10 is_paid d || problem "no pair for d: $(paid_set)" || return 1
    state=$(api d) && [ "${state% *}" = false ] && [ "${state#* }" -gt 86000 ] &&
        [ "${state#* }" -le 86400 ] || problem "API after: '$state'" || return 1
    echo "  captive before the refresh, then the pair in the set and the API online ($state)"
}

# The Internet host sees the gateway's address: masqueraded.
paid_anything_unpaid_nothing() {
    local got
    lab_device_curl d --cacert "$LAB_CA_CERT" -o "$LAB_DIR/d.tls.html" https://origin.lab/ &&
        grep -q "$LAB_ORIGIN_TEXT" "$LAB_DIR/d.tls.html" || problem "no HTTPS for D" || return 1
    got=$(peer d reach "tcp:$LAB_NET_ADDR:5000")
    [ "${got#* }" = "connected internet $LAB_GW_WAN" ] || problem "D: '$got'" || return 1
    captive e "http://${LAB_PROBES[0]}" && https_refused e || return 1
    got=$(peer e reach "tcp:$LAB_NET_ADDR:5000")
    [ "${got#* }" = timeout ] || problem "E: '$got'"
}

# The flow stops when the pair leaves the set: the allowance has run out.
short_allowance_ends() {
    local gone last echoes
    lab_buy e short && lab_device_curl e -o /dev/null "$LAB_PROXY/refresh" ||
        problem "the purchase failed" || return 1
    lab_wait 10 is_paid e || problem "no pair for e: $(paid_set)" || return 1
    peer_start e stream stream "$LAB_NET_ADDR" 5000 --silence=2 --limit=40
    lab_wait 5 grep -qx started "$LAB_DIR/stream.log" || problem "no data flowed" || return 1
    lab_wait 40 unpaid e || problem "the pair stayed: $(paid_set)" || return 1
    gone=$(now_ms)
    lab_wait 10 grep -q '^last_echo' "$LAB_DIR/stream.log" || problem "no end" || return 1
    read -r _ last _ echoes < <(grep '^last_echo' "$LAB_DIR/stream.log")
    echo "  $echoes echoes; the last $((last - gone)) ms after the pair left the set"
    [ $((last - gone)) -le 1500 ] && [ $((gone - last)) -le 2000 ] ||
        problem "the flow did not end with the allowance" || return 1
    lab_wait 5 captive e "http://${LAB_PROBES[0]}"
}

# Chromium takes the lab's provider certificate as a trusted one would be (a fresh profile
# knows no CA of the lab).
chromium_without_proxy() {
    local spki
    spki=$(openssl x509 -pubkey -noout -in "$LAB_DIR/tls/provider-lab.pem" |
        openssl pkey -pubin -outform der | openssl dgst -sha256 -binary | base64)
    set -- --virtual-time-budget=5000 --ignore-certificate-errors-spki-list="$spki"
    chromium_shows e http://origin.lab/ "Device: <b>$(lab_client_mac_hex e)</b>" "$@" &&
        chromium_shows d http://origin.lab/ "$LAB_ORIGIN_TEXT" "$@"
}

given_back() {
    [ "$(tables)" = 0 ] && [ "$(forwarding)" = 0 ] && lab_wait 5 no_dnsmasq ||
        problem "$(tables) tables, forwarding $(forwarding), dnsmasq '$(dnsmasq_pids)'"
}

sigterm_gives_back() {
    [ "$(tables)" = 1 ] && [ "$(forwarding)" = 1 ] ||
        problem "before: $(tables) tables, forwarding $(forwarding)" || return 1
    ends_cleanly && given_back
}

# A name service left running by a killed gateway would hold port 53 against the next one.
sigkill_then_next_start() {
    lab_start_gateway "$GATEWAY" && lab_wait 10 eval '[ "$(tables)" = 1 ]' || return 1
    kill -KILL "$LAB_GATEWAY_PID"
    wait "$LAB_GATEWAY_PID" 2> /dev/null
    lab_wait 5 no_dnsmasq || problem "dnsmasq $(dnsmasq_pids) outlived the gateway" || return 1
    echo "  killed: $(tables) table left, forwarding $(forwarding), no dnsmasq"
    lab_start_gateway "$GATEWAY" && lab_wait 10 eval '[ "$(tables)" = 1 ]' ||
        problem "tables: $(lab_in gw nft list tables)" || return 1
    lease e -O 114 && [ -z "$(lab_lease_value "$LAB_DIR/e.udhcpc.lease" opt114)" ] ||
        problem "option 114 without TARNIX_CAPPORT_URL" || return 1
    sigterm_gives_back
}

step "1. devices take leases, each with its own API address; names get true answers" \
    leases_and_resolvers
step "2. unpaid: every probe gets 302 to the purchase page, no-store" unpaid_probes_redirected
step "3. D buys over HTTPS: captive until the refresh, then paid and online" purchase_pays
step "4. paid D: HTTPS and another TCP port forwarded; unpaid E: neither" \
    paid_anything_unpaid_nothing
step "5. a $LAB_SHORT_PLAN s plan: E's flow stops when the allowance runs out" \
    short_allowance_ends
step "6. Chromium without proxy settings: unpaid E sees its purchase page, D the origin" \
    chromium_without_proxy
step "7. SIGTERM: the table is gone, forwarding and name service given back" \
    sigterm_gives_back
step "8. after SIGKILL no dnsmasq; the next start (no API address) has one table" \
    sigkill_then_next_start
finish provider.log
