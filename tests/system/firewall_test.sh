#!/bin/bash
# The firewall for LAN devices without proxy settings, run by its driver program in namespaces
# of this test's own: a gateway (lan0 192.168.11.1/24, wan0 10.99.0.1/24), a client on the LAN
# (192.168.11.100) and an Internet host (10.99.0.2) with TCP and UDP servers. Unpaid traffic is
# captured, refused or dropped; a paid (address . hardware address) pair is forwarded and
# masqueraded; removal and expiry stop open connections; forwarding is given back its earlier
# value, also after a SIGKILLed run; the gateway's own ports other than 53, 67 and 8080 are
# closed to the LAN only.
set -u

# shellcheck source=netns_lib.sh
. "$(dirname "$0")/netns_lib.sh"
require_root
require_tools ip nft conntrack python3 capsh busybox mkfifo

PROBE="${TARNIX_BUILD_DIR:?TARNIX_BUILD_DIR is not set}/tests/tarnix-firewall-probe"
PEER="$(cd "$(dirname "$0")" && pwd)/firewall_peer.py"
[ -x "$PROBE" ] || fail "$PROBE is not built"

CLIENT=192.168.11.100
CLIENT_MAC=02:00:00:00:11:0a
INTERNET=10.99.0.2
STATE="$WORK_DIR/state"

new_ns GW gw
new_ns CL cl
new_ns NET net
link_ns "$GW" lan0 "$CL" eth0
link_ns "$GW" wan0 "$NET" eth0
ip -n "$GW" addr add 192.168.11.1/24 dev lan0
ip -n "$GW" addr add 10.99.0.1/24 dev wan0
ip -n "$GW" route add default via "$INTERNET"
ip -n "$CL" link set eth0 address "$CLIENT_MAC"
ip -n "$CL" addr add "$CLIENT/24" dev eth0
ip -n "$CL" route add default via 192.168.11.1
ip -n "$NET" addr add "$INTERNET/24" dev eth0
ip netns exec "$GW" sysctl -qw net.ipv4.ip_forward=0

# Servers: the Internet host, and the gateway's own ports (8080 stands in for the proxy, 53 and
# 67 for its services, 2222 and 5353 for anything else it may run).
ip netns exec "$NET" python3 "$PEER" serve --name internet --tcp 80 443 5000 --udp 443 \
    >"$WORK_DIR/internet.log" 2>&1 &
STARTED_PIDS+=("$!")
ip netns exec "$GW" python3 "$PEER" serve --name gateway --tcp 8080 53 2222 --udp 53 67 5353 \
    >"$WORK_DIR/gateway.log" 2>&1 &
STARTED_PIDS+=("$!")
wait_for 10 grep -qx ready "$WORK_DIR/internet.log" ||
    fail "the Internet host's servers did not start"
wait_for 10 grep -qx ready "$WORK_DIR/gateway.log" || fail "the gateway's servers did not start"

# An unrelated table of the machine, which must survive everything below.
ip netns exec "$GW" nft -f - <<'NFT' || fail "cannot create the unrelated table"
table inet unrelated {
    chain watch {
        type filter hook input priority 10; policy accept;
        counter
    }
}
NFT

# The driver: commands on fd 7, answers on fd 8; DRIVER is its PID (ip netns exec execs it).
start_driver() {
    rm -f "$WORK_DIR/in" "$WORK_DIR/out"
    mkfifo "$WORK_DIR/in" "$WORK_DIR/out"
    ip netns exec "$GW" "$PROBE" --state-dir "$STATE" <"$WORK_DIR/in" >"$WORK_DIR/out" \
        2>>"$WORK_DIR/driver.err" &
    DRIVER=$!
    STARTED_PIDS+=("$DRIVER")
    exec 7>"$WORK_DIR/in" 8<"$WORK_DIR/out"
}

# drive COMMAND...: one command; its answer in ANSWER. Fails unless the answer begins "ok".
drive() {
    echo "$*" >&7
    if ! read -r -t 15 ANSWER <&8; then
        ANSWER="(no answer to '$*')"
    fi
    echo "  driver: $* -> $ANSWER"
    [[ $ANSWER == ok* ]]
}

driver_gone() { ! kill -0 "$DRIVER" 2>/dev/null; }

# Ends the input: the driver removes what is installed and exits (bounded wait).
stop_driver() {
    exec 7>&-
    wait_for 10 driver_gone
    local gone=$?
    exec 8<&-
    return $gone
}

kill_driver() {
    kill -KILL "$DRIVER"
    wait "$DRIVER" 2>/dev/null
    exec 7>&- 8<&-
}

tables() { ip netns exec "$GW" nft list tables | grep -cx "table inet $1"; }
forwarding() { ip netns exec "$GW" cat /proc/sys/net/ipv4/ip_forward; }
on_client() { ip netns exec "$CL" python3 "$PEER" "$@"; }

# expect WHAT PATTERN ACTUAL: ACTUAL must match the extended regular expression.
expect() {
    [[ $3 =~ ^$2$ ]] && return 0
    problem "$1: got '$3', wanted /$2/"
}

# Fewer than LIMIT milliseconds in "refused MS".
refused_within() { [[ $2 =~ ^refused\ ([0-9]+)$ ]] && [ "${BASH_REMATCH[1]}" -lt "$1" ]; }

logged() { grep -q -- "$2" "$WORK_DIR/$1.log"; }

test_install() {
    local ok=0
    start_driver
    drive install || return 1
    expect "tables after install" 1 "$(tables tarnix)" || ok=1
    expect "forwarding while installed" 1 "$(forwarding)" || ok=1
    expect "state file" 0 "$(cat "$STATE/ip_forward.before" 2>&1)" || ok=1
    drive install || ok=1
    expect "tables after a second install" 1 "$(tables tarnix)" || ok=1
    expect "unrelated table" 1 "$(tables unrelated)" || ok=1
    return $ok
}

test_unpaid() {
    local ok=0 got
    got=$(on_client connect "$INTERNET" 80)
    expect "port 80 reaches the proxy port" "connected gateway $CLIENT" "$got" || ok=1
    logged gateway "tcp 8080 from $CLIENT orig $INTERNET:80" ||
        problem "the proxy port did not see the original destination" || ok=1
    got=$(on_client connect "$INTERNET" 443)
    refused_within 1000 "$got" || problem "TCP 443 not reset at once: $got" || ok=1
    expect "UDP 443" refused "$(on_client udp "$INTERNET" 443)" || ok=1
    expect "TCP 5000" timeout "$(on_client connect "$INTERNET" 5000)" || ok=1
    ! logged internet "from" || problem "unpaid traffic reached the Internet host" || ok=1
    return $ok
}

test_gateway_ports() {
    local ok=0 got
    expect "TCP 8080" "connected gateway $CLIENT" "$(on_client connect 192.168.11.1 8080)" || ok=1
    expect "TCP 53" "connected gateway $CLIENT" "$(on_client connect 192.168.11.1 53)" || ok=1
    expect "UDP 53" "reply gateway" "$(on_client udp 192.168.11.1 53)" || ok=1
    expect "UDP 67" "reply gateway" "$(on_client udp 192.168.11.1 67)" || ok=1
    got=$(on_client connect 192.168.11.1 2222)
    refused_within 1000 "$got" || problem "TCP 2222 from the LAN not reset: $got" || ok=1
    expect "UDP 5353 from the LAN" refused "$(on_client udp 192.168.11.1 5353)" || ok=1
    ! logged gateway "2222 from\|5353 from" || problem "a closed port saw LAN traffic" || ok=1
    ip netns exec "$CL" busybox ping -c 1 -W 2 192.168.11.1 >/dev/null ||
        problem "echo request unanswered" || ok=1
    # The other adapter is not the firewall's business.
    expect "TCP 2222 from the Internet side" "connected gateway 10.99.0.2" \
        "$(ip netns exec "$NET" python3 "$PEER" connect 10.99.0.1 2222)" || ok=1
    expect "UDP 5353 from the Internet side" "reply gateway" \
        "$(ip netns exec "$NET" python3 "$PEER" udp 10.99.0.1 5353)" || ok=1
    return $ok
}

test_garden() {
    local ok=0
    ip netns exec "$GW" nft add element inet tarnix garden "{ $INTERNET }" || return 1
    expect "TCP 443 to the garden" "connected internet 10.99.0.1" \
        "$(on_client connect "$INTERNET" 443)" || ok=1
    expect "TCP 5000 to the garden" timeout "$(on_client connect "$INTERNET" 5000)" || ok=1
    expect "port 80 to the garden still captured" "connected gateway $CLIENT" \
        "$(on_client connect "$INTERNET" 80)" || ok=1
    ip netns exec "$GW" nft flush set inet tarnix garden || ok=1
    return $ok
}

test_wrong_pair() {
    drive set-paid "$CLIENT,02:00:00:00:99:99,never" || return 1
    expect "TCP 5000 with another hardware address paid" timeout \
        "$(on_client connect "$INTERNET" 5000)"
}

test_paid() {
    local ok=0
    drive set-paid "$CLIENT,$CLIENT_MAC,never" || return 1
    expect "TCP 5000" "connected internet 10.99.0.1" "$(on_client connect "$INTERNET" 5000)" || ok=1
    expect "TCP 80, not captured" "connected internet 10.99.0.1" \
        "$(on_client connect "$INTERNET" 80)" || ok=1
    expect "TCP 443" "connected internet 10.99.0.1" "$(on_client connect "$INTERNET" 443)" || ok=1
    expect "UDP 443" "reply internet" "$(on_client udp "$INTERNET" 443)" || ok=1
    return $ok
}

test_counters() {
    local ok=0 up_before down_before up_after down_after
    drive counters || return 1
    read -r _ _ up_before _ _ down_before _ <<<"$ANSWER"
    expect "bulk transfer" "received 300000" "$(on_client bulk "$INTERNET" 5000 300000)" || ok=1
    drive counters || return 1
    read -r _ _ up_after _ _ down_after _ <<<"$ANSWER"
    [ $((down_after - down_before)) -ge 300000 ] ||
        problem "down grew by $((down_after - down_before)) bytes" || ok=1
    [ $((up_after - up_before)) -gt 0 ] || problem "up did not grow" || ok=1
    return $ok
}

# stream_until ACTION...: opens an echoed stream to the Internet host and runs ACTION once it
# carries data; then DONE_AT is when ACTION ended, LAST the stream's last echo (epoch ms) and
# ECHOES how many it saw.
stream_until() {
    local log="$WORK_DIR/stream.log" pid
    on_client stream "$INTERNET" 5000 --silence 2 --limit 12 >"$log" 2>&1 &
    pid=$!
    STARTED_PIDS+=("$pid")
    wait_for 5 grep -qx started "$log" || { problem "the stream never carried data"; return 1; }
    "$@" || return 1
    DONE_AT=$(now_ms)
    wait_for 15 grep -q '^last_echo' "$log" || { problem "the stream did not end"; return 1; }
    read -r _ LAST _ ECHOES < <(grep '^last_echo' "$log")
}

# Forwarded connections have the Internet host as reply source; captured ones the gateway.
conntrack_of() { ip netns exec "$GW" conntrack -L -s "$CLIENT" -r "$1" 2>/dev/null; }

test_removal_stops_flows() {
    local ok=0
    # A captured connection while unpaid: the proxy's, whose entry the removal must keep.
    drive set-paid || return 1
    expect "port 80 while unpaid" "connected gateway $CLIENT" \
        "$(on_client connect "$INTERNET" 80)" || return 1
    drive set-paid "$CLIENT,$CLIENT_MAC,never" || return 1
    stream_until drive set-paid || return 1
    [ $((LAST - DONE_AT)) -le 700 ] || problem "data flowed $((LAST - DONE_AT)) ms after removal" ||
        ok=1
    [ -z "$(conntrack_of "$INTERNET")" ] ||
        problem "forwarded entries of the removed client:" "$(conntrack_of "$INTERNET")" || ok=1
    [ -n "$(conntrack_of 192.168.11.1)" ] || problem "the captured connection's entry is gone" ||
        ok=1
    return $ok
}

# The stream starts under an allowance that never ends, which is then cut to 2 s.
test_expiry_stops_flows() {
    local ran
    drive set-paid "$CLIENT,$CLIENT_MAC,never" || return 1
    stream_until drive set-paid "$CLIENT,$CLIENT_MAC,2" || return 1
    ran=$((LAST - DONE_AT))
    echo "  last echo ${ran} ms into a 2 s allowance ($ECHOES echoes)"
    if [ "$ran" -lt 1000 ] || [ "$ran" -gt 3000 ]; then
        problem "the stream ended ${ran} ms in"
    fi
}

# push_after TAG ACTION...: asks the Internet host for a line 4 s later and sends it a note TAG
# then, runs ACTION meanwhile, and leaves in PUSHED whether the line reached the client.
push_after() {
    local log="$WORK_DIR/push.log" tag="$1"
    shift
    on_client push "$INTERNET" 5000 --delay 4 --wait 7 --tag "$tag" >"$log" 2>&1 &
    STARTED_PIDS+=("$!")
    wait_for 5 grep -qx asked "$log" || { problem "the push was never asked for"; return 1; }
    "$@" || return 1
    wait_for 10 grep -qx 'pushed\|silence' "$log" || { problem "no push result"; return 1; }
    PUSHED=$(tail -n 1 "$log")
}

# The connection's entry outlives the allowance; its packets must stop with the pair all the
# same, in both directions.
test_expiry_stops_both_ways() {
    local ok=0
    drive set-paid "$CLIENT,$CLIENT_MAC,never" || return 1
    push_after paid true || return 1
    expect "a line 4 s later while paid" pushed "$PUSHED" || ok=1
    logged internet "note paid from 10.99.0.1" || problem "the paid client's note was lost" ||
        ok=1
    push_after expired drive set-paid "$CLIENT,$CLIENT_MAC,1" || return 1
    expect "a line 4 s later, the allowance gone after 1 s" silence "$PUSHED" || ok=1
    ! logged internet "note expired" || problem "the expired client's note got through" || ok=1
    return $ok
}

test_remove() {
    local ok=0
    drive remove || return 1
    expect "tables after remove" 0 "$(tables tarnix)" || ok=1
    expect "forwarding after remove" 0 "$(forwarding)" || ok=1
    [ ! -e "$STATE/ip_forward.before" ] || problem "the state file is still there" || ok=1
    expect "unrelated table" 1 "$(tables unrelated)" || ok=1
    expect "unrelated chain" 1 \
        "$(ip netns exec "$GW" nft list chain inet unrelated watch | grep -c 'counter packets')" ||
        ok=1
    stop_driver || problem "the driver did not exit at the end of its input" || ok=1
    return $ok
}

test_after_sigkill() {
    local ok=0
    start_driver
    drive install || return 1
    kill_driver
    expect "tables left by the killed run" 1 "$(tables tarnix)" || ok=1
    expect "forwarding left by the killed run" 1 "$(forwarding)" || ok=1
    start_driver
    drive install || return 1
    expect "tables after the next install" 1 "$(tables tarnix)" || ok=1
    drive remove || ok=1
    expect "forwarding given back after the crash" 0 "$(forwarding)" || ok=1
    expect "tables" 0 "$(tables tarnix)" || ok=1
    [ ! -e "$STATE/ip_forward.before" ] || problem "the state file is still there" || ok=1
    stop_driver || ok=1
    return $ok
}

test_earlier_forwarding_on() {
    local ok=0
    ip netns exec "$GW" sysctl -qw net.ipv4.ip_forward=1
    start_driver
    drive install || ok=1
    ip netns exec "$GW" nft list chain inet tarnix forward | grep -q unrouted &&
        problem "routing between other adapters was stopped although it was on" && ok=1
    # The end of the input ends the driver, which removes the firewall on its way out.
    stop_driver || problem "the driver did not exit" || ok=1
    expect "tables after the driver exited" 0 "$(tables tarnix)" || ok=1
    expect "forwarding given back" 1 "$(forwarding)" || ok=1
    ip netns exec "$GW" sysctl -qw net.ipv4.ip_forward=0
    return $ok
}

test_without_capability() {
    local ok=0 got
    got=$(echo install | ip netns exec "$GW" capsh --drop=cap_net_admin -- \
        -c "exec $PROBE --state-dir $STATE" 2>&1)
    echo "  driver without cap_net_admin: $got"
    expect "answer" "error .*cap_net_admin.*" "$got" || ok=1
    expect "tables" 0 "$(tables tarnix)" || ok=1
    expect "forwarding" 0 "$(forwarding)" || ok=1
    [ ! -e "$STATE/ip_forward.before" ] || problem "a state file was written" || ok=1
    return $ok
}

step "install: one table inet tarnix, forwarding on, earlier value kept" test_install
step "unpaid: port 80 captured, 443 reset, UDP 443 refused, the rest dropped" test_unpaid
step "the gateway's own ports: 53, 67 and 8080 only, from the LAN only" test_gateway_ports
step "walled garden: TCP 443 forwarded for an unpaid client" test_garden
step "a pair with another hardware address does not pay for the client" test_wrong_pair
step "paid: every port forwarded and masqueraded" test_paid
step "counters grow with forwarded traffic" test_counters
step "removal stops an open connection at once, conntrack entries gone" test_removal_stops_flows
step "a 2-second allowance ends an open connection when it runs out" test_expiry_stops_flows
step "an open connection carries nothing either way once the allowance ran out" \
    test_expiry_stops_both_ways
step "remove: no table, forwarding back off, other tables untouched" test_remove
step "after a SIGKILLed run: one table, and forwarding still given back" test_after_sigkill
step "forwarding that was on stays on" test_earlier_forwarding_on
step "without cap_net_admin: install fails with the reason, nothing changed" test_without_capability

if [ -s "$WORK_DIR/driver.err" ]; then
    echo "driver's standard error:"
    cat "$WORK_DIR/driver.err"
fi
if [ "$FAILURES" -ne 0 ]; then
    echo "$FAILURES step(s) failed"
    exit 1
fi
echo "all steps passed"
