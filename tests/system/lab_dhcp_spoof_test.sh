#!/bin/bash
# DHCP messages in another client's name, sent from a second LAN host, against the real gateway
# in the lab: client A holds 192.168.11.100 (busybox udhcpc, staying); host M, on an address of
# its own, sends a DECLINE of A's address with A's hardware address (A itself answers the
# gateway's ARP probe for it), a DISCOVER with A's hardware address under hardware type 6, and
# a RELEASE of A's address from M's own address. None of them may change A's entry: A is still
# known to the proxy (the purchase page, not 404) and renews its address. A's own RELEASE, from
# the address it holds, is still honoured: the next new client is given A's number.
set -uo pipefail

. "$(dirname "$0")/require_root.sh"
require_root

require_tools ip ss python3 timeout busybox curl
GATEWAY="${TARNIX_BUILD_DIR:?TARNIX_BUILD_DIR is not set}/tarnix-gateway"
[ -x "$GATEWAY" ] || { echo "FAIL: no gateway program at $GATEWAY"; exit 1; }
HERE=$(cd "$(dirname "$0")" && pwd)

# shellcheck source=../../lab/lab.sh
. "$HERE/../../lab/lab.sh"

MAC_A=02:00:00:00:41:0a
MAC_C=02:00:00:00:41:0c
MAC_M=02:00:00:00:41:6d
ADDRESS_A=192.168.11.100
UDHCPC_A=""

a_event() { grep -sqx "$1" "$LAB_DIR/a.udhcpc.events"; }

a_leased() {
    : > "$LAB_DIR/a.udhcpc.events"
    lab_udhcpc_start a
    UDHCPC_A=$LAB_LAST_PID
    lab_wait 20 a_event "bound $ADDRESS_A" ||
        problem "client A did not get $ADDRESS_A: $(tail -n 3 "$LAB_DIR/a.udhcpc.events")" ||
        return 1
    a_known_to_proxy
}

# a_known_to_proxy: the proxy answers A with the purchase page, as a client it knows; a client
# it does not know gets 404.
a_known_to_proxy() {
    local file="$LAB_DIR/a.page"
    lab_proxy_curl a -o "$file" http://origin.lab/ 2> /dev/null
    grep -q 'purchasing\.asp' "$file" ||
        problem "client A did not get the purchase page: $(head -c 200 "$file")"
}

spoofs_change_nothing() {
    local result kind
    result=$(lab_in m timeout 20 python3 "$HERE/dhcp_flood_peer.py" --iface eth0 \
        --spoof "$MAC_A,$ADDRESS_A" 2>&1 | tail -n 1)
    echo "  $result"
    [[ $result == *" answered=none" ]] && [[ $result != *"marker=none"* ]] ||
        problem "the gateway answered a spoofed message, or not the marker" || return 1
    for kind in DECLINE RELEASE; do
        grep -q "from=client type=$kind .*mac=$MAC_A " "$LAB_DIR/dhcp.log" ||
            problem "the spoofed $kind did not reach the gateway's port" || return 1
    done
    a_known_to_proxy || return 1
    echo "  client A is still known to the proxy"
}

a_renews() {
    : > "$LAB_DIR/a.udhcpc.events"
    kill -USR1 "$UDHCPC_A"
    lab_wait 15 a_event "renew $ADDRESS_A" ||
        problem "client A did not renew $ADDRESS_A: $(tail -n 3 "$LAB_DIR/a.udhcpc.events")"
}

# udhcpc releases on SIGUSR2, unicast from the address it holds, then drops the address.
own_release_honoured() {
    kill -USR2 "$UDHCPC_A"
    lab_wait 15 a_event "deconfig -" || problem "client A did not release its address" || return 1
    lab_stop "$UDHCPC_A"
    lab_udhcpc c || problem "udhcpc on client C got no lease" || return 1
    local got
    got=$(lab_lease_value "$LAB_DIR/c.udhcpc.lease" ip)
    [ "$got" = "$ADDRESS_A" ] || problem "client C got '$got', not A's released $ADDRESS_A"
}

SECONDS=0
lab_up || { echo "FAIL: could not build the lab"; exit 1; }
if ! lab_add_client a "$MAC_A" || ! lab_add_client c "$MAC_C" ||
    ! lab_add_client m "$MAC_M" 192.168.11.50; then
    echo "FAIL: could not add the clients"
    exit 1
fi
lab_watch_dhcp || { echo "FAIL: could not watch DHCP"; exit 1; }
lab_start_gateway "$GATEWAY" || { echo "FAIL: the gateway did not start serving"; exit 1; }

step "1. client A holds $ADDRESS_A and is known to the proxy" a_leased
step "2. DECLINE, DISCOVER (hardware type 6) and RELEASE in A's name change nothing" \
    spoofs_change_nothing
step "3. client A renews $ADDRESS_A" a_renews
step "4. A's own RELEASE is honoured: new client C is given $ADDRESS_A" own_release_honoured

echo "took $SECONDS s"
if [ "$FAILURES" -ne 0 ]; then
    echo "--- DHCP messages seen (last 30):"
    tail -n 30 "$LAB_DIR/dhcp.log"
    echo "FAIL: $FAILURES step(s) failed"
    exit 1
fi
echo "PASS: all steps"
