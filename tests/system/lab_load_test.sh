#!/bin/bash
# The real gateway under load in the lab, resident memory and descriptors read from /proc:
#  1. 300 slow connections from five addresses, each trickling a request head one byte a second,
#     hold every slot (a 301st is closed at once) until the head deadline, 10 s, cuts them off;
#  2. 20,000 short connections in a row leave no descriptors and no memory behind.
# (A client's share of the slots, and the same limits on a fake clock: the in-process tests.)
set -u
. "$(dirname "$0")/scenario.sh"

scenario
SLOW_ADDRS=(192.168.11.20 192.168.11.22 192.168.11.23 192.168.11.24 192.168.11.25)
RSS_LIMIT_KIB=$((64 * 1024))
setup "the slow host" lab_add_client slow 02:00:00:00:21:01 "${SLOW_ADDRS[0]}"
for address in "${SLOW_ADDRS[@]:1}"; do
    setup "the slow host's $address" ip -n "${LAB_NS[slow]}" addr add "$address/24" dev eth0
done
setup "the well-behaved client" lab_add_client good 02:00:00:00:21:02 192.168.11.21
setup "the gateway" lab_start_gateway "$GATEWAY"

rss() { lab_proc_rss_kib "$LAB_GATEWAY_PID"; }
fds() { lab_proc_fd_count "$LAB_GATEWAY_PID"; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f MiB", k / 1024 }'; }
slots_at() { [ "$(lab_established gw '( sport = :8080 )')" -eq "$1" ]; }
slow_value() { sed -n "s/.*\b$1=\([0-9]*\).*/\1/p" "$LAB_DIR/slow.status" 2> /dev/null; }
slow_cut() { [ "$(slow_value closed_by_peer)" = "$1" ]; }

# probe: one request for /wpad from the well-behaved client: "served", "closed" (no reply: the
# connection was closed or reset) or "other ..." in PROBE, its milliseconds in PROBE_MS.
probe() {
    local file="$LAB_DIR/probe.out" start code
    start=$(now_ms)
    code=$(lab_device_curl good --max-time 3 -o "$file" -w '%{http_code}' "$LAB_PROXY/wpad" \
        2> "$file.err")
    PROBE_MS=$(($(now_ms) - start))
    PROBE="other $code $(cat "$file.err")"
    [ "$code" != 200 ] || ! grep -q FindProxyForURL "$file" || PROBE=served
    [ "$code" != 000 ] || ! grep -q 'Empty reply\|reset\|Recv failure' "$file.err" ||
        PROBE=closed
}
served() { probe && [ "$PROBE" = served ]; }

# refused_at_once WHAT: the request is closed at once, unanswered.
refused_at_once() {
    probe
    [ "$PROBE" = closed ] && [ "$PROBE_MS" -lt 1500 ] ||
        problem "$1: '$PROBE' after $PROBE_MS ms, not closed at once"
}

# 300 slow connections from the five addresses of the slow host (64 at most an address); a
# head must be whole 10 s after its connection, and the housekeeping tick (every 2.5 s) that
# notices closes them then, and not before.
every_slot_taken_until_the_deadline() {
    local peak
    peer_start slow slow slow --source "$(IFS=,; echo "${SLOW_ADDRS[*]}")" \
        --status "$LAB_DIR/slow.status"
    lab_wait 20 grep -sq "opened=300 " "$LAB_DIR/slow.status" && lab_wait 5 slots_at 300 ||
        problem "the slow clients hold $(slow_value opened) slots" || return 1
    refused_at_once "the 301st connection" || return 1
    peak=$(rss)
    echo "  300 slots taken; gateway RSS $(mib "$peak")"
    [ "$(slow_value closed_by_peer)" = 0 ] && [ "$peak" -le "$RSS_LIMIT_KIB" ] ||
        problem "$(slow_value closed_by_peer) closed already; RSS $(mib "$peak")" || return 1
    lab_wait 20 slow_cut 300 ||
        problem "the gateway closed $(slow_value closed_by_peer) of 300 trickling connections" ||
        return 1
    echo "  all closed $(slow_value cut_min_ms) to $(slow_value cut_max_ms) ms after connecting"
    [ "$(slow_value cut_min_ms)" -ge 9000 ] && [ "$(slow_value cut_max_ms)" -le 15000 ] ||
        problem "expected from 9 to 15 s" || return 1
    lab_wait 3 served || problem "the well-behaved client was not served: $PROBE"
}

fds_at_most() { [ "$(fds)" -le "$1" ]; }

short_connections_leave_nothing() {
    local fds_base rss_base line
    line=$(peer good churn 1000) && lab_wait 5 slots_at 0 ||
        problem "warm-up: $line" || return 1
    fds_base=$(fds)
    rss_base=$(rss)
    line=$(peer good churn 20000) || problem "the run: $line" || return 1
    echo "  20,000 connections: $line; $fds_base descriptors before, $(fds) right after"
    [[ $line == "ok=20000 failed=0 "* ]] || problem "not all served" || return 1
    lab_wait 15 fds_at_most $((fds_base + 2)) ||
        problem "$(fds) descriptors 15 s after the run, $fds_base before" || return 1
    echo "  RSS $(mib "$rss_base") before, $(mib "$(rss)") after"
    [ $(($(rss) - rss_base)) -le 2048 ] || problem "resident memory grew by more than 2 MiB"
}

step "1. 300 slow connections hold every slot, a 301st is closed at once, until the 10 s head \
deadline cuts them off; then others are served" every_slot_taken_until_the_deadline
step "2. 20,000 short connections leave no descriptors and at most 2 MiB of memory behind" \
    short_connections_leave_nothing
step "3. the gateway is still running" gateway_runs
finish slow.log
