#!/bin/bash
# The real gateway against faults in the lab network:
#  1. clients that reset mid-download, an origin that resets mid-response and one that never
#     answers, while a paid client keeps browsing: it is served throughout, and every proxy
#     connection is gone afterwards;
#  2. a provider page that hangs, answers 500 or sends 10 MB (a fake provider service stands
#     in for the reference one): the gateway keeps serving, and a paid client stays paid;
#  3. a restart while clients hold leases (the gateway keeps no leases on disk): each renewing
#     client must keep its address, and no address may be handed to two clients;
#  4. the settings directory full or read-only when the gateway ends: the settings file stays
#     whole (the gateway runs in a private mount namespace with a tiny tmpfs for its settings).
set -uo pipefail

. "$(dirname "$0")/require_root.sh"
require_root

require_tools ip ss python3 timeout busybox curl unshare nsenter cmp
GATEWAY="${TARNIX_BUILD_DIR:?TARNIX_BUILD_DIR is not set}/tarnix-gateway"
[ -x "$GATEWAY" ] || { echo "FAIL: no gateway program at $GATEWAY"; exit 1; }
HERE=$(cd "$(dirname "$0")" && pwd)

# shellcheck source=../../lab/lab.sh
. "$HERE/../../lab/lab.sh"

MAC_A=02:00:00:00:31:0a
MAC_B=02:00:00:00:31:0b
MAC_C=02:00:00:00:31:0c
FAULT_PORT=81
FAULT_ORIGIN="http://origin.lab:$FAULT_PORT"
BIG_BYTES=$((50 * 1024 * 1024))
SLOTS_GONE_WITHIN_S=15
declare -A UDHCPC_PID=()


mac_hex() { echo "$1" | tr -d ':' | tr 'a-f' 'A-F'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f MiB", k / 1024 }'; }
gateway_rss() { lab_proc_rss_kib "$LAB_GATEWAY_PID"; }
proxy_slots() { lab_established gw '( sport = :8080 )'; }
origin_connections() { lab_established gw dst "$LAB_NET_ADDR"; }
no_slots_left() { [ "$(proxy_slots)" -eq 0 ] && [ "$(origin_connections)" -eq 0 ]; }

origin_page_reached() { # NAME
    lab_proxy_curl "$1" -o "$LAB_DIR/$1.origin.html" http://origin.lab/ 2> /dev/null &&
        grep -q "$LAB_ORIGIN_TEXT" "$LAB_DIR/$1.origin.html"
}

wpad_served() { # NAME
    lab_in "$1" curl -sS --max-time 5 --noproxy '*' "$LAB_PROXY/wpad" 2> /dev/null |
        grep -q FindProxyForURL
}

# serving WHEN: the auto-config script for client A and the origin for paid client B.
serving() {
    wpad_served a || problem "$1: /wpad was not served" || return 1
    origin_page_reached b ||
        problem "$1: paid client B did not get the origin's page:" \
            "$(tr '\r\n' '  ' < "$LAB_DIR/b.origin.html" 2> /dev/null | cut -c 1-200)" || return 1
    echo "  $1: /wpad served, paid client B relayed to the origin"
}

# leased NAME: starts a udhcpc that stays (renewals by SIGUSR1) and waits for its lease.
leased() {
    local name=$1
    : > "$LAB_DIR/$name.udhcpc.events"
    lab_udhcpc_start "$name"
    UDHCPC_PID[$name]=$LAB_LAST_PID
    lab_wait 20 grep -sq '^bound ' "$LAB_DIR/$name.udhcpc.events" ||
        problem "client $name got no lease: $(tail -n 3 "$LAB_DIR/$name.udhcpc.log")"
}

held_address() { # NAME: the address configured on the client's adapter
    lab_in "$1" ip -4 -o addr show dev eth0 | awk '{print $4}' | cut -d/ -f1 | head -n 1
}

provider_requests() { grep -c "^mode=$1 GET /Gateway/ProviderBanner.asp" "$LAB_DIR/provider.log"; }
provider_requests_above() { [ "$(provider_requests "$1")" -gt "$2" ]; }
provider_ends() { grep -c "^end mode=$1 " "$LAB_DIR/provider.log"; }
provider_ends_above() { [ "$(provider_ends "$1")" -gt "$2" ]; }
set_provider_mode() { echo "$1" > "$LAB_DIR/provider.mode"; }
refresh_from_a() {
    lab_proxy_curl a -o /dev/null "$LAB_PROXY/refresh" 2> /dev/null || true
}

# --- 1: faults in the traffic ---

PAGE_LOOP_STOP=""
# page_loop FILE: paid client B fetches the origin's page every 0.2 s until told to stop
# (bounded to 500 fetches and 90 s); one line per fetch: "MS_SINCE_START STATUS ok|bad".
page_loop() {
    local file=$1 start i code
    start=$(now_ms)
    for ((i = 0; i < 500; i++)); do
        [ -e "$PAGE_LOOP_STOP" ] && break
        [ $(($(now_ms) - start)) -gt 90000 ] && break
        code=$(lab_proxy_curl b --max-time 5 -o "$file.page" -w '%{http_code}' \
            http://origin.lab/ 2> /dev/null)
        if [ "$code" = 200 ] && grep -q "$LAB_ORIGIN_TEXT" "$file.page"; then
            echo "$(($(now_ms) - start)) $code ok" >> "$file"
        else
            echo "$(($(now_ms) - start)) ${code:-none} bad" >> "$file"
        fi
        sleep 0.2
    done
}

# fault_client NAME LABEL MODE ARGS...: a misbehaving client in the background; its result
# line goes to $LAB_DIR/fault.LABEL.
FAULT_PIDS=()
fault_client() {
    local name=$1 label=$2
    shift 2
    ip netns exec "${LAB_NS[$name]}" timeout 40 python3 "$HERE/fault_client_peer.py" "$@" \
        --proxy "$LAB_GW_LAN:8080" > "$LAB_DIR/fault.$label" 2>&1 &
    FAULT_PIDS+=($!)
    lab_track $!
}

fault_result() { tr '\n' ' ' < "$LAB_DIR/fault.$1" 2> /dev/null; }
fault_got() { sed -n 's/.* got=\([0-9]*\) .*/\1/p' "$LAB_DIR/fault.$1"; }

traffic_faults_while_paid_client_browses() {
    local loop_file="$LAB_DIR/b.loop" loop_pid rc=0 i label pid got fetched bad start
    PAGE_LOOP_STOP="$LAB_DIR/b.loop.stop"
    rm -f "$loop_file" "$PAGE_LOOP_STOP"
    page_loop "$loop_file" &
    loop_pid=$!
    sleep 1
    for i in 1 2 3 4 5; do
        fault_client a "reset$i" reset --url "$FAULT_ORIGIN/big" --after $((i * 1024 * 1024)) \
            --seconds 20
    done
    fault_client a full drain --url "$FAULT_ORIGIN/big" --seconds 30
    for i in 1 2; do
        fault_client a "originreset$i" drain --url "$FAULT_ORIGIN/reset" --seconds 20
        fault_client a "hang$i" giveup --url "$FAULT_ORIGIN/hang" --seconds 3
    done
    for pid in "${FAULT_PIDS[@]}"; do
        wait "$pid"
    done
    FAULT_PIDS=()
    sleep 2
    touch "$PAGE_LOOP_STOP"
    wait "$loop_pid"

    fetched=$(wc -l < "$loop_file")
    bad=$(grep -c ' bad$' "$loop_file")
    echo "  paid client B: $fetched fetches of the origin during the faults, $bad failed"
    [ "$fetched" -ge 5 ] && [ "$bad" -eq 0 ] ||
        problem "B was not served throughout:" "$(grep ' bad$' "$loop_file" | head -n 5)" ||
        rc=1

    for i in 1 2 3 4 5; do
        grep -q 'end=reset' "$LAB_DIR/fault.reset$i" ||
            problem "client reset$i never got its first $i MiB: $(fault_result "reset$i")" ||
            rc=1
    done
    echo "  5 clients reset their connections after 1..5 MiB of the 50 MiB download"
    got=$(fault_got full)
    [ "${got:-0}" -gt "$BIG_BYTES" ] && grep -q 'end=closed' "$LAB_DIR/fault.full" ||
        problem "the whole 50 MiB download did not arrive: $(fault_result full)" || rc=1
    echo "  meanwhile a client downloaded the whole 50 MiB ($got bytes with the head)"
    for i in 1 2; do
        got=$(fault_got "originreset$i")
        grep -q 'end=closed' "$LAB_DIR/fault.originreset$i" &&
            [ "${got:-0}" -gt 0 ] && [ "$got" -lt "$BIG_BYTES" ] ||
            problem "after the origin's reset the client was not closed with the part" \
                "sent: $(fault_result "originreset$i")" || rc=1
        grep -q "end=gave-up" "$LAB_DIR/fault.hang$i" ||
            problem "the client of the silent origin: $(fault_result "hang$i")" || rc=1
    done
    echo "  origin resets: the clients got $(fault_got originreset1) and" \
        "$(fault_got originreset2) bytes, then the gateway closed them"
    echo "  silent origin: the clients gave up after 3 s"

    start=$(now_ms)
    lab_wait "$SLOTS_GONE_WITHIN_S" no_slots_left ||
        problem "after $SLOTS_GONE_WITHIN_S s the gateway still holds $(proxy_slots) proxy" \
            "connections and $(origin_connections) toward the origin:" \
            "$(lab_in gw ss -Htn state established | head -n 8)" || rc=1
    [ "$rc" -eq 0 ] && echo "  no proxy or origin connection left $(($(now_ms) - start)) ms" \
        "after the faults"
    # The origin saw the gateway drop the upstream of every client that went away.
    local gone
    gone=$(grep -c '^end /\(big\|hang\).*how=peer-gone' "$LAB_DIR/fault-origin.log")
    [ "$gone" -ge 7 ] ||
        problem "the origin saw only $gone of 7 abandoned responses closed by the gateway:" \
            "$(grep '^end' "$LAB_DIR/fault-origin.log" | tr '\n' ';')" || rc=1
    echo "  gateway RSS $(mib "$(gateway_rss)")"
    return "$rc"
}

# --- 2: faults of the provider page ---

# provider_case MODE: the provider page turns MODE; A's refresh makes the gateway load it.
provider_case() {
    local mode=$1 before ends_before rc=0
    before=$(provider_requests "$mode")
    ends_before=$(provider_ends "$mode")
    set_provider_mode "$mode"
    refresh_from_a
    lab_wait 20 provider_requests_above "$mode" "$before" ||
        problem "the refresh did not make the gateway load the provider page ($mode)" ||
        return 1
    echo "  the gateway asked for the provider page ($mode)"
    serving "while the page is $mode" || rc=1
    if [ "$mode" = hang ]; then
        # A second refresh while the load hangs.
        refresh_from_a
        sleep 3
        [ "$(provider_ends hang)" -eq "$ends_before" ] ||
            problem "the hanging answer ended early" || rc=1
        serving "3 s into the hang, after a second refresh" || rc=1
        set_provider_mode 500 # releases the hanging request: the fake provider closes it
    fi
    lab_wait 40 provider_ends_above "$mode" "$ends_before" ||
        problem "the provider page in mode $mode never ended" || return 1
    echo "  provider: $(grep "^end mode=$mode " "$LAB_DIR/provider.log" | tail -n 1)"
    sleep 1
    serving "after the $mode page" || rc=1
    kill -0 "$LAB_GATEWAY_PID" 2> /dev/null || problem "the gateway ended" || return 1
    echo "  gateway RSS $(mib "$(gateway_rss)")"
    return "$rc"
}

provider_hangs() { provider_case hang; }
provider_errs() { provider_case 500; }
provider_too_big() { provider_case big; }

provider_good_again() {
    local before
    before=$(provider_requests good)
    set_provider_mode good
    refresh_from_a
    lab_wait 20 provider_requests_above good "$before" ||
        problem "the refresh did not make the gateway load the good page" || return 1
    serving "with the good page back"
}

# --- 3: a restart while clients hold leases ---

# renewed_since NAME MARK: the client's udhcpc reported a renewal or a new lease after line MARK
# of its events.
renewed_since() {
    tail -n +"$(($2 + 1))" "$LAB_DIR/$1.udhcpc.events" | grep -q '^\(renew\|bound\) '
}

b_holds_its_address() { [ "$(held_address b)" = 192.168.11.101 ]; }

restart_keeps_leases() {
    local mark code=0 b_event c_ip a_ip b_ip rc=0
    [ "$(held_address a)" = 192.168.11.100 ] && [ "$(held_address b)" = 192.168.11.101 ] ||
        problem "before the restart A holds '$(held_address a)', B '$(held_address b)'" \
            "(expected .100 and .101)" || return 1
    # The allowance feed lists nobody, so that only DHCP tells the gateway about A and B: a
    # feed naming them makes the gateway number them at its start, in the feed's order.
    set_provider_mode nobody
    lab_stop_gateway || code=$?
    echo "  gateway ended on SIGTERM with exit code $code; started again"
    lab_start_gateway "$GATEWAY" || problem "the gateway did not start again" || return 1
    # B renews first: a unicast REQUEST for 192.168.11.101.
    mark=$(wc -l < "$LAB_DIR/b.udhcpc.events")
    kill -USR1 "${UDHCPC_PID[b]}"
    lab_wait 25 renewed_since b "$mark"
    # The client script reports the renewal before it has set the address up again.
    lab_wait 5 b_holds_its_address || true
    b_event=$(tail -n +"$((mark + 1))" "$LAB_DIR/b.udhcpc.events" | paste -sd ,)
    b_ip=$(held_address b)
    echo "  B's client after its renewal: events '$b_event' -> holds '$b_ip'"
    lab_udhcpc c || problem "client C got no lease: $(tail -n 3 "$LAB_DIR/c.udhcpc.log")" ||
        rc=1
    c_ip=$(lab_lease_value "$LAB_DIR/c.udhcpc.lease" ip)
    a_ip=$(held_address a)
    echo "  now A holds '$a_ip' (not renewed yet), B '$b_ip', new client C was given '$c_ip'"
    [ "$b_ip" = 192.168.11.101 ] ||
        problem "GATEWAY FAULT: B lost 192.168.11.101 on its renewal after the restart" || rc=1
    local dupes holder=B
    dupes=$(printf '%s\n' "$a_ip" "$b_ip" "$c_ip" | grep . | sort | uniq -d | paste -sd ' ')
    [ -z "$dupes" ] || problem "GATEWAY FAULT: $dupes handed to two clients at once" || rc=1
    [ "$c_ip" = 192.168.11.100 ] && holder=A
    [ "$c_ip" != 192.168.11.100 ] && [ "$c_ip" != 192.168.11.101 ] ||
        problem "GATEWAY FAULT: new client C was given $c_ip, still leased to $holder" || rc=1
    # A renews in turn: its lease runs, so it keeps its address too.
    mark=$(wc -l < "$LAB_DIR/a.udhcpc.events")
    kill -USR1 "${UDHCPC_PID[a]}"
    lab_wait 25 renewed_since a "$mark"
    a_ip=$(held_address a)
    echo "  then A renews: events '$(tail -n +"$((mark + 1))" "$LAB_DIR/a.udhcpc.events" |
        paste -sd ,)' -> A holds '$a_ip', B '$(held_address b)', C '$c_ip'"
    [ "$a_ip" = 192.168.11.100 ] ||
        problem "GATEWAY FAULT: A lost 192.168.11.100 on its renewal after the restart" \
            "(now '$a_ip')" || rc=1
    return "$rc"
}

# --- 4: the settings directory full or read-only at unload ---

# The gateway in a mount namespace of its own, where its settings directory is a 64 KiB tmpfs;
# the wrapper keeps the namespace until the gateway has ended, then copies out what is left.
# shellcheck disable=SC2016 # expanded by the wrapper
SETTINGS_WRAPPER='
dir=$1 out=$2 binary=$3 id=$4 pwd=$5
mount -t tmpfs -o size=64k,nr_inodes=64,mode=700 tarnix-settings "$dir" ||
    { echo "cannot mount a tmpfs on $dir" > "$out/wrapper.err"; exit 3; }
umask 077
printf "[Setup]\nProviderID=%s\nProviderPWD=%s\n" "$id" "$pwd" > "$dir/Tarnix.ini"
cp "$dir/Tarnix.ini" "$out/before.ini"
TARNIX_INI="$dir/Tarnix.ini" "$binary" > "$out/gateway.out" 2> "$out/gateway.err" &
echo $! > "$out/gateway.pid"
wait $!
echo $? > "$out/gateway.rc"
cp "$dir/Tarnix.ini" "$out/after.ini" 2> /dev/null
ls -A "$dir" > "$out/after.ls"
'

gateway_serving_now() { lab_listening gw -lnu 67 && lab_listening gw -lnt 8080; }

# settings_case CASE: full, readonly or writable. Leaves the verdict in SETTINGS_LINE.
SETTINGS_LINE=""
settings_case() {
    local case=$1 dir="$LAB_DIR/settings-$1" out="$LAB_DIR/settings-$1.out" wrapper gw i
    mkdir -p "$dir" "$out"
    ip netns exec "${LAB_NS[gw]}" env QT_QPA_PLATFORM=offscreen \
        XDG_RUNTIME_DIR="$LAB_DIR/xdg-runtime" TARNIX_PROVIDER_HOST="$LAB_PROVIDER_HOST" \
        TARNIX_WHITELIST="$LAB_WHITELIST" unshare -m --propagation private \
        bash -c "$SETTINGS_WRAPPER" wrapper "$dir" "$out" "$GATEWAY" "$LAB_PROVIDER_ID" \
        "$LAB_PROVIDER_PWD" > "$out/wrapper.log" 2>&1 &
    wrapper=$!
    lab_track "$wrapper"
    lab_wait 20 test -s "$out/gateway.pid" ||
        problem "$case: the gateway did not start: $(cat "$out"/wrapper.* 2> /dev/null)" ||
        return 1
    gw=$(cat "$out/gateway.pid")
    lab_track "$gw"
    lab_wait 20 gateway_serving_now ||
        problem "$case: the gateway did not serve: $(tail -n 5 "$out/gateway.err")" || return 1
    case $case in
    full)
        nsenter -t "$gw" -m dd if=/dev/zero of="$dir/fill" bs=4096 count=64 2> /dev/null
        echo "  full: $(nsenter -t "$gw" -m df -k "$dir" | awk 'NR == 2 {print $4}') KiB" \
            "free in the settings directory"
        ;;
    readonly)
        nsenter -t "$gw" -m mount -o remount,ro "$dir" ||
            problem "could not make the settings directory read-only" || return 1
        ;;
    esac
    kill -TERM "$gw"
    for ((i = 0; i < 150; i++)); do
        kill -0 "$wrapper" 2> /dev/null || break
        sleep 0.1
    done
    if kill -0 "$wrapper" 2> /dev/null; then
        lab_stop "$gw"
        lab_stop "$wrapper"
        problem "$case: the gateway did not end within 15 s of SIGTERM" || return 1
    fi
    wait "$wrapper" 2> /dev/null
    SETTINGS_LINE="$case: exit code $(cat "$out/gateway.rc" 2> /dev/null), files left:"
    SETTINGS_LINE+=" $(tr '\n' ' ' < "$out/after.ls" 2> /dev/null)"
}

# settings_whole CASE: after the unwritable unload the file is as it was, with no stray
# temporary file beside it.
settings_whole() {
    local case=$1 out="$LAB_DIR/settings-$1.out" stray was now
    settings_case "$case" || return 1
    echo "  $SETTINGS_LINE"
    [ -f "$out/after.ini" ] || problem "$case: the settings file is gone" || return 1
    was=$(wc -c < "$out/before.ini")
    now=$(tr '\n' '|' < "$out/after.ini" | sed 's/PWD=[^|]*/PWD=***/')
    cmp -s "$out/before.ini" "$out/after.ini" ||
        problem "$case: the settings file changed from $was bytes to '$now'" || return 1
    # ip_forward.before is the firewall's record of forwarding, kept when it cannot be removed.
    stray=$(grep -v '^\(Tarnix\.ini\|fill\|ip_forward\.before\)$' "$out/after.ls" | tr '\n' ' ')
    [ -z "$stray" ] || problem "$case: stray files left beside it: $stray" || return 1
    echo "  $case: the settings file is whole, byte for byte as before"
}

settings_saved_when_writable() {
    local out="$LAB_DIR/settings-writable.out"
    settings_case writable || return 1
    echo "  $SETTINGS_LINE"
    # The save at unload adds the AutoHide entry: proof that the cases above were written to.
    grep -qx 'AutoHide=' "$out/after.ini" && grep -qx "ProviderID=$LAB_PROVIDER_ID" \
        "$out/after.ini" ||
        problem "the unload wrote no settings: $(cat -A "$out/after.ini" | tr '\n' ' ')" ||
        return 1
    echo "  writable: saved at unload:" \
        "$(tr '\n' ' ' < "$out/after.ini" | sed 's/PWD=[^ ]*/PWD=***/')"
}
settings_full() { settings_whole full; }
settings_readonly() { settings_whole readonly; }

SECONDS=0
lab_up || { echo "FAIL: could not build the lab"; exit 1; }
lab_start_origin || { echo "FAIL: the web origin did not start"; exit 1; }
lab_net_start fault-origin python3 "$HERE/fault_origin_peer.py" --listen "$LAB_NET_ADDR" \
    --port "$FAULT_PORT"
lab_wait 15 lab_listening_at net "$LAB_NET_ADDR" "$FAULT_PORT" ||
    { echo "FAIL: the fault origin did not start: $(cat "$LAB_DIR/fault-origin.log")"; exit 1; }
set_provider_mode good
lab_net_start provider python3 "$HERE/fake_provider_peer.py" --listen "$LAB_PROVIDER_ADDR" \
    --port 80 --mode-file "$LAB_DIR/provider.mode" --allow "$(mac_hex $MAC_A),$(mac_hex $MAC_B)"
lab_wait 15 lab_listening_at net "$LAB_PROVIDER_ADDR" 80 ||
    { echo "FAIL: the fake provider did not start: $(cat "$LAB_DIR/provider.log")"; exit 1; }
for client in a:$MAC_A b:$MAC_B c:$MAC_C; do
    lab_add_client "${client%%:*}" "${client#*:}" ||
        { echo "FAIL: could not add client $client"; exit 1; }
done
lab_start_gateway "$GATEWAY" || { echo "FAIL: the gateway did not start serving"; exit 1; }
if ! leased a || ! leased b; then
    echo "FAIL: clients A and B got no leases"
    exit 1
fi
echo "A holds $(held_address a), B holds $(held_address b); both listed by the provider page"
lab_wait 20 origin_page_reached b || { echo "FAIL: paid client B cannot browse"; exit 1; }
echo "gateway PID $LAB_GATEWAY_PID: RSS $(mib "$(gateway_rss)")"

step "1. resets and a silent origin: paid B served throughout, no connection left after" \
    traffic_faults_while_paid_client_browses
step "2a. the provider page hangs: the gateway keeps serving" provider_hangs
step "2b. the provider page answers 500: the gateway keeps serving, B stays paid" provider_errs
step "2c. the provider page is 10 MB: the gateway keeps serving, B stays paid" provider_too_big
step "2d. the provider page is good again" provider_good_again
step "3. restart with leases held: B then A renew and keep .101 and .100; C gets neither" \
    restart_keeps_leases
lab_stop_gateway > /dev/null
step "4a. settings directory writable at unload: the settings are saved" \
    settings_saved_when_writable
step "4b. settings directory full at unload: the settings file stays whole" settings_full
step "4c. settings directory read-only at unload: the settings file stays whole" \
    settings_readonly

echo "took $SECONDS s"
if [ "$FAILURES" -ne 0 ]; then
    echo "--- fake provider log (last lines):"
    tail -n 12 "$LAB_DIR/provider.log"
    echo "--- gateway errors (last lines):"
    tail -n 20 "$LAB_DIR/gateway.err"
    echo "FAIL: $FAILURES step(s) failed"
    exit 1
fi
echo "PASS: all steps"
