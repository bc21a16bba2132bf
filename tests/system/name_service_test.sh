#!/bin/bash
# The name service in namespaces of its own: a gateway host (lan0 192.168.11.1 on a switched
# segment with two clients, wan0 towards the Internet side), and on the Internet side "the
# Internet's DNS" (a dnsmasq that knows the lab's names and no others) and a resolver that never
# answers, both named by the gateway host's resolv.conf. The probe runs the gateway's name
# service there; the clients resolve through 192.168.11.1 over UDP and TCP. Then: the walled
# garden's set is fed, a flood from one client, a killed dnsmasq, a second instance on the taken
# port, the stop, and the same service run by an unprivileged account with capabilities.
set -u

HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/system/netns_lib.sh
. "$HERE/netns_lib.sh"
require_root
require_tools ip nft dnsmasq python3 ss setpriv setcap
PROBE="${TARNIX_BUILD_DIR:?TARNIX_BUILD_DIR is not set}/tests/tarnix-name-service-probe"
PEER="$HERE/dns_peer.py"
[ -x "$PROBE" ] || fail "$PROBE is not built"

GW_LAN=192.168.11.1
UPSTREAM=10.99.0.2
SILENT=10.99.0.9
ETC=""

gone() { ! kill -0 "$1" 2>/dev/null; }

# The started programs end first (the probes stop their dnsmasq and remove their files); then
# whatever is left in this test's namespaces, by PID.
end_everything() {
    local pid ns
    for pid in "${STARTED_PIDS[@]}"; do
        kill -TERM "$pid" 2>/dev/null
    done
    for pid in "${STARTED_PIDS[@]}"; do
        wait_for 5 gone "$pid"
    done
    for ns in "${NAMESPACES[@]}"; do
        for pid in $(ip netns pids "$ns" 2>/dev/null); do
            kill -KILL "$pid" 2>/dev/null
        done
    done
    cleanup
    [ -z "$ETC" ] || rm -rf "$ETC"
}
trap end_everything EXIT

set -e
new_ns GW gw
new_ns SW sw
new_ns NET net
new_ns CA ca
new_ns CB cb
ip -n "$SW" link add br0 type bridge
ip -n "$SW" link set br0 up
for end in "$GW lan0 p-gw" "$CA eth0 p-ca" "$CB eth0 p-cb"; do
    read -r ns dev port <<< "$end"
    link_ns "$ns" "$dev" "$SW" "$port"
    ip -n "$SW" link set "$port" master br0
done
ip -n "$GW" addr add "$GW_LAN/24" dev lan0
ip -n "$CA" addr add 192.168.11.50/24 dev eth0
ip -n "$CB" addr add 192.168.11.51/24 dev eth0
link_ns "$GW" wan0 "$NET" eth0
ip -n "$GW" addr add 10.99.0.1/24 dev wan0
ip -n "$GW" route add default via "$UPSTREAM"
ip -n "$NET" addr add "$UPSTREAM/24" dev eth0
ip -n "$NET" addr add "$SILENT/24" dev eth0
# The gateway host's own view of names: ip netns exec lays these over /etc for its programs.
# The silent resolver comes first: the service must get its answers from the other.
ETC="/etc/netns/$GW"
mkdir -p "$ETC"
printf 'nameserver %s\nnameserver %s\n' "$SILENT" "$UPSTREAM" > "$ETC/resolv.conf"
printf '127.0.0.1 localhost\n' > "$ETC/hosts"
# The walled garden's table as the firewall makes it (its rules are not needed here).
ip netns exec "$GW" nft add table inet tarnix
ip netns exec "$GW" nft add set inet tarnix garden '{ type ipv4_addr; }'
set +e

# start_bg NAME NAMESPACE COMMAND...: in the background, output in $WORK_DIR/NAME.out and .err;
# the PID is left in BG_PID and ended at exit.
start_bg() {
    local name=$1 ns=$2
    shift 2
    ip netns exec "$ns" "$@" > "$WORK_DIR/$name.out" 2> "$WORK_DIR/$name.err" &
    BG_PID=$!
    STARTED_PIDS+=("$BG_PID")
}

# "The Internet's DNS": the lab's names, NXDOMAIN for other names under lab and com, and names
# under hole.lab handed to the resolver that never answers. Answers may be cached for 300 s.
start_bg upstream "$NET" dnsmasq --keep-in-foreground --conf-file=/dev/null --pid-file= \
    --log-facility=- --no-resolv --no-hosts --listen-address="$UPSTREAM" --bind-interfaces \
    --local-ttl=300 --local=/lab/ --local=/com/ --server="/hole.lab/$SILENT" \
    --host-record=origin.lab,10.99.0.2 --host-record=pay.lab,10.99.0.7 \
    --host-record=www.pay.lab,10.99.0.8 --host-record=fresh.lab,10.99.0.10 \
    --host-record=connectivitycheck.gstatic.com,10.99.0.20
start_bg silent "$NET" python3 "$PEER" silent --listen "$SILENT"
upstream_listening() { ip netns exec "$NET" ss -Hlun "sport = :53" | grep -q "$UPSTREAM:53"; }
wait_for 10 grep -q ready "$WORK_DIR/silent.out" ||
    fail "silent resolver: $(cat "$WORK_DIR/silent.err")"
wait_for 10 upstream_listening || fail "upstream DNS: $(cat "$WORK_DIR/upstream.err")"

# resolve CLIENT NAME [--tcp]: the answer line through the gateway: "RCODE [ADDRESS,...]".
resolve() {
    local ns=$1 name=$2
    shift 2
    ip netns exec "$ns" python3 "$PEER" query --server "$GW_LAN" --name "$name" "$@"
}

# expect_answer CLIENT NAME ANSWER [--tcp]
expect_answer() {
    local got
    got=$(resolve "$1" "$2" "${@:4}")
    [ "$got" = "$3" ] || problem "$2 ${4:-udp}: '$got', expected '$3'"
}

# within SECONDS COMMAND...: runs COMMAND until it succeeds, for at most about SECONDS.
within() {
    local end=$(($(now_ms) + $1 * 1000))
    shift
    until "$@"; do
        [ "$(now_ms)" -lt "$end" ] || return 1
        sleep 0.2
    done
}

# last_pid FILE: the dnsmasq PID the probe printed last.
last_pid() { sed -n 's/^pid //p' "$1" | tail -n 1; }

# new_pid_since PID: the probe has printed a dnsmasq PID other than PID.
new_pid_since() {
    local pid
    pid=$(last_pid "$WORK_DIR/probe.out")
    [ -n "$pid" ] && [ "$pid" != "$1" ]
}

# failures_at_least COUNT FILE: dnsmasq found the port taken COUNT times or more.
failures_at_least() { [ "$(grep -c 'Address already in use' "$2")" -ge "$1" ]; }

# children_of PID: the probe's children (dnsmasq), found by their parent.
children_of() { ps -o pid= --ppid "$1" | tr -d ' '; }

has_children() { [ -n "$(children_of "$1")" ]; }

start_bg probe "$GW" "$PROBE" --garden pay.lab
PROBE_PID=$BG_PID
wait_for 10 grep -q '^state Running' "$WORK_DIR/probe.out" ||
    fail "no name service: $(cat "$WORK_DIR/probe.out" "$WORK_DIR/probe.err")"
CHILD=$(last_pid "$WORK_DIR/probe.out")
CONFIG=$(sed -n 's/^config //p' "$WORK_DIR/probe.out")

serves_only_there() {
    [ "$(children_of "$PROBE_PID")" = "$CHILD" ] ||
        problem "the probe's child is '$(children_of "$PROBE_PID")', it said $CHILD" || return 1
    local udp tcp user
    udp=$(ip netns exec "$GW" ss -Hlunp | grep "pid=$CHILD," | awk '{print $4}' | sort -u)
    tcp=$(ip netns exec "$GW" ss -Hlntp | grep "pid=$CHILD," | awk '{print $4}' | sort -u)
    [ "$udp" = "$GW_LAN:53" ] || problem "dnsmasq's UDP sockets: $udp" || return 1
    [ "$tcp" = "$GW_LAN:53" ] || problem "dnsmasq's TCP sockets: $tcp" || return 1
    # Run as root, the gateway starts dnsmasq as its own account (Debian's dnsmasq-base makes
    # it), its configuration on standard input: that account may not read /run/tarnix.
    user=$(ps -o user= -p "$CHILD")
    [ "$user" = dnsmasq ] || problem "dnsmasq runs as '$user'" || return 1
    tr '\0' ' ' < "/proc/$CHILD/cmdline" | grep -qx "/usr/sbin/dnsmasq --conf-file=- " ||
        problem "dnsmasq's command line: $(tr '\0' ' ' < "/proc/$CHILD/cmdline")" || return 1
}

configuration_is_private() {
    [[ $CONFIG == /run/tarnix/names-*/dnsmasq.conf ]] ||
        problem "configuration at '$CONFIG'" || return 1
    [ "$(stat -c %a "$(dirname "$CONFIG")")" = 700 ] || problem "directory not 0700" || return 1
    [ "$(stat -c %a "$CONFIG")" = 600 ] || problem "file not 0600" || return 1
    grep -qx 'nftset=/pay.lab/4#inet#tarnix#garden' "$CONFIG" ||
        problem "no garden line" || return 1
}

answers_truthfully() {
    local how
    for how in "" --tcp; do
        expect_answer "$CA" origin.lab "NOERROR 10.99.0.2" $how || return 1
        expect_answer "$CB" origin.lab "NOERROR 10.99.0.2" $how || return 1
        # Android's probe host gets the Internet's answer, never the gateway's address.
        expect_answer "$CA" connectivitycheck.gstatic.com "NOERROR 10.99.0.20" $how || return 1
        expect_answer "$CA" nosuch.lab NXDOMAIN $how || return 1
        expect_answer "$CB" nosuch.gstatic.com NXDOMAIN $how || return 1
    done
}

in_garden() { ip netns exec "$GW" nft list set inet tarnix garden | grep -qw "$1"; }

feeds_the_garden() {
    expect_answer "$CA" pay.lab "NOERROR 10.99.0.7" || return 1
    expect_answer "$CB" www.pay.lab "NOERROR 10.99.0.8" --tcp || return 1
    wait_for 5 in_garden 10.99.0.7 || problem "pay.lab's address is not in the set" || return 1
    wait_for 5 in_garden 10.99.0.8 || problem "www.pay.lab's address is not in the set" || return 1
    # Resolved before, outside the whitelist: never in the set.
    ! in_garden 10.99.0.2 && ! in_garden 10.99.0.20 ||
        problem "a name outside the whitelist reached the set" || return 1
}

survives_a_flood() {
    start_bg hold "$CA" python3 "$PEER" hold-tcp --server "$GW_LAN" --count 25 --seconds 60
    local hold=$BG_PID
    wait_for 10 grep -q '^held' "$WORK_DIR/hold.out"
    start_bg flood "$CA" python3 "$PEER" flood --server "$GW_LAN" --suffix hole.lab --seconds 4
    local flood=$BG_PID full=no answers=() answer _
    # While client A floods and holds every TCP slot, B (a stub resolver: a second and a third
    # try, a second apart) is answered from the cache.
    wait_for 5 grep -q 'Maximum number of concurrent DNS queries reached' \
        "$WORK_DIR/probe.err" && full=yes
    for _ in 1 2 3; do
        answers+=("$(resolve "$CB" origin.lab --timeout 1 --tries 3)")
    done
    wait "$flood"
    kill "$hold"
    wait "$hold"
    echo "  flood: $(cat "$WORK_DIR/flood.out"), TCP: $(cat "$WORK_DIR/hold.out")"
    [ "$full" = yes ] || problem "the flood did not fill dnsmasq's forwarding table" || return 1
    for answer in "${answers[@]}"; do
        [ "$answer" = "NOERROR 10.99.0.2" ] ||
            problem "origin.lab during the flood: '$answer'" || return 1
    done
    # A name nobody asked for yet: answered once the flood's waiting queries have timed out.
    within 30 expect_answer "$CB" fresh.lab "NOERROR 10.99.0.10" > /dev/null ||
        problem "fresh.lab not answered after the flood" || return 1
    expect_answer "$CB" origin.lab "NOERROR 10.99.0.2" --tcp || return 1
    [ "$(last_pid "$WORK_DIR/probe.out")" = "$CHILD" ] && kill -0 "$CHILD" ||
        problem "dnsmasq did not survive the flood" || return 1
    local lines
    lines=$(wc -l < "$WORK_DIR/probe.err")
    [ "$lines" -lt 200 ] || problem "dnsmasq wrote $lines lines during the flood" || return 1
}

comes_back_when_killed() {
    # Its TCP processes, which hold copies of its sockets, must not keep the port from it.
    start_bg held "$CA" python3 "$PEER" hold-tcp --server "$GW_LAN" --count 3 --seconds 60
    local held=$BG_PID
    wait_for 10 grep -q '^held 3' "$WORK_DIR/held.out" || problem "no TCP connections held" ||
        return 1
    wait_for 5 has_children "$CHILD" || problem "no TCP processes" || return 1
    kill -KILL "$CHILD"
    wait_for 5 grep -qx 'state Unavailable dnsmasq ended on signal 9' "$WORK_DIR/probe.out" ||
        problem "no Unavailable state: $(cat "$WORK_DIR/probe.out")" || return 1
    wait_for 10 new_pid_since "$CHILD" || problem "dnsmasq did not come back" || return 1
    CHILD=$(last_pid "$WORK_DIR/probe.out")
    kill "$held"
    [ "$(children_of "$PROBE_PID")" = "$CHILD" ] ||
        problem "the new dnsmasq is not the probe's" || return 1
    expect_answer "$CA" origin.lab "NOERROR 10.99.0.2" || return 1
    expect_answer "$CA" origin.lab "NOERROR 10.99.0.2" --tcp
}

taken_port_is_reported_and_retried_rarely() {
    local start
    start=$(now_ms)
    start_bg second "$GW" "$PROBE"
    local second=$BG_PID
    wait_for 5 grep -qx "state Unavailable port 53 on $GW_LAN is in use" "$WORK_DIR/second.out" ||
        problem "second instance: $(cat "$WORK_DIR/second.out" "$WORK_DIR/second.err")" || return 1
    # Tried at 0, 1 and 3 s: the third failure cannot come before about 3 s.
    wait_for 10 failures_at_least 3 "$WORK_DIR/second.err" ||
        problem "not tried again: $(cat "$WORK_DIR/second.err")" || return 1
    local elapsed=$(($(now_ms) - start))
    [ "$elapsed" -ge 2500 ] || problem "three tries within $elapsed ms" || return 1
    [ "$(grep -c '^state' "$WORK_DIR/second.out")" = 2 ] ||
        problem "said more than once: $(cat "$WORK_DIR/second.out")" || return 1
    kill -TERM "$second"
    wait "$second" || problem "second instance ended with $?" || return 1
    expect_answer "$CB" origin.lab "NOERROR 10.99.0.2"
}

stops_with_the_gateway() {
    kill -TERM "$PROBE_PID"
    wait "$PROBE_PID" || problem "the probe ended with $?" || return 1
    ! kill -0 "$CHILD" 2>/dev/null || problem "dnsmasq $CHILD still runs" || return 1
    local holders
    holders=$(ip netns exec "$GW" ss -Hlnup "sport = :53")
    [ -z "$holders" ] || problem "port 53 still taken: $holders" || return 1
    [ ! -e "$(dirname "$CONFIG")" ] || problem "$(dirname "$CONFIG") is left behind" || return 1
}

runs_unprivileged_with_capabilities() {
    # The gateway as a packaged service would run it: an ordinary account, the binary given the
    # capabilities, nothing ambient. The service must hand them on to dnsmasq itself.
    chmod 711 "$WORK_DIR"
    mkdir -m 755 "$WORK_DIR/bin"
    cp "$PROBE" "$WORK_DIR/bin/probe"
    setcap cap_net_bind_service,cap_net_admin+ep "$WORK_DIR/bin/probe" || return 1
    ip netns exec "$GW" nft flush set inet tarnix garden
    start_bg plain "$GW" env -u XDG_RUNTIME_DIR setpriv --reuid=65534 --regid=65534 \
        --clear-groups "$WORK_DIR/bin/probe" --garden pay.lab
    local plain=$BG_PID
    wait_for 10 grep -q '^state Running' "$WORK_DIR/plain.out" ||
        problem "not running: $(cat "$WORK_DIR/plain.out" "$WORK_DIR/plain.err")" || return 1
    local child config caps
    child=$(last_pid "$WORK_DIR/plain.out")
    config=$(sed -n 's/^config //p' "$WORK_DIR/plain.out")
    [ "$(ps -o uid= -p "$child" | tr -d ' ')" = 65534 ] ||
        problem "dnsmasq is not unprivileged" || return 1
    # Nothing ambient in the probe itself: dnsmasq's rights came from the service.
    grep -qx 'CapAmb:[[:space:]]*0*' "/proc/$plain/status" ||
        problem "the probe has ambient capabilities" || return 1
    caps=$(sed -n 's/^CapEff:\t//p' "/proc/$child/status")
    echo "  dnsmasq $child runs as 65534 with effective capabilities $caps; configuration $config"
    [ "$(stat -c %a:%u "$(dirname "$config")")" = 700:65534 ] ||
        problem "configuration directory $(stat -c %a:%u "$(dirname "$config")")" || return 1
    expect_answer "$CA" pay.lab "NOERROR 10.99.0.7" || return 1
    wait_for 5 in_garden 10.99.0.7 || problem "pay.lab's address is not in the set" || return 1
    kill -TERM "$plain"
    wait "$plain" || problem "the unprivileged probe ended with $?" || return 1
    ! kill -0 "$child" 2>/dev/null || problem "dnsmasq $child still runs" || return 1
}

step "dnsmasq, the probe's child, answers on $GW_LAN:53 (UDP, TCP) alone, as its own account" \
    serves_only_there
step "its configuration is private: /run/tarnix/names-*, 0700, file 0600" configuration_is_private
step "true answers over UDP and TCP; unknown names NXDOMAIN" answers_truthfully
step "whitelisted names' addresses go into inet tarnix garden, no others" feeds_the_garden
step "a flood, junk and held TCP slots from one client: the other is answered" survives_a_flood
step "a killed dnsmasq comes back" comes_back_when_killed
step "a second instance: port 53 in use, said once, tried ever more rarely" \
    taken_port_is_reported_and_retried_rarely
step "SIGTERM stops dnsmasq, frees port 53 and removes the configuration" stops_with_the_gateway
step "an unprivileged account with the capabilities runs it and feeds the set" \
    runs_unprivileged_with_capabilities

if [ "$FAILURES" -ne 0 ]; then
    echo "$FAILURES step(s) failed; the probe's messages:"
    cat "$WORK_DIR"/*.err "$WORK_DIR"/*.out
    exit 1
fi
echo "all steps passed"
