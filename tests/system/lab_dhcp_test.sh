#!/bin/bash
# The real gateway's address service in the lab against real DHCP clients (busybox udhcpc and
# ISC dhclient): first leases with every option; an address a host holds by hand, answering the
# gateway's ARP probe, never offered; a restart while clients hold leases (the gateway keeps
# none on disk), after which a client renews. Every
# DHCP message through the gateway's switch port is logged (lab/dhcp_watch.py), so the checks
# see what the server sent, and one on the Internet side must see none. (Messages in a
# client's name from other hosts, DECLINE and RELEASE, floods and junk: the in-process tests and
# the fuzzers.)
set -u
. "$(dirname "$0")/scenario.sh"

scenario dhclient
MAC_A=02:00:00:00:11:0a
UDHCPC_A=""
for client in b:0b e:0e f:0f; do
    setup "client ${client%:*}" lab_add_client "${client%:*}" "02:00:00:00:11:${client#*:}"
done
setup "client A" lab_add_client a "$MAC_A"
setup "the DHCP watch" lab_watch_dhcp
setup "the DHCP watch on the Internet side" lab_watch_dhcp net eth0 wan-dhcp
setup "the gateway" lab_start_gateway "$GATEWAY"

# expect_lease FILE ADDRESS: the lease holds the address and the segment's options.
expect_lease() {
    local pair got bad=0
    for pair in "ip=$2" router=192.168.11.1 dns=192.168.11.1 lease=86400 domain=Tarnix \
        "wpad=$LAB_PROXY/wpad"; do
        got=$(lab_lease_value "$1" "${pair%%=*}")
        [ "$got" = "${pair#*=}" ] || { problem "${pair%%=*} is '$got', not '${pair#*=}'"; bad=1; }
    done
    return "$bad"
}

held() { lab_in "$1" ip -4 -o addr show dev eth0 | awk '{print $4}' | cut -d/ -f1 | head -n 1; }
events() { wc -l < "$LAB_DIR/$1.udhcpc.events"; }
event_since() { tail -n +"$(($2 + 1))" "$LAB_DIR/$1.udhcpc.events" | grep -qx "$3"; }
log_mark() { wc -l < "$LAB_DIR/dhcp.log"; }
log_after() { tail -n +"$(($1 + 1))" "$LAB_DIR/dhcp.log"; }
xid_of() { sed -n 's/.* xid=\([^ ]*\).*/\1/p'; }
offered() { grep -q "from=server type=\(OFFER\|ACK\) .*yiaddr=$1 " "$LAB_DIR/dhcp.log"; }

# renew_a: A's udhcpc renews (SIGUSR1) by a unicast REQUEST, acknowledged with 192.168.11.100.
renew_a() {
    local mark log xid request
    mark=$(events a)
    log=$(log_mark)
    kill -USR1 "$UDHCPC_A"
    lab_wait 15 event_since a "$mark" "renew 192.168.11.100" ||
        problem "A did not renew: $(tail -n 3 "$LAB_DIR/a.udhcpc.events")" || return 1
    request="from=client type=REQUEST .*mac=$MAC_A ciaddr=192.168.11.100 .* dst=192.168.11.1$"
    xid=$(log_after "$log" | grep "$request" | xid_of | head -n 1)
    [ -n "$xid" ] && log_after "$log" | grep -q "type=ACK xid=$xid .*yiaddr=192.168.11.100 " ||
        problem "no unicast REQUEST from A acknowledged with .100" || return 1
    echo "  A renewed 192.168.11.100 by unicast REQUEST (xid $xid)"
}

first_leases() {
    : > "$LAB_DIR/a.udhcpc.events"
    lab_udhcpc_start a
    UDHCPC_A=$LAB_LAST_PID
    lab_wait 20 event_since a 0 "bound 192.168.11.100" ||
        problem "A did not get .100: $(tail -n 3 "$LAB_DIR/a.udhcpc.log")" || return 1
    expect_lease "$LAB_DIR/a.udhcpc.lease" 192.168.11.100 || return 1
    lab_dhclient b || problem "dhclient: $(tail -n 5 "$LAB_DIR/b.dhclient.log")" || return 1
    expect_lease "$LAB_DIR/b.dhclient.lease" 192.168.11.101 || return 1
    echo "  udhcpc: .100, dhclient: .101, each with option 252 $LAB_PROXY/wpad"
}

# A host that took .102 by hand answers the gateway's ARP probe: .102 is never offered.
silent_holder_skipped() {
    lab_add_client squat 02:00:00:00:11:5b 192.168.11.102 && lease e || return 1
    ! offered 192.168.11.102 || problem ".102 was offered although a host holds it" || return 1
    expect_lease "$LAB_DIR/e.udhcpc.lease" 192.168.11.103
}

# .100 to .103 are held by A, B, squat and E; the new gateway knows none of them.
restart_keeps_leases() {
    local holders
    holders=$(for host in a b squat e; do held "$host"; done | paste -sd ' ')
    ends_cleanly || return 1
    lab_start_gateway "$GATEWAY" || problem "the gateway did not start again" || return 1
    renew_a && lease f || return 1
    [[ " $holders " != *" $(leased_ip f) "* ]] ||
        problem "new client F was given $(leased_ip f), which a host holds ($holders)" || return 1
    echo "  new client F was given $(leased_ip f); held: $holders"
}

nothing_left_the_lan() {
    [ "$(grep -cv '^ready$' "$LAB_DIR/wan-dhcp.log")" = 0 ] ||
        problem "DHCP on the Internet side: $(grep -v '^ready$' "$LAB_DIR/wan-dhcp.log")" ||
        return 1
    kill -0 "$LAB_GATEWAY_PID" || problem "the gateway ended: $(tail -n 5 "$LAB_DIR/gateway.err")"
}

step "1. udhcpc on A obtains .100, dhclient on B .101, both with every option" first_leases
step "2. an address a host holds by hand is never offered: client E obtains .103" \
    silent_holder_skipped
step "3. restart with leases held: A renews .100; new client F gets none of them" \
    restart_keeps_leases
step "4. no DHCP message left through the Internet side; the gateway runs" nothing_left_the_lan
finish dhcp.log
