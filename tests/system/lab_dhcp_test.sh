#!/bin/bash
# The real gateway's address service in the lab network against two real DHCP clients (busybox
# udhcpc and ISC dhclient): first leases with every option, release and reuse of an address,
# renewal, and an address declined because another host holds it, which is never offered again.
# Every DHCP message through the gateway's switch port is logged (lab/dhcp_watch.py), so the
# checks see what the server sent, not only what a client accepted.
set -uo pipefail

. "$(dirname "$0")/require_root.sh"
require_root

require_tools ip ss python3 timeout busybox dhclient
GATEWAY="${TARNIX_BUILD_DIR:?TARNIX_BUILD_DIR is not set}/tarnix-gateway"
[ -x "$GATEWAY" ] || { echo "FAIL: no gateway program at $GATEWAY"; exit 1; }

# shellcheck source=../../lab/lab.sh
. "$(dirname "$0")/../../lab/lab.sh"

WPAD="http://192.168.11.1:8080/wpad"
MAC_A=02:00:00:00:11:0a
MAC_B=02:00:00:00:11:0b
MAC_C=02:00:00:00:11:0c
MAC_D=02:00:00:00:11:0d
MAC_SQUATTER=02:00:00:00:11:5a
MAC_SQUATTER2=02:00:00:00:11:5b
MAC_E=02:00:00:00:11:0e


# expect_lease FILE ADDRESS: the lease holds the address and the segment's options.
expect_lease() {
    local file=$1 want_ip=$2 key want got bad=0
    [ -s "$file" ] || problem "no lease written ($file)" || return 1
    for pair in "ip=$want_ip" router=192.168.11.1 dns=192.168.11.1 lease=86400 domain=Tarnix \
        "wpad=$WPAD"; do
        key=${pair%%=*}
        want=${pair#*=}
        got=$(lab_lease_value "$file" "$key")
        [ "$got" = "$want" ] || { problem "$key is '$got', expected '$want'"; bad=1; }
    done
    echo "  option 252: $(lab_lease_value "$file" wpad)"
    return "$bad"
}

# holds CLIENT ADDRESS: the client's script configured the address on its adapter.
holds() { lab_in "$1" ip -4 -o addr show dev eth0 | grep -q "inet $2/"; }

# log_after MARK: the DHCP log lines after line MARK (a line count taken earlier).
log_after() { tail -n +"$(($1 + 1))" "$LAB_DIR/dhcp.log"; }
log_mark() { wc -l < "$LAB_DIR/dhcp.log"; }
logged_after() { log_after "$1" | grep -q "$2"; } # MARK PATTERN
field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p"; }

first_lease() { # udhcpc on client A
    lab_udhcpc a || problem "udhcpc got no lease: $(tail -n 5 "$LAB_DIR/a.udhcpc.log")" || return 1
    expect_lease "$LAB_DIR/a.udhcpc.lease" 192.168.11.100 || return 1
    holds a 192.168.11.100 || problem "address not configured on client A"
}

second_lease() { # dhclient on client B
    lab_dhclient b || problem "dhclient got no lease: $(tail -n 5 "$LAB_DIR/b.dhclient.log")" ||
        return 1
    expect_lease "$LAB_DIR/b.dhclient.lease" 192.168.11.101 || return 1
    holds b 192.168.11.101 || problem "address not configured on client B"
}

released_address_reused() {
    local mark
    mark=$(log_mark)
    lab_dhclient_release b || problem "dhclient -r failed: $(tail -n 5 "$LAB_DIR/b.dhclient.log")"
    local release="from=client type=RELEASE .*mac=$MAC_B ciaddr=192.168.11.101 "
    lab_wait 5 logged_after "$mark" "$release" ||
        problem "no RELEASE of 192.168.11.101 from client B seen" || return 1
    echo "  client B released 192.168.11.101"
    lab_udhcpc c ||
        problem "udhcpc on client C got no lease: $(tail -n 5 "$LAB_DIR/c.udhcpc.log")" ||
        return 1
    expect_lease "$LAB_DIR/c.udhcpc.lease" 192.168.11.101
}

renewal_keeps_address() {
    local pid mark xid
    # Asking again for the address it had (DISCOVER with it requested, then REQUEST).
    : > "$LAB_DIR/a.udhcpc.events"
    lab_udhcpc_start a -r 192.168.11.100
    pid=$LAB_LAST_PID
    if ! lab_wait 15 grep -sqx "bound 192.168.11.100" "$LAB_DIR/a.udhcpc.events"; then
        lab_stop "$pid"
        problem "client A did not get 192.168.11.100 back: $(tail -n 3 "$LAB_DIR/a.udhcpc.events")"
        return 1
    fi
    echo "  client A asked for 192.168.11.100 again and got it"
    # A renewal proper: a unicast REQUEST carrying the address in ciaddr.
    mark=$(log_mark)
    kill -USR1 "$pid"
    lab_wait 15 grep -sqx "renew 192.168.11.100" "$LAB_DIR/a.udhcpc.events"
    local renewed_ok=$?
    lab_stop "$pid"
    [ "$renewed_ok" -eq 0 ] ||
        problem "no renewal of 192.168.11.100: $(tail -n 3 "$LAB_DIR/a.udhcpc.events")" || return 1
    xid=$(log_after "$mark" |
        grep "from=client type=REQUEST .*mac=$MAC_A ciaddr=192.168.11.100 .* dst=192.168.11.1$" |
        field xid | head -n 1)
    [ -n "$xid" ] || problem "no unicast REQUEST with ciaddr 192.168.11.100 seen" || return 1
    log_after "$mark" | grep -q "from=server type=ACK xid=$xid .*yiaddr=192.168.11.100 " ||
        problem "the renewal was not acknowledged with 192.168.11.100" || return 1
    expect_lease "$LAB_DIR/a.udhcpc.lease" 192.168.11.100 > /dev/null ||
        problem "renewed lease differs: $(cat "$LAB_DIR/a.udhcpc.lease")" || return 1
    echo "  client A renewed 192.168.11.100 by unicast REQUEST (xid $xid)"
}

# D holds 192.168.11.102 from the gateway; while it is away a host takes that address by hand.
# D asks for its address back, finds it in use and declines it: the DECLINE gets no reply, the
# number is not offered again, and D is given the next one.
declined_address_skipped() {
    local mark decline_line xid after acked
    lab_udhcpc d || problem "udhcpc on client D got no lease" || return 1
    expect_lease "$LAB_DIR/d.udhcpc.lease" 192.168.11.102 || return 1
    lab_in d ip addr flush dev eth0
    lab_add_client squat "$MAC_SQUATTER" 192.168.11.102 || return 1
    mark=$(log_mark)
    lab_udhcpc d -a -A 1 -r 192.168.11.102 ||
        problem "udhcpc on client D got no lease: $(tail -n 5 "$LAB_DIR/d.udhcpc.log")" || return 1
    decline_line=$(log_after "$mark" |
        grep -n "from=client type=DECLINE .*mac=$MAC_D .*req=192.168.11.102 " | head -n 1)
    [ -n "$decline_line" ] || problem "no DECLINE of 192.168.11.102 from client D seen" || return 1
    xid=$(echo "$decline_line" | field xid)
    echo "  client D found 192.168.11.102 in use and declined it (xid $xid)"
    after=$((mark + ${decline_line%%:*}))
    ! log_after "$after" | grep -q "from=server .*xid=$xid " ||
        problem "the server answered the DECLINE" || return 1
    # The ACK that D declined goes out twice (to 255.255.255.255 and to the segment), so its
    # second copy may pass after the DECLINE; no other transaction may offer .102 again.
    acked=$(log_after "$mark" | head -n "${decline_line%%:*}" |
        grep "from=server type=ACK .*yiaddr=192.168.11.102 " | tail -n 1 | field xid)
    ! log_after "$after" | grep "from=server type=\(OFFER\|ACK\) .*yiaddr=192.168.11.102 " |
        grep -vq "xid=$acked " ||
        problem "192.168.11.102 was offered again after the DECLINE" || return 1
    expect_lease "$LAB_DIR/d.udhcpc.lease" 192.168.11.103
}

# A host that took 192.168.11.104 by hand answers the gateway's ARP probe, so a new client is
# never offered that number (a gateway restarted while clients hold leases relies on this).
silent_holder_skipped() {
    lab_add_client squat2 "$MAC_SQUATTER2" 192.168.11.104 || return 1
    lab_udhcpc e || problem "udhcpc on client E got no lease" || return 1
    ! grep -q "from=server type=\(OFFER\|ACK\) .*yiaddr=192.168.11.104 " "$LAB_DIR/dhcp.log" ||
        problem "192.168.11.104 was offered although a host holds it" || return 1
    expect_lease "$LAB_DIR/e.udhcpc.lease" 192.168.11.105
}

gateway_still_runs() {
    kill -0 "$LAB_GATEWAY_PID" 2> /dev/null ||
        problem "the gateway ended: $(tail -n 5 "$LAB_DIR/gateway.err")"
}

SECONDS=0
lab_up || { echo "FAIL: could not build the lab"; exit 1; }
for client in a:$MAC_A b:$MAC_B c:$MAC_C d:$MAC_D e:$MAC_E; do
    lab_add_client "${client%%:*}" "${client#*:}" ||
        { echo "FAIL: could not add client $client"; exit 1; }
done
lab_watch_dhcp || { echo "FAIL: could not watch DHCP"; exit 1; }
lab_start_gateway "$GATEWAY" || { echo "FAIL: the gateway did not start serving"; exit 1; }

step "1. udhcpc on client A obtains 192.168.11.100 with every option" first_lease
step "2. dhclient on client B obtains 192.168.11.101 with every option" second_lease
step "3. after client B's RELEASE a new client C obtains 192.168.11.101" released_address_reused
step "4. client A keeps 192.168.11.100 when it asks again and when it renews" renewal_keeps_address
step "5. a declined 192.168.11.102 is skipped: client D obtains 192.168.11.103" \
    declined_address_skipped
step "5a. an address a host holds by hand is never offered: client E obtains .105" \
    silent_holder_skipped
step "6. the gateway is still running" gateway_still_runs

echo "took $SECONDS s"
if [ "$FAILURES" -ne 0 ]; then
    echo "--- DHCP messages seen (last 60):"
    tail -n 60 "$LAB_DIR/dhcp.log"
    echo "--- gateway errors (last lines):"
    tail -n 30 "$LAB_DIR/gateway.err"
    echo "FAIL: $FAILURES step(s) failed"
    exit 1
fi
echo "PASS: all steps"
