#!/bin/bash
# The firewall for LAN devices without proxy settings, run by its driver program in the lab's
# gateway host, with a client on the LAN (192.168.11.100) and TCP and UDP servers on the
# Internet host (10.99.0.2) and on the gateway's own ports (8080 for the proxy, 53 and 67 for
# its services, 2222 and 5353 for anything else it may run). Unpaid traffic is captured, refused
# or dropped; a paid (address . hardware address) pair is forwarded and masqueraded; removal and
# expiry stop open connections; the gateway's own ports other than 53, 67 and 8080 are closed to
# the LAN only. (The lab's devices test runs the same table under the real gateway: expiry at
# the end of a plan, a SIGKILLed run and the next start; the in-process tests pin the rules and
# the earlier forwarding value.)
set -u
. "$(dirname "$0")/scenario.sh"

scenario nft conntrack capsh mkfifo
PROBE="$TARNIX_BUILD_DIR/tests/tarnix-firewall-probe"
[ -x "$PROBE" ] || { echo "FAIL: $PROBE is not built"; exit 1; }
CLIENT=192.168.11.100
MAC=02:00:00:00:11:0a
INTERNET=$LAB_NET_ADDR
STATE="$LAB_DIR/state"
setup "the client" lab_add_client cl "$MAC" "$CLIENT"
setup "the client's route" ip -n "${LAB_NS[cl]}" route add default via "$LAB_GW_LAN"
setup "the Internet host's servers" server_start net internet serve internet \
    --tcp 80,443,5000 --udp 443
setup "the gateway's servers" server_start gw gateway serve gateway --tcp 8080,53,2222 \
    --udp 53,67,5353
# An unrelated table of the machine, which must survive everything below.
setup "the unrelated table" lab_in gw nft -f - <<'NFT'
table inet unrelated {
    chain watch {
        type filter hook input priority 10; policy accept;
        counter
    }
}
NFT

# The driver: commands on fd 7, answers on fd 8; DRIVER is its PID (ip netns exec execs it).
mkfifo "$LAB_DIR/in" "$LAB_DIR/out"
ip netns exec "${LAB_NS[gw]}" "$PROBE" --state-dir "$STATE" < "$LAB_DIR/in" > "$LAB_DIR/out" \
    2> "$LAB_DIR/driver.err" &
DRIVER=$!
lab_track "$DRIVER"
exec 7> "$LAB_DIR/in" 8< "$LAB_DIR/out"

# drive COMMAND...: one command, its answer in ANSWER; fails unless the answer begins "ok".
drive() {
    echo "$*" >&7
    read -r -t 15 ANSWER <&8 || ANSWER="(no answer to '$*')"
    echo "  driver: $* -> $ANSWER"
    [[ $ANSWER == ok* ]]
}

tables() { lab_in gw nft list tables | grep -cx "table inet $1"; }
forwarding() { lab_in gw cat /proc/sys/net/ipv4/ip_forward; }
logged() { grep -q -- "$2" "$LAB_DIR/$1.log"; }

# expect WHAT WANTED ACTUAL
expect() { [ "$3" = "$2" ] || problem "$1: got '$3', wanted '$2'"; }

# reaches HOST TABLE: from HOST, each line "tcp|udp:ADDRESS:PORT RESULT" holds (peers.py reach).
reaches() {
    local got
    # shellcheck disable=SC2046 # one word a target
    got=$(peer "$1" reach $(cut -d ' ' -f 1 <<< "$2"))
    [ "$got" = "$2" ] || problem "from $1:" "$(diff <(echo "$2") <(echo "$got") | grep '^[<>]')"
}

test_install() {
    drive install || return 1
    expect "tables, forwarding, state file" "1 1 0" \
        "$(tables tarnix) $(forwarding) $(cat "$STATE/ip_forward.before")" &&
        drive install && expect "after a second install: tables, the unrelated one" "1 1" \
            "$(tables tarnix) $(tables unrelated)"
}

test_unpaid() {
    reaches cl "tcp:$INTERNET:80 connected gateway $CLIENT
tcp:$INTERNET:443 reset
udp:$INTERNET:443 refused
tcp:$INTERNET:5000 timeout" && logged gateway "tcp 8080 from $CLIENT orig $INTERNET:80" &&
        ! logged internet "from" || problem "unpaid traffic reached the Internet host"
}

# The other adapter is not the firewall's business.
test_gateway_ports() {
    reaches cl "tcp:$LAB_GW_LAN:8080 connected gateway $CLIENT
tcp:$LAB_GW_LAN:53 connected gateway $CLIENT
udp:$LAB_GW_LAN:53 reply gateway
udp:$LAB_GW_LAN:67 reply gateway
tcp:$LAB_GW_LAN:2222 reset
udp:$LAB_GW_LAN:5353 refused" && reaches net "tcp:$LAB_GW_WAN:2222 connected gateway $INTERNET
udp:$LAB_GW_WAN:5353 reply gateway" || return 1
    ! logged gateway "2222 from $CLIENT\|5353 from $CLIENT" || problem "the LAN got through" ||
        return 1
    lab_in cl busybox ping -c 1 -W 2 "$LAB_GW_LAN" > /dev/null || problem "no echo reply"
}

test_garden() {
    lab_in gw nft add element inet tarnix garden "{ $INTERNET }" &&
        reaches cl "tcp:$INTERNET:443 connected internet $LAB_GW_WAN
tcp:$INTERNET:5000 timeout
tcp:$INTERNET:80 connected gateway $CLIENT" && lab_in gw nft flush set inet tarnix garden
}

test_paid() {
    drive set-paid "$CLIENT,02:00:00:00:99:99,never" &&
        reaches cl "tcp:$INTERNET:5000 timeout" && drive set-paid "$CLIENT,$MAC,never" &&
        reaches cl "tcp:$INTERNET:5000 connected internet $LAB_GW_WAN
tcp:$INTERNET:80 connected internet $LAB_GW_WAN
tcp:$INTERNET:443 connected internet $LAB_GW_WAN
udp:$INTERNET:443 reply internet"
}

test_counters() {
    local up down up2 down2
    drive counters || return 1
    read -r _ _ up _ _ down _ <<< "$ANSWER"
    expect "bulk transfer" "received 300000" "$(peer cl bulk "$INTERNET" 5000 300000)" &&
        drive counters || return 1
    read -r _ _ up2 _ _ down2 _ <<< "$ANSWER"
    [ $((down2 - down)) -ge 300000 ] && [ $((up2 - up)) -gt 0 ] ||
        problem "down grew by $((down2 - down)), up by $((up2 - up))"
}

# Forwarded connections have the Internet host as reply source; captured ones the gateway.
conntrack_of() { lab_in gw conntrack -L -s "$CLIENT" -r "$1" 2> /dev/null; }

test_removal_stops_flows() {
    local done_at last
    # A captured connection while unpaid: the proxy's, whose entry the removal must keep.
    drive set-paid && reaches cl "tcp:$INTERNET:80 connected gateway $CLIENT" || return 1
    drive set-paid "$CLIENT,$MAC,never" || return 1
    peer_start cl stream stream "$INTERNET" 5000 --silence 2 --limit 12
    lab_wait 5 grep -qx started "$LAB_DIR/stream.log" && drive set-paid || problem "no stream" ||
        return 1
    done_at=$(now_ms)
    lab_wait 15 grep -q '^last_echo' "$LAB_DIR/stream.log" || problem "no end" || return 1
    read -r _ last _ < <(grep '^last_echo' "$LAB_DIR/stream.log")
    [ $((last - done_at)) -le 700 ] || problem "data flowed $((last - done_at)) ms after it" ||
        return 1
    [ -z "$(conntrack_of "$INTERNET")" ] && [ -n "$(conntrack_of "$LAB_GW_LAN")" ] ||
        problem "the forwarded entries left, or the captured one gone"
}

# push_after TAG ACTION...: a line from the Internet host 4 s later, and a note TAG from the
# client then, with ACTION meanwhile: PUSHED says whether the line came.
push_after() {
    local tag=$1
    shift
    rm -f "$LAB_DIR/push.log"
    peer_start cl push push "$INTERNET" 5000 --tag "$tag"
    lab_wait 5 grep -qx asked "$LAB_DIR/push.log" || problem "the push was not asked" ||
        return 1
    "$@" || return 1
    lab_wait 10 grep -qx 'pushed\|silence' "$LAB_DIR/push.log" || problem "no push result" ||
        return 1
    PUSHED=$(tail -n 1 "$LAB_DIR/push.log")
}

# The connection's entry outlives the allowance; its packets stop with the pair all the same.
test_expiry_stops_both_ways() {
    drive set-paid "$CLIENT,$MAC,never" && push_after paid true || return 1
    expect "a line 4 s later while paid" pushed "$PUSHED" &&
        logged internet "note paid from $LAB_GW_WAN" || return 1
    push_after expired drive set-paid "$CLIENT,$MAC,1" || return 1
    expect "a line 4 s later, the allowance gone after 1 s" silence "$PUSHED" &&
        ! logged internet "note expired" || problem "the expired client's note got through"
}

test_remove() {
    drive remove || return 1
    expect "tables, forwarding, the unrelated table" "0 0 1" \
        "$(tables tarnix) $(forwarding) $(tables unrelated)" || return 1
    [[ $(lab_in gw nft list chain inet unrelated watch) == *"counter packets"* ]] ||
        problem "the unrelated chain: $(lab_in gw nft list chain inet unrelated watch)" ||
        return 1
    [ ! -e "$STATE/ip_forward.before" ] || problem "the state file is left" || return 1
    # The end of its input ends the driver.
    exec 7>&-
    lab_wait 10 eval "! kill -0 $DRIVER 2> /dev/null" || problem "the driver did not exit"
}

test_without_capability() {
    local got
    got=$(echo install | lab_in gw capsh --drop=cap_net_admin -- \
        -c "exec $PROBE --state-dir $STATE" 2>&1)
    [[ $got == "error "*cap_net_admin* ]] || problem "the answer: $got" || return 1
    expect "tables, forwarding" "0 0" "$(tables tarnix) $(forwarding)" &&
        [ ! -e "$STATE/ip_forward.before" ] || problem "a state file was written"
}

step "install: one table inet tarnix, forwarding on, earlier value kept" test_install
step "unpaid: port 80 captured, 443 reset, UDP 443 refused, the rest dropped" test_unpaid
step "the gateway's own ports: 53, 67 and 8080 only, from the LAN only" test_gateway_ports
step "walled garden: TCP 443 forwarded for an unpaid client" test_garden
step "paid: only the pair's own hardware address; every port forwarded and masqueraded" \
    test_paid
step "counters grow with forwarded traffic" test_counters
step "removal stops an open connection at once, conntrack entries gone" test_removal_stops_flows
step "an open connection carries nothing either way once the allowance ran out" \
    test_expiry_stops_both_ways
step "remove: no table, forwarding back off, other tables untouched" test_remove
step "without cap_net_admin: install fails with the reason, nothing changed" \
    test_without_capability
finish driver.err
