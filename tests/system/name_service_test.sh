#!/bin/bash
# The gateway's name service on its own, run by its probe program in the lab's gateway host,
# with two LAN clients (A .50, B .51) resolving through 192.168.11.1 over UDP and TCP. The
# gateway host's resolv.conf names first a resolver that never answers (10.99.0.9), then "the
# Internet's DNS" (a dnsmasq on 10.99.0.2 that knows the lab's names and no others). Then: the
# walled garden's set is fed, a flood from one client, a killed dnsmasq, the stop, and the same
# service run by an unprivileged account with capabilities. (Its supervision with stand-ins for
# dnsmasq, a taken port among them, is in the in-process tests.)
set -u
. "$(dirname "$0")/scenario.sh"

scenario nft dnsmasq setpriv setcap
PROBE="$TARNIX_BUILD_DIR/tests/tarnix-name-service-probe"
[ -x "$PROBE" ] || { echo "FAIL: $PROBE is not built"; exit 1; }
SILENT=10.99.0.9
setup "the silent resolver's address" ip -n "${LAB_NS[net]}" addr add "$SILENT/24" dev eth0
# The gateway host's own view of names, which ip netns exec lays over /etc there.
printf 'nameserver %s\nnameserver %s\n' "$SILENT" "$LAB_NET_ADDR" \
    > "/etc/netns/${LAB_NS[gw]}/resolv.conf"
printf '127.0.0.1 localhost\n' > "/etc/netns/${LAB_NS[gw]}/hosts"
setup "the garden's table" eval "lab_in gw nft add table inet tarnix &&
    lab_in gw nft add set inet tarnix garden '{ type ipv4_addr; }'"
# NXDOMAIN for other names under lab and com; names under hole.lab go to the silent resolver.
lab_net_start upstream dnsmasq --keep-in-foreground --conf-file=/dev/null --pid-file= \
    --log-facility=- --no-resolv --no-hosts --listen-address="$LAB_NET_ADDR" --bind-interfaces \
    --local-ttl=300 --local=/lab/ --local=/com/ --server="/hole.lab/$SILENT" \
    --host-record=origin.lab,10.99.0.2 --host-record=pay.lab,10.99.0.7 \
    --host-record=www.pay.lab,10.99.0.8 --host-record=fresh.lab,10.99.0.10 \
    --host-record=connectivitycheck.gstatic.com,10.99.0.20
setup "the Internet's DNS" lab_wait 10 lab_listening_at net "$LAB_NET_ADDR" 53
setup "the silent resolver" server_start net silent dns-silent "$SILENT"
setup "client A" lab_add_client a 02:00:00:00:51:0a 192.168.11.50
setup "client B" lab_add_client b 02:00:00:00:51:0b 192.168.11.51
GW_NS=${LAB_NS[gw]}
# Started directly, not through a function, so that $! is the probe's own PID.
ip netns exec "$GW_NS" "$PROBE" --garden pay.lab > "$LAB_DIR/probe.out" 2> "$LAB_DIR/probe.err" &
PROBE_PID=$!
lab_track "$PROBE_PID"
setup "the name service" lab_wait 10 grep -q '^state Running' "$LAB_DIR/probe.out"
last_pid() { sed -n 's/^pid //p' "$1" | tail -n 1; }
CHILD=$(last_pid "$LAB_DIR/probe.out")
CONFIG=$(sed -n 's/^config //p' "$LAB_DIR/probe.out")

# expect_answer CLIENT NAME ANSWER [QUERY OPTIONS...]
expect_answer() {
    local got
    got=$(peer "$1" dns-query "$2" "${@:4}")
    [ "$got" = "$3" ] || problem "$2 ${4:-udp}: '$got', expected '$3'"
}
children_of() { ps -o pid= --ppid "$1" | tr -d ' '; }
in_garden() { lab_in gw nft list set inet tarnix garden | grep -qw "$1"; }
new_pid_since() { [ -n "$(last_pid "$LAB_DIR/probe.out")" ] &&
    [ "$(last_pid "$LAB_DIR/probe.out")" != "$1" ]; }
gone() { ! kill -0 "$1" 2> /dev/null; }

# Run as root, the service starts dnsmasq as its own account (Debian's dnsmasq-base makes it),
# its configuration on standard input: that account may not read the private directory.
serves_only_there() {
    local udp tcp
    [ "$(children_of "$PROBE_PID")" = "$CHILD" ] || problem "not the probe's child" || return 1
    udp=$(lab_in gw ss -Hlunp | grep "pid=$CHILD," | awk '{print $4}' | sort -u)
    tcp=$(lab_in gw ss -Hlntp | grep "pid=$CHILD," | awk '{print $4}' | sort -u)
    [ "$udp $tcp" = "$LAB_GW_LAN:53 $LAB_GW_LAN:53" ] || problem "sockets: $udp $tcp" || return 1
    [ "$(ps -o user= -p "$CHILD")" = dnsmasq ] || problem "not the dnsmasq account" || return 1
    tr '\0' ' ' < "/proc/$CHILD/cmdline" | grep -qx "/usr/sbin/dnsmasq --conf-file=- " ||
        problem "command line: $(tr '\0' ' ' < "/proc/$CHILD/cmdline")" || return 1
    [[ $CONFIG == /run/tarnix/names-*/dnsmasq.conf ]] &&
        [ "$(stat -c %a "$(dirname "$CONFIG")") $(stat -c %a "$CONFIG")" = "700 600" ] &&
        grep -qx 'nftset=/pay.lab/4#inet#tarnix#garden' "$CONFIG" ||
        problem "configuration '$CONFIG' not private or without the garden line"
}

# Android's probe host gets the Internet's answer, never the gateway's address.
feeds_the_garden() {
    expect_answer a origin.lab "NOERROR 10.99.0.2" && expect_answer a nosuch.gstatic.com \
        NXDOMAIN && expect_answer b connectivitycheck.gstatic.com "NOERROR 10.99.0.20" --tcp &&
        expect_answer a pay.lab "NOERROR 10.99.0.7" &&
        expect_answer b www.pay.lab "NOERROR 10.99.0.8" --tcp || return 1
    lab_wait 5 in_garden 10.99.0.7 && lab_wait 5 in_garden 10.99.0.8 ||
        problem "pay.lab's addresses are not in the set" || return 1
    ! in_garden 10.99.0.2 && ! in_garden 10.99.0.20 || problem "other names reached the set"
}

# While A floods and holds every TCP slot, B (a stub resolver: a second and a third try, a
# second apart) is answered from the cache.
survives_a_flood() {
    local hold flood answer _ answers=()
    peer_start a hold dns-hold --count 25
    hold=$LAB_LAST_PID
    lab_wait 10 grep -q '^held' "$LAB_DIR/hold.log"
    peer_start a flood dns-flood hole.lab --seconds 4
    flood=$LAB_LAST_PID
    lab_wait 5 grep -q 'Maximum number of concurrent DNS queries reached' "$LAB_DIR/probe.err" ||
        problem "the flood did not fill dnsmasq's forwarding table" || return 1
    for _ in 1 2 3; do
        answers+=("$(peer b dns-query origin.lab --timeout 1 --tries 3)")
    done
    wait "$flood"
    lab_stop "$hold"
    echo "  flood: $(cat "$LAB_DIR/flood.log"), TCP: $(cat "$LAB_DIR/hold.log")"
    for answer in "${answers[@]}"; do
        [ "$answer" = "NOERROR 10.99.0.2" ] || problem "during the flood: '$answer'" || return 1
    done
    # A name nobody asked for yet: answered once the flood's waiting queries have timed out.
    lab_wait 30 expect_answer b fresh.lab "NOERROR 10.99.0.10" > /dev/null ||
        problem "fresh.lab not answered after the flood" || return 1
    [ "$(last_pid "$LAB_DIR/probe.out")" = "$CHILD" ] && kill -0 "$CHILD" ||
        problem "dnsmasq did not survive the flood" || return 1
    [ "$(wc -l < "$LAB_DIR/probe.err")" -lt 200 ] || problem "dnsmasq wrote over 200 lines"
}

# Its TCP processes, which hold copies of its sockets, must not keep the port from it.
comes_back_when_killed() {
    peer_start a held dns-hold --count 3
    lab_wait 10 grep -q '^held 3' "$LAB_DIR/held.log" &&
        lab_wait 5 eval '[ -n "$(children_of "$CHILD")" ]' ||
        problem "no TCP processes" || return 1
    kill -KILL "$CHILD"
    lab_wait 5 grep -qx 'state Unavailable dnsmasq ended on signal 9' "$LAB_DIR/probe.out" ||
        problem "no Unavailable state: $(cat "$LAB_DIR/probe.out")" || return 1
    lab_wait 10 new_pid_since "$CHILD" || problem "dnsmasq did not come back" || return 1
    CHILD=$(last_pid "$LAB_DIR/probe.out")
    lab_stop "$LAB_LAST_PID"
    [ "$(children_of "$PROBE_PID")" = "$CHILD" ] || problem "not the probe's dnsmasq" ||
        return 1
    expect_answer a origin.lab "NOERROR 10.99.0.2" &&
        expect_answer a origin.lab "NOERROR 10.99.0.2" --tcp
}

stops_with_the_gateway() {
    kill -TERM "$PROBE_PID"
    wait "$PROBE_PID" || problem "the probe ended with $?" || return 1
    gone "$CHILD" && [ -z "$(lab_in gw ss -Hlnup "sport = :53")" ] ||
        problem "dnsmasq $CHILD still runs, or port 53 is taken" || return 1
    [ ! -e "$(dirname "$CONFIG")" ] || problem "$(dirname "$CONFIG") is left behind"
}

# As a packaged service would run it: an ordinary account, the binary given the capabilities,
# nothing ambient; the service must hand them on to dnsmasq itself.
unprivileged_with_capabilities() {
    local plain child config
    chmod 711 "$LAB_DIR" && mkdir -m 755 "$LAB_DIR/bin" && cp "$PROBE" "$LAB_DIR/bin/probe" &&
        setcap cap_net_bind_service,cap_net_admin+ep "$LAB_DIR/bin/probe" || return 1
    lab_in gw nft flush set inet tarnix garden
    ip netns exec "$GW_NS" env -u XDG_RUNTIME_DIR setpriv --reuid=65534 --regid=65534 \
        --clear-groups "$LAB_DIR/bin/probe" --garden pay.lab > "$LAB_DIR/plain.out" \
        2> "$LAB_DIR/plain.err" &
    plain=$!
    lab_track "$plain"
    lab_wait 10 grep -q '^state Running' "$LAB_DIR/plain.out" ||
        problem "not running: $(cat "$LAB_DIR"/plain.*)" || return 1
    child=$(last_pid "$LAB_DIR/plain.out")
    config=$(sed -n 's/^config //p' "$LAB_DIR/plain.out")
    [ "$(ps -o uid= -p "$child" | tr -d ' ')" = 65534 ] &&
        grep -qx 'CapAmb:[[:space:]]*0*' "/proc/$plain/status" &&
        [ "$(stat -c %a:%u "$(dirname "$config")")" = 700:65534 ] ||
        problem "dnsmasq not unprivileged, capabilities ambient, or the directory not its own" ||
        return 1
    echo "  dnsmasq runs as 65534 with capabilities $(sed -n 's/^CapEff:\t//p' \
        "/proc/$child/status")"
    expect_answer a pay.lab "NOERROR 10.99.0.7" || return 1
    lab_wait 5 in_garden 10.99.0.7 || problem "pay.lab's address is not in the set" || return 1
    kill -TERM "$plain"
    wait "$plain" && gone "$child" || problem "the probe ended with $?, or dnsmasq runs on"
}

step "dnsmasq, the probe's child, answers on $LAB_GW_LAN:53 alone, as its own account" \
    serves_only_there
step "true answers; whitelisted names' addresses go into inet tarnix garden, no others" \
    feeds_the_garden
step "a flood, junk and held TCP slots from one client: the other is answered" survives_a_flood
step "a killed dnsmasq comes back" comes_back_when_killed
step "SIGTERM stops dnsmasq, frees port 53 and removes the configuration" stops_with_the_gateway
step "an unprivileged account with the capabilities runs it and feeds the set" \
    unprivileged_with_capabilities
finish probe.err probe.out
