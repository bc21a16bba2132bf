#!/bin/bash
# The real gateway against faults in the lab, while paid client B keeps browsing:
#  1. clients that reset mid-download, an origin that resets mid-response and one that never
#     answers: B is served throughout, and every proxy and upstream connection is gone after;
#  2. a provider page that hangs, answers 500 or sends 10 MB (a fake provider service, listing
#     A and B, stands in for the reference one): the gateway keeps serving, B stays paid;
#  3. a refresh flood: the gateway loads the provider page at most once every 5 s, yet the last
#     refresh still gets its load.
set -u
. "$(dirname "$0")/scenario.sh"

scenario
FAULT_ORIGIN="http://origin.lab:81"
MODE_FILE="$LAB_DIR/provider.mode"
echo good > "$MODE_FILE"
setup "the web origin" lab_start_origin
setup "the fault origin" server_start net fault-origin fault-origin "$LAB_NET_ADDR"
setup "the fake provider" server_start net provider fake-provider "$LAB_PROVIDER_ADDR" \
    "$MODE_FILE" --allow 02000000310A,02000000310B
setup "client A" lab_add_client a 02:00:00:00:31:0a
setup "client B" lab_add_client b 02:00:00:00:31:0b
setup "the gateway" lab_start_gateway "$GATEWAY"
setup "leases for A and B" eval "lab_udhcpc a && lab_udhcpc b"
setup "paid B browsing" lab_wait 20 lab_origin_reached b

proxy_slots() { lab_established gw '( sport = :8080 )'; }
upstreams() { lab_established gw dst "$LAB_NET_ADDR"; }
no_slots_left() { [ "$(proxy_slots)" -eq 0 ] && [ "$(upstreams)" -eq 0 ]; }
refresh_from_a() { lab_proxy_curl a -o /dev/null "$LAB_PROXY/refresh" 2> /dev/null; }

# serving WHEN: the auto-config script for A and the origin for paid B.
serving() {
    lab_device_curl a "$LAB_PROXY/wpad" | grep -q FindProxyForURL && lab_origin_reached b ||
        problem "$1: not served: $(excerpt "$LAB_DIR/b.origin.html")" || return 1
    echo "  $1: /wpad served, paid B relayed to the origin"
}

# page_loop FILE: B fetches the origin's page until FILE.stop appears (at most 500 fetches in
# 90 s), paced, one line per fetch: "ok" or "bad STATUS".
page_loop() {
    local i code end=$((SECONDS + 90))
    for ((i = 0; i < 500 && SECONDS < end; i++)); do
        [ ! -e "$1.stop" ] || break
        code=$(lab_proxy_curl b --max-time 5 -o "$1.page" -w '%{http_code}' http://origin.lab/)
        if [ "$code" = 200 ] && grep -q "$LAB_ORIGIN_TEXT" "$1.page"; then
            echo ok >> "$1"
        else
            echo "bad ${code:-none}" >> "$1"
        fi
        sleep 0.2
    done
}

# Clients that go away: five after 1 to 5 MiB of a 50 MiB download (closing with data unread:
# a reset), two that give up on the silent origin after 3 s; one takes the whole download, two
# see their origin reset after 2 MiB. Each leaves "BYTES CURL-EXIT-CODE" in fault.NAME.
traffic_faults() {
    local loop="$LAB_DIR/b.loop" loop_pid pids=() i fault name path seconds rc=0 gone
    page_loop "$loop" &
    loop_pid=$!
    lab_wait 10 test -s "$loop" || problem "B's fetches did not start" || return 1
    for i in 1 2 3 4 5; do
        lab_in a sh -c "curl -s --noproxy '' -x $LAB_PROXY $FAULT_ORIGIN/big |
            head -c $((i << 20)) | wc -c" > "$LAB_DIR/fault.reset$i" &
        pids+=($!)
    done
    for fault in full:big:30 originreset1:reset:30 originreset2:reset:30 hang1:hang:3 \
        hang2:hang:3; do
        IFS=: read -r name path seconds <<< "$fault"
        lab_proxy_curl a --max-time "$seconds" -o /dev/null -w '%{size_download} %{exitcode}' \
            "$FAULT_ORIGIN/$path" > "$LAB_DIR/fault.$name" 2> /dev/null &
        pids+=($!)
    done
    wait "${pids[@]}"
    touch "$loop.stop"
    wait "$loop_pid"
    echo "  paid B: $(wc -l < "$loop") fetches of the origin during the faults"
    [ "$(wc -l < "$loop")" -ge 5 ] && ! grep -q bad "$loop" ||
        problem "B was not served throughout: $(grep bad "$loop" | head -n 3)" || rc=1
    # curl: 18, the transfer closed with bytes outstanding; 28, time-out.
    for fault in "reset1 $((1 << 20))" "reset2 $((2 << 20))" "reset3 $((3 << 20))" \
        "reset4 $((4 << 20))" "reset5 $((5 << 20))" "full $((50 << 20)) 0" \
        "originreset1 [1-9][0-9]* 18" "originreset2 [1-9][0-9]* 18" "hang1 0 28" "hang2 0 28"; do
        [[ $(cat "$LAB_DIR/fault.${fault%% *}") =~ ^${fault#* }$ ]] ||
            problem "${fault%% *}: $(cat "$LAB_DIR/fault.${fault%% *}")" || rc=1
    done
    lab_wait 15 no_slots_left || problem "$(proxy_slots) proxy connections and $(upstreams)" \
        "upstream ones left: $(lab_in gw ss -Htn state established | head -n 8)" || rc=1
    # The origin saw the gateway drop the upstream of every client that went away.
    gone=$(grep -c '^end /\(big\|hang\).*how=peer-gone' "$LAB_DIR/fault-origin.log")
    [ "$gone" -ge 7 ] || problem "only $gone of 7 abandoned responses were closed" || rc=1
    return "$rc"
}

hang_ended() { grep -q '^end mode=hang' "$LAB_DIR/provider.log"; }

# provider_page MODE: the provider page turns MODE; A's refresh makes the gateway load it.
provider_page() {
    local mode=$1 before ends
    before=$(grep -c "^mode=$1 GET" "$LAB_DIR/provider.log")
    ends=$(grep -c "^end mode=$1 " "$LAB_DIR/provider.log")
    echo "$mode" > "$MODE_FILE"
    refresh_from_a
    lab_wait 20 above "$before" grep -c "^mode=$1 GET" "$LAB_DIR/provider.log" ||
        problem "the refresh did not make the gateway load the page ($mode)" || return 1
    serving "while the page is $mode" || return 1
    if [ "$mode" = hang ]; then
        refresh_from_a
        serving "during the hang, after a second refresh" && ! hang_ended ||
            problem "the hanging answer ended early" || return 1
        echo 500 > "$MODE_FILE" # the fake provider closes the hanging request
    fi
    lab_wait 40 above "$ends" grep -c "^end mode=$1 " "$LAB_DIR/provider.log" ||
        problem "the $mode page never ended" || return 1
    echo "  provider: $(grep "^end mode=$mode " "$LAB_DIR/provider.log" | tail -n 1)"
    [ "$mode" = good ] || serving "after the $mode page"
}

# A asks for the refresh path, one connection after another, for 12 s.
refresh_flood_spaced() {
    local before after_flood answered most=5
    before=$(provider_pages)
    answered=$(peer a churn 100000 --path "$LAB_PROXY/refresh" --seconds 12 \
        --parallel 1 --pause 0.002 --expect HTTP/1. | sed 's/ok=\([0-9]*\).*/\1/')
    after_flood=$(provider_pages)
    echo "  $answered refreshes answered; $((after_flood - before)) provider page loads"
    [ "${answered:-0}" -ge 120 ] || problem "only '$answered' refreshes: no flood" || return 1
    [ $((after_flood - before)) -ge 2 ] && [ $((after_flood - before)) -le "$most" ] ||
        problem "$((after_flood - before)) loads in 12 s, expected 2 to $most" || return 1
    lab_wait 8 above "$after_flood" provider_pages ||
        problem "no load followed the flood's last refresh" || return 1
    [ $(($(provider_pages) - before)) -le "$most" ] ||
        problem "$(($(provider_pages) - before)) loads in all, at most $most"
}

step "1. resets and a silent origin: paid B served throughout, no connection left after" \
    traffic_faults
step "2a. the provider page hangs: the gateway keeps serving" provider_page hang
step "2b. the provider page answers 500: the gateway keeps serving, B stays paid" \
    provider_page 500
step "2c. the provider page is 10 MB: the gateway keeps serving, B stays paid" provider_page big
step "2d. the provider page is good again" provider_page good
step "3. a 12 s refresh flood from A: one provider page load per 5 s, and one after it" \
    refresh_flood_spaced
step "4. the gateway is still running" gateway_runs
finish provider.log fault-origin.log
