#!/bin/bash
# The real gateway under load in the lab network:
#  1. Slow connections, each trickling a request head one byte per second: one address holds at
#     most 64 slots (more are closed at once while other clients are served); 300 of them from
#     five addresses hold every slot (a 301st connection is closed at once) until the head
#     deadline, 10 s, cuts them off; once they fall silent the housekeeping tick frees their
#     slots within the idle limit, and once they go away their slots are free at once.
#  2. 20,000 short connections in a row leave no descriptors and no memory behind.
#  3. A flood of malformed DHCP datagrams and DISCOVERs from 1,000 hardware addresses does not
#     keep a real client from its lease, nor the gateway from serving; DECLINEs from hosts it
#     never offered anything do not empty the pool.
# Resident memory and descriptor counts come from /proc of the gateway's process.
set -uo pipefail

. "$(dirname "$0")/require_root.sh"
require_root

require_tools ip ss python3 timeout busybox curl
GATEWAY="${TARNIX_BUILD_DIR:?TARNIX_BUILD_DIR is not set}/tarnix-gateway"
[ -x "$GATEWAY" ] || { echo "FAIL: no gateway program at $GATEWAY"; exit 1; }
HERE=$(cd "$(dirname "$0")" && pwd)

# shellcheck source=../../lab/lab.sh
. "$HERE/../../lab/lab.sh"

# One slow host speaks for five clients, each with its address (outside the DHCP pool).
SLOW_ADDRS=(192.168.11.20 192.168.11.22 192.168.11.23 192.168.11.24 192.168.11.25)
GOOD_ADDR=192.168.11.21
MAC_SLOW=02:00:00:00:21:01
MAC_GOOD=02:00:00:00:21:02
MAC_FLOOD=02:00:00:00:21:03
MAC_DH=02:00:00:00:21:04
MAC_DH2=02:00:00:00:21:05
WPAD_URL="$LAB_PROXY/wpad"
SLOTS=300
PER_CLIENT=64
RSS_LIMIT_KIB=$((64 * 1024))
RSS_GROWTH_LIMIT_KIB=2048
# Idle limit 8.64 s plus one housekeeping period of 2.5 s, plus a margin for a loaded machine.
FREED_WITHIN_S=13
EARLIEST_FREE_MS=6500
# A head must be whole 10 s after the connection; the tick that notices comes within 2.5 s.
CUT_EARLIEST_MS=9000
CUT_LATEST_MS=15000


gateway_rss() { lab_proc_rss_kib "$LAB_GATEWAY_PID"; }
gateway_fds() { lab_proc_fd_count "$LAB_GATEWAY_PID"; }
proxy_slots() { lab_established gw '( sport = :8080 )'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f MiB", k / 1024 }'; }

# wpad_probe [HOST [CURL-OPTIONS...]]: one request for the auto-config script, by default from
# the well-behaved client. Leaves "served", "closed" (no reply: the connection was closed or
# reset) or "other:..." in PROBE_RESULT and the milliseconds it took in PROBE_MS.
PROBE_MS=0
PROBE_RESULT=""
wpad_probe() {
    local file="$LAB_DIR/probe.out" host=${1:-good} start code
    shift $(($# > 0))
    start=$(now_ms)
    code=$(lab_in "$host" curl -sS --max-time 3 --noproxy '*' "$@" -o "$file" \
        -w '%{http_code}' "$WPAD_URL" 2> "$file.err")
    PROBE_MS=$(($(now_ms) - start))
    if [ "$code" = 200 ] && grep -q FindProxyForURL "$file"; then
        PROBE_RESULT=served
    elif [ "$code" = 000 ] && grep -q 'Empty reply\|reset\|Recv failure' "$file.err"; then
        PROBE_RESULT=closed
    else
        PROBE_RESULT="other:$code:$(tr '\n' ' ' < "$file.err")"
    fi
}

# slow_value KEY: a number from the slow clients' status line.
slow_value() { sed -n "s/.*\b$1=\([0-9]*\).*/\1/p" "$LAB_DIR/slow.status" 2> /dev/null; }
slow_opened_all() { [ "$(slow_value opened)" = "$SLOW_COUNT" ]; }
slow_closed_by_gateway() { [ "$(slow_value closed_by_peer)" = "${1:-$SLOW_COUNT}" ]; }
slots_at() { [ "$(proxy_slots)" -eq "$1" ]; }
# slots_by_address: how many proxy connections each client address holds, on one line.
slots_by_address() {
    lab_in gw ss -Htn state established '( sport = :8080 )' | awk '{sub(/:[0-9]+$/, "", $4);
        print $4}' | sort | uniq -c | awk '{printf "%s%s %d", sep, $2, $1; sep = ", "}'
}

# start_slow_clients COUNT [ADDRESS...]: COUNT slow connections from the slow host, spread over
# the addresses (all five by default); every one opened.
SLOW_PID=""
SLOW_COUNT=0
start_slow_clients() {
    local sources
    SLOW_COUNT=$1
    shift
    sources=$(IFS=,; echo "${*:-${SLOW_ADDRS[*]}}")
    rm -f "$LAB_DIR/slow.status"
    # Started directly (not through a function), so that the PID is the program's own.
    ip netns exec "${LAB_NS[slow]}" python3 "$HERE/slow_client_peer.py" --host "$LAB_GW_LAN" \
        --port 8080 --count "$SLOW_COUNT" --source "$sources" --status "$LAB_DIR/slow.status" \
        --max-seconds 90 >> "$LAB_DIR/slow.out" 2>&1 &
    SLOW_PID=$!
    lab_track "$SLOW_PID"
    lab_wait 20 slow_opened_all ||
        problem "the slow clients opened $(slow_value opened) of $SLOW_COUNT connections" \
            "($(slow_value failed) failed)"
}

stop_slow_clients() {
    [ -n "$SLOW_PID" ] || return 0
    kill -TERM "$SLOW_PID" 2> /dev/null
    local i
    for ((i = 0; i < 150; i++)); do
        kill -0 "$SLOW_PID" 2> /dev/null || break
        sleep 0.1
    done
    lab_stop "$SLOW_PID"
    SLOW_PID=""
}

# expect_refused WHAT [HOST [CURL-OPTIONS...]]: a request (the well-behaved client's unless
# told) is closed at once, unanswered.
expect_refused() {
    local what=$1
    shift
    wpad_probe "$@"
    [ "$PROBE_RESULT" = closed ] && [ "$PROBE_MS" -lt 1500 ] ||
        problem "$what gave '$PROBE_RESULT' after $PROBE_MS ms, expected it closed at once" ||
        return 1
    echo "  $what was closed after $PROBE_MS ms, unanswered"
}

# served_within SECONDS: probes every 0.25 s until the well-behaved client is served; the
# milliseconds until then are left in SERVED_AFTER_MS.
SERVED_AFTER_MS=0
served_within() {
    local limit_ms=$(($1 * 1000)) start i
    start=$(now_ms)
    for ((i = 0; i < $1 * 8; i++)); do
        wpad_probe
        SERVED_AFTER_MS=$(($(now_ms) - start))
        [ "$PROBE_RESULT" = served ] && return 0
        [ "$SERVED_AFTER_MS" -gt "$limit_ms" ] && break
        sleep 0.25
    done
    problem "the well-behaved client was not served within $1 s (last: $PROBE_RESULT)"
}

one_address_holds_its_share() {
    local one=${SLOW_ADDRS[0]} extra=6
    start_slow_clients $((PER_CLIENT + extra)) "$one" || { stop_slow_clients; return 1; }
    lab_wait 5 slow_closed_by_gateway "$extra" && slots_at "$PER_CLIENT" ||
        problem "of $((PER_CLIENT + extra)) connections from $one the gateway closed $(
            slow_value closed_by_peer) and holds $(proxy_slots), expected $extra and $PER_CLIENT" ||
        { stop_slow_clients; return 1; }
    [ "$(slow_value cut_max_ms)" -lt 1500 ] ||
        problem "the last of the $extra was closed $(slow_value cut_max_ms) ms after" \
            "connecting, not at once" || { stop_slow_clients; return 1; }
    echo "  $one holds $(proxy_slots) slots; its other $extra connections were closed within" \
        "$(slow_value cut_max_ms) ms"
    expect_refused "another connection from $one" slow --interface "$one" ||
        { stop_slow_clients; return 1; }
    wpad_probe
    [ "$PROBE_RESULT" = served ] ||
        problem "the well-behaved client was not served: $PROBE_RESULT" ||
        { stop_slow_clients; return 1; }
    echo "  the well-behaved client ($GOOD_ADDR) was served meanwhile, in $PROBE_MS ms"
    stop_slow_clients
    lab_wait 5 slots_at 0 || problem "$(proxy_slots) proxy connections left"
}

SLOW_START=0
slow_clients_hold_every_slot() {
    local rss_before rss_full
    rss_before=$(gateway_rss)
    SLOW_START=$(now_ms)
    start_slow_clients "$SLOTS" || { stop_slow_clients; return 1; }
    lab_wait 5 slots_at "$SLOTS" ||
        problem "the gateway holds $(proxy_slots) proxy connections, expected $SLOTS" ||
        { stop_slow_clients; return 1; }
    # Asked first: in 10 s the head deadline frees the slots.
    expect_refused "the 301st connection" || { stop_slow_clients; return 1; }
    rss_full=$(gateway_rss)
    echo "  $SLOTS slow connections hold $(proxy_slots) proxy slots ($(slots_by_address));" \
        "gateway RSS $(mib "$rss_before") before, $(mib "$rss_full") with every slot taken"
    [ "$(slow_value closed_by_peer)" = 0 ] ||
        problem "$(slow_value closed_by_peer) slow connections were closed already" ||
        { stop_slow_clients; return 1; }
    RSS_PEAK=$(gateway_rss)
    [ "$RSS_PEAK" -le "$RSS_LIMIT_KIB" ] ||
        problem "gateway RSS $(mib "$RSS_PEAK") is above $(mib "$RSS_LIMIT_KIB")" ||
        { stop_slow_clients; return 1; }
}

# They go on trickling, yet no head is whole 10 s after its connection: all are cut off then,
# and not before.
trickled_heads_cut_off() {
    local rc=0 first last
    [ -n "$SLOW_PID" ] || { problem "no slow clients from the step before"; return 1; }
    if ! lab_wait $((CUT_LATEST_MS / 1000 + 5)) slow_closed_by_gateway; then
        problem "the gateway closed $(slow_value closed_by_peer) of $SLOTS trickling" \
            "connections within $(($(now_ms) - SLOW_START)) ms of their start"
        stop_slow_clients
        return 1
    fi
    first=$(slow_value cut_min_ms)
    last=$(slow_value cut_max_ms)
    echo "  the gateway closed all $SLOTS trickling connections $first to $last ms after each" \
        "connected ($(slow_value bytes) bytes sent, silent=$(slow_value silent))"
    [ "$first" -ge "$CUT_EARLIEST_MS" ] ||
        problem "one was closed after $first ms, before the head deadline" || rc=1
    [ "$last" -le "$CUT_LATEST_MS" ] ||
        problem "one was closed only after $last ms, expected within $CUT_LATEST_MS" || rc=1
    served_within 3 || rc=1
    [ "$rc" -eq 0 ] && echo "  then the well-behaved client was served in $SERVED_AFTER_MS ms"
    stop_slow_clients
    return "$rc"
}

silent_slots_freed_by_housekeeping() {
    local rc=0
    start_slow_clients "$SLOTS" && lab_wait 5 slots_at "$SLOTS" ||
        problem "the slow clients hold $(proxy_slots) slots" || { stop_slow_clients; return 1; }
    # They fall silent at once: the housekeeping tick closes them once the idle limit has
    # passed (the head deadline, a little later, would too).
    kill -USR1 "$SLOW_PID" || { problem "the slow clients are gone"; return 1; }
    served_within "$FREED_WITHIN_S" || rc=1
    [ "$rc" -eq 0 ] && echo "  served ${SERVED_AFTER_MS} ms after the slow clients fell silent"
    # Each sent its last byte at most about a second before falling silent (more on a busy
    # machine): a slot freed well before the idle limit means the gateway closes clients that
    # are not idle.
    [ "$rc" -ne 0 ] || [ "$SERVED_AFTER_MS" -ge "$EARLIEST_FREE_MS" ] ||
        problem "served after $SERVED_AFTER_MS ms: slots were freed before the idle limit" ||
        rc=1
    lab_wait 5 slow_closed_by_gateway ||
        problem "only $(slow_value closed_by_peer) of $SLOTS silent clients were closed" || rc=1
    [ "$rc" -eq 0 ] && echo "  the gateway closed all $SLOTS silent slow clients"
    stop_slow_clients
    return "$rc"
}

departed_slots_free_at_once() {
    start_slow_clients "$SLOTS" && lab_wait 5 slots_at "$SLOTS" ||
        problem "the slow clients hold $(proxy_slots) slots" || { stop_slow_clients; return 1; }
    expect_refused "full again: the 301st connection" || { stop_slow_clients; return 1; }
    stop_slow_clients
    served_within 3 || return 1
    echo "  served ${SERVED_AFTER_MS} ms after the slow clients closed their connections"
    lab_wait 5 slots_at 0 || problem "$(proxy_slots) proxy connections left" || return 1
    local rss
    rss=$(gateway_rss)
    echo "  gateway RSS $(mib "$rss") (peak with 300 slots $(mib "$RSS_PEAK"))"
    [ "$rss" -le "$RSS_LIMIT_KIB" ] || problem "RSS above $(mib "$RSS_LIMIT_KIB")"
}

# fds_settled LIMIT: the gateway holds at most LIMIT descriptors.
fds_settled() { [ "$(gateway_fds)" -le "$1" ]; }

# churn COUNT: short connections from the well-behaved client; the summary in CHURN_LINE.
CHURN_LINE=""
churn() {
    CHURN_LINE=$(lab_in good timeout 75 python3 "$HERE/conn_churn_peer.py" --host "$LAB_GW_LAN" \
        --port 8080 --count "$1" --parallel 4 --max-seconds 60 2>&1)
}

short_connections_leave_nothing() {
    local fds_start fds_base rss_base fds_after rss_after start grew
    fds_start=$(gateway_fds)
    churn 1000 || problem "warm-up: $CHURN_LINE" || return 1
    echo "  warm-up: $(head -n 1 <<< "$CHURN_LINE")"
    # Slots are trimmed by the housekeeping tick; the level it settles at is the baseline.
    lab_wait 5 slots_at 0
    sleep 3
    fds_base=$(gateway_fds)
    rss_base=$(gateway_rss)
    echo "  baseline: $fds_base descriptors (before the warm-up $fds_start)," \
        "RSS $(mib "$rss_base")"
    start=$(now_ms)
    churn 20000 || problem "20,000 connections: $CHURN_LINE" || return 1
    echo "  20,000 connections: $(head -n 1 <<< "$CHURN_LINE")"
    echo "  right after: $(gateway_fds) descriptors, RSS $(mib "$(gateway_rss)")"
    lab_wait 15 fds_settled $((fds_base + 2)) ||
        problem "$(gateway_fds) descriptors 15 s after the run, baseline $fds_base:" \
            "$(find "/proc/$LAB_GATEWAY_PID/fd" -mindepth 1 -printf '%l\n' | sed 's/:.*//' |
                sort | uniq -c | sort -rn | head -n 5 | tr '\n' ';')" || return 1
    sleep 3
    fds_after=$(gateway_fds)
    rss_after=$(gateway_rss)
    grew=$((rss_after - rss_base))
    echo "  afterwards: $fds_after descriptors (baseline $fds_base), RSS $(mib "$rss_after")" \
        "(grew by $grew KiB)"
    [ "$fds_after" -le $((fds_base + 2)) ] ||
        problem "descriptors rose from $fds_base to $fds_after" || return 1
    [ "$grew" -le "$RSS_GROWTH_LIMIT_KIB" ] ||
        problem "resident memory grew by $grew KiB, more than $RSS_GROWTH_LIMIT_KIB KiB"
}

lease_ip() { lab_lease_value "$LAB_DIR/dh.udhcpc.lease" ip; }

DH_IP=""
lease_during_dhcp_flood() {
    local flood_pid start bound_ms flood_running=no rc=0 code=0
    ip netns exec "${LAB_NS[flood]}" timeout 40 python3 "$HERE/dhcp_flood_peer.py" --iface eth0 \
        --garbage 10000 --discovers 1000 --seconds 10 > "$LAB_DIR/flood.out" 2>&1 &
    flood_pid=$!
    lab_track "$flood_pid"
    sleep 1
    start=$(now_ms)
    lab_udhcpc dh || code=$?
    bound_ms=$(($(now_ms) - start))
    kill -0 "$flood_pid" 2> /dev/null && flood_running=yes
    wait "$flood_pid"
    echo "  flood: $(head -n 1 "$LAB_DIR/flood.out") $(tail -n 1 "$LAB_DIR/flood.out")"
    DH_IP=$(lease_ip)
    if [ "$code" -ne 0 ] || [ -z "$DH_IP" ]; then
        problem "udhcpc got no lease during the flood (exit $code):" \
            "$(tail -n 5 "$LAB_DIR/dh.udhcpc.log")"
        rc=1
    else
        echo "  udhcpc obtained $DH_IP after $bound_ms ms; flood still running then: $flood_running"
        [[ $DH_IP =~ ^192\.168\.11\.([0-9]+)$ ]] && ((BASH_REMATCH[1] >= 100 &&
            BASH_REMATCH[1] <= 254)) || problem "$DH_IP is outside the pool" || rc=1
        [ "$flood_running" = yes ] ||
            problem "the lease came only after the flood had ended ($bound_ms ms)" || rc=1
    fi
    gateway_alive_and_serving || rc=1
    return "$rc"
}

# The lease runs, so the flood of new addresses must not have taken the client's number.
lease_kept_after_flood() {
    [ -n "$DH_IP" ] || problem "no lease from the step before" || return 1
    lab_udhcpc dh -r "$DH_IP" ||
        problem "udhcpc could not renew: $(tail -n 5 "$LAB_DIR/dh.udhcpc.log")" || return 1
    [ "$(lease_ip)" = "$DH_IP" ] ||
        problem "asked for $DH_IP again and got '$(lease_ip)'" || return 1
    echo "  client dh asked for $DH_IP again and kept it"
}

# DECLINEs from hosts the gateway never offered anything, naming no address of the pool, must
# not take numbers out of use: otherwise a few hundred datagrams shut the address service for
# an hour.
declines_from_strangers_hold_nothing_back() {
    local code=0 ip
    lab_in flood timeout 20 python3 "$HERE/dhcp_flood_peer.py" --iface eth0 --garbage 0 \
        --discovers 0 --declines 300 --seconds 2 > "$LAB_DIR/declines.out" 2>&1 ||
        problem "the DECLINEs were not sent: $(cat "$LAB_DIR/declines.out")" || return 1
    echo "  sent: $(tail -n 1 "$LAB_DIR/declines.out")"
    lab_udhcpc dh2 || code=$?
    ip=$(lab_lease_value "$LAB_DIR/dh2.udhcpc.lease" ip)
    [ "$code" -eq 0 ] && [ -n "$ip" ] ||
        problem "a new client got no lease after 300 DECLINEs from unknown hosts" \
            "(udhcpc exit $code: $(tail -n 1 "$LAB_DIR/dh2.udhcpc.log"))" || return 1
    echo "  a new client obtained $ip afterwards"
}

gateway_alive_and_serving() {
    kill -0 "$LAB_GATEWAY_PID" 2> /dev/null ||
        problem "the gateway ended: $(tail -n 5 "$LAB_DIR/gateway.err")" || return 1
    wpad_probe
    [ "$PROBE_RESULT" = served ] || problem "the gateway no longer serves /wpad" || return 1
    echo "  the gateway runs and serves /wpad; RSS $(mib "$(gateway_rss)")," \
        "$(gateway_fds) descriptors"
}

SECONDS=0
RSS_PEAK=0
lab_up || { echo "FAIL: could not build the lab"; exit 1; }
if ! lab_add_client slow "$MAC_SLOW" "${SLOW_ADDRS[0]}" ||
    ! lab_add_client good "$MAC_GOOD" "$GOOD_ADDR" || ! lab_add_client flood "$MAC_FLOOD" ||
    ! lab_add_client dh "$MAC_DH" || ! lab_add_client dh2 "$MAC_DH2"; then
    echo "FAIL: could not add the clients"
    exit 1
fi
for address in "${SLOW_ADDRS[@]:1}"; do
    ip -n "${LAB_NS[slow]}" addr add "$address/24" dev eth0 ||
        { echo "FAIL: could not give the slow host $address"; exit 1; }
done
lab_start_gateway "$GATEWAY" || { echo "FAIL: the gateway did not start serving"; exit 1; }
echo "gateway PID $LAB_GATEWAY_PID: RSS $(mib "$(gateway_rss)"), $(gateway_fds) descriptors"

step "1a. one address holds at most $PER_CLIENT slots; the others are served" \
    one_address_holds_its_share
step "1b. $SLOTS slow connections from five addresses hold every slot; a 301st is closed at once" \
    slow_clients_hold_every_slot
step "1c. trickling heads are cut off by the 10 s head deadline; then others are served" \
    trickled_heads_cut_off
step "1d. once they fall silent, housekeeping frees their slots within $FREED_WITHIN_S s" \
    silent_slots_freed_by_housekeeping
step "1e. slow clients that go away free their slots at once" departed_slots_free_at_once
step "2. 20,000 short connections leave no descriptors and at most 2 MiB of memory behind" \
    short_connections_leave_nothing
step "3a. a DHCP flood (10,000 malformed, 1,000 DISCOVERs) while udhcpc obtains a lease" \
    lease_during_dhcp_flood
step "3b. the leased client keeps its number through the flood" lease_kept_after_flood
step "3c. 300 DECLINEs from unknown hosts naming no pool address leave the pool usable" \
    declines_from_strangers_hold_nothing_back
step "4. the gateway is still running and serving" gateway_alive_and_serving

echo "took $SECONDS s"
if [ "$FAILURES" -ne 0 ]; then
    echo "--- slow clients: $(tr '\n' ' ' < "$LAB_DIR/slow.out" 2> /dev/null)"
    echo "--- gateway errors (last lines):"
    tail -n 30 "$LAB_DIR/gateway.err"
    echo "FAIL: $FAILURES step(s) failed"
    exit 1
fi
echo "PASS: all steps"
