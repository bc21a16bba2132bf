#!/bin/bash
# The DHCP socket in a made-up network: a gateway namespace with a LAN adapter (192.168.11.1)
# and a default route out of another adapter to an "internet" namespace, and a client
# namespace without any address. The client's broadcast must reach the probe, the probe's
# broadcast replies must reach the client and must not leave towards the internet side.
set -u

. "$(dirname "$0")/require_root.sh"
require_root

PROBE="${TARNIX_BUILD_DIR:?TARNIX_BUILD_DIR is not set}/tests/tarnix-dhcp-socket-probe"
PEER="$(cd "$(dirname "$0")" && pwd)/dhcp_socket_peer.py"
for need in ip python3 timeout; do
    command -v "$need" >/dev/null || { echo "FAIL: $need is missing"; exit 1; }
done
[ -x "$PROBE" ] || { echo "FAIL: $PROBE is not built"; exit 1; }

TAG="tgw-$$-$RANDOM"
GW="$TAG-gw" CL="$TAG-cl" INET="$TAG-in"
WORK="$(mktemp -d)"
PIDS=()
FAILURES=0

cleanup() {
    for pid in "${PIDS[@]}"; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    for ns in "$GW" "$CL" "$INET"; do
        ip netns del "$ns" 2>/dev/null
    done
    rm -rf "$WORK"
}
trap cleanup EXIT

check() { # description, command...
    local what="$1"
    shift
    if "$@"; then
        echo "ok: $what"
    else
        echo "FAILED: $what"
        FAILURES=$((FAILURES + 1))
    fi
}

# Waits (at most 5 s) until the file holds the line.
wait_for_line() {
    local i
    for i in $(seq 50); do
        grep -qx "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "no '$2' in $1:"
    cat "$1"
    return 1
}

set -e
for ns in "$GW" "$CL" "$INET"; do
    ip netns add "$ns"
    ip -n "$ns" link set lo up
done
# LAN: the gateway's adapter and the client's, the client left without an address.
ip link add lan0 netns "$GW" type veth peer name eth0 netns "$CL"
ip -n "$GW" addr add 192.168.11.1/24 dev lan0
ip -n "$GW" link set lan0 up
ip -n "$CL" link set eth0 up
# Internet side, where the gateway's default route leads.
ip link add wan0 netns "$GW" type veth peer name eth0 netns "$INET"
ip -n "$GW" addr add 10.99.0.1/24 dev wan0
ip -n "$GW" link set wan0 up
ip -n "$INET" addr add 10.99.0.2/24 dev eth0
ip -n "$INET" link set eth0 up
ip -n "$GW" route add default via 10.99.0.2
set +e

# 1. A client without an address gets the probe's reply; nothing leaks to the internet side.
ip netns exec "$INET" timeout 20 python3 "$PEER" listen --timeout 15 >"$WORK/listen.log" 2>&1 &
LISTENER=$!
PIDS+=("$LISTENER")
ip netns exec "$GW" timeout 20 "$PROBE" --count 1 --timeout-ms 15000 >"$WORK/probe.log" 2>&1 &
PROBE_PID=$!
PIDS+=("$PROBE_PID")
if wait_for_line "$WORK/listen.log" ready && wait_for_line "$WORK/probe.log" bound; then
    check "client without address gets the broadcast reply on port 68" \
        ip netns exec "$CL" timeout 10 python3 "$PEER" client --dev eth0 --timeout 5
    wait "$PROBE_PID"
    check "probe answered and exited cleanly" test $? -eq 0
    # The marker follows the replies along the default route: anything before it leaked.
    ip netns exec "$GW" python3 "$PEER" send --address 10.99.0.2 --port 68 --payload marker
    wait "$LISTENER"
    check "no broadcast reply left through the internet side" test $? -eq 0
else
    check "probe and listener started" false
fi
cat "$WORK/probe.log" "$WORK/listen.log"

# 2. Bind fails where no adapter holds 192.168.11.1.
ip netns exec "$INET" timeout 10 "$PROBE" --timeout-ms 1000 >"$WORK/noadapter.log" 2>&1
check "bind fails without an adapter holding 192.168.11.1 (exit 3)" test $? -eq 3
cat "$WORK/noadapter.log"

# 3. Bind fails while another socket holds UDP port 67 on that address.
ip netns exec "$GW" timeout 20 python3 "$PEER" hold --address 192.168.11.1 --port 67 \
    --timeout 15 >"$WORK/hold.log" 2>&1 &
PIDS+=("$!")
if wait_for_line "$WORK/hold.log" ready; then
    ip netns exec "$GW" timeout 10 "$PROBE" --timeout-ms 1000 >"$WORK/taken.log" 2>&1
    check "bind fails while port 67 is taken (exit 3)" test $? -eq 3
    cat "$WORK/taken.log"
else
    check "port holder started" false
fi

if [ "$FAILURES" -ne 0 ]; then
    echo "$FAILURES check(s) failed"
    exit 1
fi
echo "all checks passed"
