#!/bin/bash
# Devices without proxy settings (phones) in the lab, served through the gateway's name service
# and its nftables table: the Internet side has a name server of its own (lab_start_dns) and
# answers the connectivity probes of Android, Apple, Windows, Firefox and NetworkManager as the
# real services do. Device D buys a day over HTTPS; device E stays unpaid, then buys a plan of
# a few seconds; P is a client with proxy settings, unpaid, on the road it always had.
set -uo pipefail

. "$(dirname "$0")/require_root.sh"
require_root

require_tools ip ss nft python3 timeout busybox curl chromium openssl
GATEWAY="${TARNIX_BUILD_DIR:?TARNIX_BUILD_DIR is not set}/tarnix-gateway"
[ -x "$GATEWAY" ] || { echo "FAIL: no gateway program at $GATEWAY"; exit 1; }
HERE=$(cd "$(dirname "$0")" && pwd)

# shellcheck source=../../lab/lab.sh
. "$HERE/../../lab/lab.sh"

MAC_D=02:00:00:00:d0:0d
MAC_E=02:00:00:00:d0:0e
MAC_P=02:00:00:00:d0:0f
REFRESH_URL="$LAB_PROXY/refresh"
# The provider page gives days to four decimals: 15 s reach the gateway as 0.0002 or 0.0001
# days (17.3 or 8.6 s), as the page load comes sooner or later after the purchase.
LAB_SHORT_PLAN=15

excerpt() { tr '\r\n' '  ' < "$1" 2> /dev/null | cut -c 1-300; }
ip_of() { lab_lease_value "$LAB_DIR/$1.udhcpc.lease" ip; }
header() { tr -d '\r' < "$1" | sed -n "s/^$2: //Ip" | tail -n 1; } # FILE NAME
tables() { lab_in gw nft list tables 2> /dev/null | grep -cx 'table inet tarnix'; }
one_table() { [ "$(tables)" = 1 ]; }
forwarding() { lab_in gw cat /proc/sys/net/ipv4/ip_forward; }
paid_set() { lab_in gw nft list set inet tarnix paid 2> /dev/null; }
is_paid() { paid_set | grep -q "$(ip_of "$1") \. ${LAB_MAC[$1]}"; }
is_unpaid() { ! is_paid "$1"; }
purchase_url() { # NAME
    echo "https://$LAB_PROVIDER_HOST/gateway/purchasing.asp?id=$LAB_PROVIDER_ID&mac=$(
        lab_client_mac_hex "$1")"
}
# peer NAME COMMAND...: the firewall test's peer on NAME (connect HOST PORT, stream ...).
peer() {
    local name=$1
    shift
    lab_in "$name" python3 "$HERE/firewall_peer.py" "$@"
}
# get NAME URL FILE [CURL OPTIONS...]: no proxy; head in FILE.head, body in FILE, status out.
get() {
    lab_device_curl "$1" -D "$3.head" -o "$3" -w '%{http_code}' "${@:4}" "$2"
}
dnsmasq_pids() { # dnsmasq processes in the gateway host
    local pid
    for pid in $(ip netns pids "${LAB_NS[gw]}"); do
        [ "$(cat "/proc/$pid/comm" 2> /dev/null)" = dnsmasq ] && echo "$pid"
    done
}

leases_and_resolvers() {
    local name
    for name in d e; do
        lab_udhcpc "$name" -O 114 || problem "no lease for $name" || return 1
        [ "$(lab_lease_value "$LAB_DIR/$name.udhcpc.lease" router)" = "$LAB_GW_LAN" ] &&
            [ "$(lab_lease_value "$LAB_DIR/$name.udhcpc.lease" dns)" = "$LAB_GW_LAN" ] ||
            problem "$name's lease: $(cat "$LAB_DIR/$name.udhcpc.lease")" || return 1
        [ "$(lab_in "$name" cat /etc/resolv.conf)" = "nameserver $LAB_GW_LAN" ] ||
            problem "$name's resolv.conf: $(lab_in "$name" cat /etc/resolv.conf)" || return 1
        lab_in "$name" ip route show default | grep -q "via $LAB_GW_LAN" ||
            problem "$name has no default route via the gateway" || return 1
        echo "  device $name (${LAB_MAC[$name]}): $(ip_of "$name"), router and name server" \
            "$LAB_GW_LAN"
    done
    lab_udhcpc p || problem "no lease for p" || return 1
    echo "  proxy-aware client p: $(ip_of p)"
}

names_answered() {
    local how name want got
    for how in "" --tcp; do
        for name in origin.lab provider.lab connectivitycheck.gstatic.com nosuch.lab; do
            case $name in
            provider.lab) want="NOERROR $LAB_PROVIDER_ADDR" ;;
            nosuch.lab) want=NXDOMAIN ;;
            *) want="NOERROR $LAB_NET_ADDR" ;;
            esac
            # shellcheck disable=SC2086 # $how is a flag or nothing
            got=$(lab_in d python3 "$HERE/dns_peer.py" query --server "$LAB_GW_LAN" \
                --name "$name" $how)
            [ "$got" = "$want" ] || problem "$name ${how:-udp}: '$got', expected '$want'" ||
                return 1
        done
    done
    got=$(lab_in d getent ahostsv4 captive.apple.com | awk 'NR == 1 { print $1 }')
    [ "$got" = "$LAB_NET_ADDR" ] || problem "the device's resolver: '$got'" || return 1
    echo "  UDP and TCP through $LAB_GW_LAN: the Internet's answers, NXDOMAIN for nosuch.lab"
}

# expect_captive NAME URL: 302 to NAME's purchase page, not to be stored.
expect_captive() {
    local file="$LAB_DIR/$1.captive" code want
    want=$(purchase_url "$1")
    code=$(get "$1" "$2" "$file") || problem "curl $2 failed (status '$code')" || return 1
    [ "$code" = 302 ] && [ "$(header "$file.head" location)" = "$want" ] &&
        [ "$(header "$file.head" cache-control)" = no-store ] ||
        problem "$2: $code, head: $(excerpt "$file.head")" "expected 302 to $want" || return 1
}

unpaid_probes_redirected() {
    local probe
    for probe in "${LAB_PROBES[@]}"; do
        expect_captive d "http://$probe" || return 1
        ! grep -q "GET /${probe#*/}" "$LAB_DIR/origin.log" ||
            problem "the origin saw $probe from an unpaid device" || return 1
        echo "  http://$probe: 302, no-store"
    done
    echo "  to $(purchase_url d)"
}

# https_refused NAME: HTTPS to origin.lab is refused (a reset: curl's code 7) within a second of
# curl's start, the name lookup included.
https_refused() {
    local code=0 took
    took=$(lab_device_curl "$1" --cacert "$LAB_CA_CERT" -o /dev/null -w '%{time_total}' \
        https://origin.lab/ 2> /dev/null) || code=$?
    [ "$code" = 7 ] && [ "${took%%.*}" = 0 ] ||
        problem "HTTPS to origin.lab from $1: curl code $code after $took s" || return 1
    echo "  https://origin.lab/ refused after $took s"
}

unpaid_https() {
    local code file="$LAB_DIR/d.purchasing.html"
    https_refused d || return 1
    code=$(get d "$(purchase_url d)" "$file" --cacert "$LAB_CA_CERT") || true
    [ "$code" = 200 ] && grep -q "Device: <b>$(lab_client_mac_hex d)</b>" "$file" ||
        problem "the purchase page: $code $(excerpt "$file")" || return 1
    lab_in gw nft list set inet tarnix garden | grep -qw "$LAB_PROVIDER_ADDR" ||
        problem "$LAB_PROVIDER_ADDR is not in the garden" || return 1
    echo "  the purchase page over HTTPS, certificate checked; $LAB_PROVIDER_ADDR in the garden"
}

# api NAME: "captive SECONDS" from the API at NAME's option 114 address, asked directly.
api() {
    local url
    url=$(lab_lease_value "$LAB_DIR/$1.udhcpc.lease" opt114 | python3 -c \
        'import sys; print(bytes.fromhex(sys.stdin.read().strip()).decode())') || return 1
    lab_device_curl "$1" --cacert "$LAB_CA_CERT" "$url" | python3 -c '
import json, sys
state = json.load(sys.stdin)
print(str(state["captive"]).lower(), state.get("seconds-remaining", "-"))'
}

# buy NAME PLAN: at the provider over HTTPS, no proxy; then the confirmation's target.
buy() {
    local file="$LAB_DIR/$1.purchase.html" target code
    lab_device_curl "$1" --cacert "$LAB_CA_CERT" -o "$file" \
        -d "id=$LAB_PROVIDER_ID&mac=$(lab_client_mac_hex "$1")&plan=$2" \
        "https://$LAB_PROVIDER_HOST/gateway/purchase" && grep -q 'Thank you' "$file" ||
        problem "the purchase failed: $(excerpt "$file")" || return 1
    target=$(lab_refresh_target "$file")
    [ "$target" = "$REFRESH_URL" ] || problem "confirmation refreshes to '$target'" || return 1
    code=$(lab_device_curl "$1" -o /dev/null -w '%{http_code}' "$target") ||
        problem "$target gave no answer" || return 1
    echo "  $2 bought for $1 over HTTPS; $target answered $code"
}

purchase_pays() {
    local start state
    state=$(api d) && [ "${state% *}" = true ] || problem "API before: '$state'" || return 1
    start=$(now_ms)
    buy d day || return 1
    lab_wait 10 is_paid d || problem "no pair for d: $(paid_set)" || return 1
    echo "  $(paid_set | grep -o "$(ip_of d) \. [^,}]*" | head -n 1) in the paid set" \
        "$(($(now_ms) - start)) ms after the purchase"
    state=$(api d) && [ "${state% *}" = false ] || problem "API after: '$state'" || return 1
    echo "  the captive-portal API (option 114): captive before, online after ($state)"
}

paid_probes_real() {
    local probe ref="$LAB_DIR/reference" got="$LAB_DIR/d.probe" code want
    for probe in "${LAB_PROBES[@]}"; do
        want=$(lab_in net curl -sS --max-time 10 --resolve "${probe%%/*}:80:$LAB_NET_ADDR" \
            -D "$ref.head" -o "$ref" -w '%{http_code}' "http://$probe") || return 1
        code=$(get d "http://$probe" "$got") || problem "curl $probe failed" || return 1
        [ "$code" = "$want" ] && cmp -s "$ref" "$got" &&
            [ "$(header "$got.head" content-type)" = "$(header "$ref.head" content-type)" ] ||
            problem "$probe: $code $(excerpt "$got")" "expected $want $(excerpt "$ref")" ||
            return 1
        echo "  http://$probe: $code, $(wc -c < "$got") bytes as the origin sends them"
    done
}

paid_anything() {
    local file="$LAB_DIR/d.tls.html" got
    lab_device_curl d --cacert "$LAB_CA_CERT" -o "$file" https://origin.lab/ &&
        grep -q "$LAB_ORIGIN_TEXT" "$file" || problem "HTTPS to origin.lab: $(excerpt "$file")" ||
        return 1
    got=$(peer d connect "$LAB_NET_ADDR" 5000)
    # The Internet host sees the gateway's address: masqueraded.
    [ "$got" = "connected internet $LAB_GW_WAN" ] || problem "TCP 5000: '$got'" || return 1
    echo "  https://origin.lab/ and TCP 5000 (from $LAB_GW_WAN, masqueraded) reached"
}

other_still_unpaid() {
    local got
    expect_captive e "http://${LAB_PROBES[0]}" && https_refused e > /dev/null || return 1
    got=$(peer e connect "$LAB_NET_ADDR" 5000)
    [ "$got" = timeout ] || problem "TCP 5000 for E: '$got'" || return 1
    echo "  E: probe 302, HTTPS reset, TCP 5000 dropped"
}

# expires_ms NAME: when NAME's pair leaves the paid set (epoch ms), from its "expires".
expires_ms() {
    local left
    left=$(paid_set | grep -o "$(ip_of "$1") \. ${LAB_MAC[$1]} timeout [^ ]* expires [0-9hms]*" |
        awk '{ print $NF }')
    [ -n "$left" ] || return 1
    echo $(($(now_ms) + $(echo "$left" | awk '{
        n = 0; while (match($0, /^[0-9]+(ms|h|m|s)/)) {
            v = substr($0, 1, RLENGTH); u = v; sub(/^[0-9]+/, "", u); v += 0
            n += u == "ms" ? v : u == "s" ? v * 1000 : u == "m" ? v * 60000 : v * 3600000
            $0 = substr($0, RLENGTH + 1) }
        print n }')))
}

short_allowance_ends() {
    local log="$LAB_DIR/e.stream" end last echoes
    buy e short || return 1
    lab_wait 10 is_paid e || problem "no pair for e: $(paid_set)" || return 1
    end=$(expires_ms e) || problem "no expiry for e: $(paid_set)" || return 1
    echo "  e's pair is in the set, for $((end - $(now_ms))) ms more"
    # Not through lab_in: $! must be the program itself.
    ip netns exec "${LAB_NS[e]}" python3 "$HERE/firewall_peer.py" stream "$LAB_NET_ADDR" 5000 \
        --silence 2 --limit 40 > "$log" 2>&1 &
    lab_track $!
    lab_wait 5 grep -qx started "$log" || problem "the stream never carried data" || return 1
    lab_wait 45 grep -q '^last_echo' "$log" || problem "the stream did not end" || return 1
    read -r _ last _ echoes < <(grep '^last_echo' "$log")
    echo "  $echoes echoes; the last $((last - end)) ms after the pair's expiry"
    [ $((last - end)) -le 1500 ] && [ $((end - last)) -le 2000 ] ||
        problem "the flow did not end with the allowance" || return 1
    lab_wait 5 is_unpaid e || problem "the pair is still there: $(paid_set)" || return 1
    lab_wait 5 expect_captive e "http://${LAB_PROBES[0]}" > /dev/null ||
        expect_captive e "http://${LAB_PROBES[0]}" || return 1
    echo "  E is sent to its purchase page again"
}

# chromium_shows NAME URL TEXT: Chromium without proxy settings ends on a DOM holding TEXT. It
# takes the lab's provider certificate as a trusted one would be (a fresh profile knows no CA).
chromium_shows() {
    local file="$LAB_DIR/$1.chromium.html" code=0 spki
    spki=$(openssl x509 -pubkey -noout -in "$LAB_DIR/tls/provider-lab.pem" |
        openssl pkey -pubin -outform der | openssl dgst -sha256 -binary | base64)
    lab_chromium_dump "$1" "$2" --virtual-time-budget=5000 \
        --ignore-certificate-errors-spki-list="$spki" > "$file" || code=$?
    if [ "$code" -ne 0 ] || ! grep -q "$3" "$file"; then
        problem "chromium exit $code; DOM: $(excerpt "$file")" "its messages (last lines):" \
            "$(grep -v 'dbus/bus.cc' "$LAB_CHROMIUM_DIR/stderr" | tail -n 8)"
        return 1
    fi
    echo "  $1: the DOM holds \"$3\""
}

chromium_without_proxy() {
    chromium_shows e http://origin.lab/ "Device: <b>$(lab_client_mac_hex e)</b>" &&
        chromium_shows d http://origin.lab/ "$LAB_ORIGIN_TEXT"
}

proxy_road_unchanged() {
    local file="$LAB_DIR/p.probe.html" code target
    lab_in p curl -sS --max-time 10 --noproxy '*' -o "$LAB_DIR/p.wpad" "$LAB_PROXY/wpad" &&
        [ "$(wc -c < "$LAB_DIR/p.wpad")" = 177 ] &&
        grep -q 'PROXY 192.168.11.1:8080; DIRECT' "$LAB_DIR/p.wpad" ||
        problem "the proxy script: $(excerpt "$LAB_DIR/p.wpad")" || return 1
    code=$(lab_proxy_curl p -p -o /dev/null -w '%{http_connect}' https://origin.lab/ 2> /dev/null)
    [ "$code" = 511 ] || problem "CONNECT origin.lab:443: '$code'" || return 1
    code=$(lab_proxy_curl p -o "$file" -w '%{http_code}' "http://${LAB_PROBES[0]}")
    target=$(lab_refresh_target "$file")
    [ "$code" = 200 ] && [ "$target" = "$(purchase_url p)" ] ||
        problem "the probe through the proxy: $code, refresh to '$target'" || return 1
    echo "  the script (177 bytes), CONNECT 511, and the probe through the proxy: 200 with a" \
        "refresh to $target"
}

sigterm_gives_back() {
    local code=0
    [ "$(tables)" = 1 ] && [ "$(forwarding)" = 1 ] ||
        problem "before: $(tables) tables, forwarding $(forwarding)" || return 1
    lab_stop_gateway || code=$?
    [ "$code" = 0 ] && [ "$(tables)" = 0 ] && [ "$(forwarding)" = 0 ] &&
        [ -z "$(dnsmasq_pids)" ] ||
        problem "exit $code; $(tables) tables, forwarding $(forwarding), dnsmasq '$(dnsmasq_pids)'"
}

# Left in KILLED_LEFT: the dnsmasq processes the killed gateway left, while the next ran.
KILLED_LEFT=""
sigkill_then_next_start() {
    local pid code=0
    lab_start_gateway "$GATEWAY" && lab_wait 10 one_table || return 1
    pid=$LAB_GATEWAY_PID
    kill -KILL "$pid"
    wait "$pid" 2> /dev/null
    echo "  killed: $(tables) table left, forwarding $(forwarding)"
    KILLED_LEFT=$(dnsmasq_pids | tr '\n' ' ')
    lab_start_gateway "$GATEWAY" && lab_wait 10 one_table || return 1
    [ "$(lab_in gw nft list tables | grep -c tarnix)" = 1 ] ||
        problem "tables: $(lab_in gw nft list tables)" || return 1
    echo "  started again: one table"
    lab_stop_gateway || code=$?
    [ "$code" = 0 ] && [ "$(tables)" = 0 ] && [ "$(forwarding)" = 0 ] ||
        problem "exit $code; $(tables) tables, forwarding $(forwarding)" || return 1
    echo "  SIGTERM: no table, forwarding 0"
}

# A name service left running by a killed gateway holds port 53, so the next gateway's cannot
# start, and nobody ends it.
killed_gateway_leaves_no_name_service() {
    [ -z "$KILLED_LEFT$(dnsmasq_pids)" ] ||
        problem "dnsmasq ${KILLED_LEFT}of the killed gateway ran on beside the next one;" \
            "after both ended: '$(dnsmasq_pids | tr '\n' ' ')'"
}

SECONDS=0
lab_up || { echo "FAIL: could not build the lab"; exit 1; }
lab_start_dns || { echo "FAIL: the name server did not start"; exit 1; }
lab_start_origin && lab_start_tls_origin || { echo "FAIL: the web origin did not start"; exit 1; }
lab_net_start peer python3 "$HERE/firewall_peer.py" serve --name internet --tcp 5000 \
    --seconds 600
lab_wait 10 grep -qx ready "$LAB_DIR/peer.log" || { echo "FAIL: no TCP 5000 server"; exit 1; }
lab_start_tls_provider lab || { echo "FAIL: the provider service did not start"; exit 1; }
if ! lab_add_device d "$MAC_D" || ! lab_add_device e "$MAC_E" ||
    ! lab_add_client p "$MAC_P"; then
    echo "FAIL: could not add the clients"
    exit 1
fi
LAB_CAPPORT_URL="https://$LAB_PROVIDER_HOST/capport-api?id={id}&mac={mac}" \
    lab_start_gateway "$GATEWAY" || { echo "FAIL: the gateway did not start serving"; exit 1; }
lab_wait 10 one_table || { echo "FAIL: no table inet tarnix"; exit 1; }

step "1. devices take leases: address, route and name server from the gateway" \
    leases_and_resolvers
step "2. names through $LAB_GW_LAN over UDP and TCP get true answers" names_answered
step "3. unpaid: every probe gets 302 to the purchase page, no-store" unpaid_probes_redirected
step "4. unpaid: HTTPS is reset at once, but the provider's purchase page opens" unpaid_https
step "5. D buys over HTTPS, refreshes: its pair is in the set, the API says online" \
    purchase_pays
step "6. paid: the probes get the origin's own answers" paid_probes_real
step "7. paid: HTTPS and another TCP port are forwarded" paid_anything
step "8. E, unpaid, still cannot" other_still_unpaid
step "9. a $LAB_SHORT_PLAN s plan: E's flow stops when the allowance runs out" \
    short_allowance_ends
step "10. Chromium without proxy settings: unpaid E sees its purchase page, D the origin" \
    chromium_without_proxy
step "11. a client with proxy settings: the road as before" proxy_road_unchanged
step "12. SIGTERM: the table is gone, forwarding and name service given back" \
    sigterm_gives_back
step "13. after SIGKILL the next start has one table; its SIGTERM gives forwarding back" \
    sigkill_then_next_start
step "14. a killed gateway leaves no dnsmasq behind" killed_gateway_leaves_no_name_service

echo "took $SECONDS s"
if [ "$FAILURES" -ne 0 ]; then
    echo "--- gateway errors (last lines):"
    tail -n 30 "$LAB_DIR/gateway.err"
    echo "--- provider service log (last lines):"
    tail -n 10 "$LAB_DIR/provider.log"
    echo "FAIL: $FAILURES step(s) failed"
    exit 1
fi
echo "PASS: all steps"
