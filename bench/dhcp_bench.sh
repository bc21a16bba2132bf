#!/bin/bash
# Measures the gateway's address service against Debian's dnsmasq in the lab network
# (lab/lab.sh): four-way DHCP exchanges (DISCOVER, OFFER, REQUEST, ACK) completed per second,
# the share dropped, and the latency of an exchange, with about 150 simulated clients at several
# offered rates. Run by hand; it is no part of the test suite.
#
# Usage (as root, from anywhere):
#   bench/dhcp_bench.sh [GATEWAY-BINARY]      # default: build/tarnix-gateway of this repo
# Build the measured binary with -DCMAKE_BUILD_TYPE=Release. The load generator
# (bench/dhcp_load.c) is compiled with cc -O2 beside the binary; dnsmasq (package dnsmasq-base,
# the program without its system service) is installed with apt-get when missing. One run takes
# about 4 minutes with the defaults; the table is printed and written to bench/dhcp_results.md
# (BENCH_DHCP_RESULTS overrides), one row per server and rate to bench/dhcp_results.tsv beside it.
#
# Settings (environment):
#   BENCH_DURATION=8         seconds of starting exchanges at each rate
#   BENCH_RUNS=3             runs per figure; medians shown
#   BENCH_RATES="1000 4000 8000 12000"   exchanges started per second
#   BENCH_CLIENTS=150        simulated clients (the segment has 155 numbers)
#   BENCH_TIMEOUT_MS=1000    an exchange without its ACK after this long counts as dropped
#   BENCH_GATEWAY_ENV=""     NAME=VALUE words put in the gateway's environment
#   BENCH_PROFILE=auto       auto: profile the gateway when it misses the target (fewer exchanges
#                            per second than dnsmasq, or more dropped, at some rate); always; never
#   LAB_KEEP=1               keeps the lab's and the bench's files (logs, dnsmasq's leases)
#
# The set-up: one LAN client namespace runs the load generator on its eth0 (no address), as all
# the simulated clients: each has its own random locally administered hardware address (the
# same ones for every server and run), sends from 0.0.0.0:68 to 255.255.255.255:67 with the
# broadcast flag, and takes the answers broadcast to port 68. Before measuring, every client
# completes one exchange (the gateway probes a new client's number by ARP for 300 ms first).
# dnsmasq and the gateway take turns on UDP 67 of the gateway host, never both at once.
set -uo pipefail

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO=$(cd "$BENCH_DIR/.." && pwd)
GATEWAY=${1:-$REPO/build/tarnix-gateway}
DURATION=${BENCH_DURATION:-8}
RUNS=${BENCH_RUNS:-3}
RATES=${BENCH_RATES:-1000 4000 8000 12000}
CLIENTS=${BENCH_CLIENTS:-150}
TIMEOUT_MS=${BENCH_TIMEOUT_MS:-1000}
PROFILE=${BENCH_PROFILE:-auto}
GATEWAY_ENV=${BENCH_GATEWAY_ENV:-}
RESULTS=${BENCH_DHCP_RESULTS:-$BENCH_DIR/dhcp_results.md}
TSV=${RESULTS%.md}.tsv

LOADER=ld
LOADER_MAC=02:00:00:00:dc:01
GAP_MS=500
SERVERS=(dnsmasq gateway)

# shellcheck source=bench_lib.sh
. "$BENCH_DIR/bench_lib.sh"

if [ "$(id -u)" -ne 0 ]; then
    die "the lab builds network namespaces and needs root"
fi
[ -x "$GATEWAY" ] || die "no gateway program at $GATEWAY (give its path as the first argument)"
[[ $DURATION =~ ^[1-9][0-9]?$ ]] || die "BENCH_DURATION must be 1..99 seconds"
[[ $RUNS =~ ^[1-9]$ ]] || die "BENCH_RUNS must be 1..9"
[[ $CLIENTS =~ ^[1-9][0-9]{0,2}$ ]] || die "BENCH_CLIENTS must be 1..999"
((CLIENTS <= 155)) || say "more clients ($CLIENTS) than the segment's 155 numbers: the warm-up fails"
[[ $TIMEOUT_MS =~ ^[1-9][0-9]{1,3}$ ]] || die "BENCH_TIMEOUT_MS must be 10..9999"
for r in $RATES; do
    [[ $r =~ ^[1-9][0-9]{0,4}$ ]] || die "BENCH_RATES: $r (1..99999 exchanges per second)"
done
[ -n "${RATES// /}" ] || die "BENCH_RATES is empty"
for word in $GATEWAY_ENV; do
    [[ $word =~ ^[A-Za-z_][A-Za-z0-9_]*=[^[:space:]]*$ ]] || die "BENCH_GATEWAY_ENV: bad word '$word'"
    export "${word?}"
done

# --- tools -------------------------------------------------------------------------------------

# Installs what is missing. dnsmasq-base holds the program alone (the dnsmasq package adds the
# system service, which is not wanted here).
install_tools() {
    local missing=() tool
    command -v dnsmasq > /dev/null || missing+=(dnsmasq-base)
    command -v cc > /dev/null || missing+=(gcc libc6-dev)
    if [ "$PROFILE" != never ] && ! command -v valgrind > /dev/null; then
        missing+=(valgrind)
    fi
    for tool in ip ss timeout awk sort; do
        command -v "$tool" > /dev/null || die "$tool is missing (scripts/install-deps.sh)"
    done
    bench_install "${missing[@]}"
}

install_tools

# The generator is built beside the measured binary, from this checkout's source.
LOAD_BIN="$(dirname "$GATEWAY")/dhcp_load"
cc -O2 -Wall -Wextra -o "$LOAD_BIN" "$BENCH_DIR/dhcp_load.c" || die "dhcp_load did not compile"

# --- lab -----------------------------------------------------------------------------------------

# shellcheck source=../lab/lab.sh
. "$REPO/lab/lab.sh"

DNSMASQ_PID=""

# dnsmasq as the segment's DHCP server only (no DNS, no configuration file of the host), with
# the gateway's numbers, authoritative as the gateway is, and without its ping before an offer.
# Its per-exchange log lines are off (the gateway writes none either); its lease file lies on
# tmpfs when there is one, so its write after a lease changes does not wait on a disk.
start_dnsmasq() {
    local pid_file="$LEASE_DIR/dnsmasq.pid"
    ip netns exec "${LAB_NS[gw]}" dnsmasq --no-daemon --no-ping --port=0 --interface=lan0 \
        --bind-interfaces --except-interface=lo --dhcp-range=192.168.11.100,192.168.11.254,12h \
        --dhcp-option=option:router,192.168.11.1 --dhcp-option=option:dns-server,192.168.11.1 \
        --dhcp-authoritative --dhcp-leasefile="$LEASE_DIR/dnsmasq.leases" --no-resolv \
        --conf-file=/dev/null --pid-file="$pid_file" --quiet-dhcp \
        --log-facility="$WORK_DIR/dnsmasq.log" > "$WORK_DIR/dnsmasq.out" 2>&1 &
    DNSMASQ_PID=$!
    lab_track "$DNSMASQ_PID"
    if ! lab_wait 15 lab_listening gw -lnu 67; then
        say "dnsmasq did not open UDP 67: $(cat "$WORK_DIR/dnsmasq.out" "$WORK_DIR/dnsmasq.log")"
        return 1
    fi
}

stop_dnsmasq() {
    local pid=$DNSMASQ_PID
    DNSMASQ_PID=""
    [ -n "$pid" ] && lab_stop "$pid"
}

start_server() { # dnsmasq|gateway
    if [ "$1" = dnsmasq ]; then
        start_dnsmasq
    else
        lab_start_gateway "$GATEWAY"
    fi
}

stop_server() {
    if [ "$1" = dnsmasq ]; then
        stop_dnsmasq
    else
        lab_stop_gateway
    fi
    # The next server needs the port.
    lab_wait 10 bash -c "! ip netns exec '${LAB_NS[gw]}' ss -Hlnu 'sport = :67' | grep -q ." ||
        say "UDP 67 is still taken"
}

# run_load OUTPUT ARGS...: the generator in the client's namespace, output in a file. The same
# seed, so the same clients, for every server and run.
run_load() {
    local out=$1
    shift
    lab_in "$LOADER" timeout 600 "$LOAD_BIN" -i eth0 -c "$CLIENTS" -s "$SEED" -t "$TIMEOUT_MS" \
        -g "$GAP_MS" "$@" > "$out" 2> "$out.err"
}

# value LINE KEY: the value of KEY=... in one of the generator's result lines.
value() { tr ' ' '\n' <<< "$1" | awk -F= -v k="$2" '$1 == k { print $2; exit }'; }


# --- measuring -----------------------------------------------------------------------------------

declare -A XPS=() DROP=() P50=() P99=() SENT=() NOTE=()
declare -A xps_all=() drop_all=() p50_all=() p99_all=() sent_all=() rxq_all=()

# measure SERVER RUN: starts the server, warms every client up, measures every rate, stops it.
measure() {
    local server=$1 run=$2 out="$WORK_DIR/load.$1.$2" line rate p50 p99
    start_server "$server" || die "$server did not start"
    # shellcheck disable=SC2086 # RATES is a list of numbers
    run_load "$out" -W 20 -d "$DURATION" -r "$(echo $RATES | tr ' ' ',')"
    local code=$?
    if [ "$server" = gateway ] && ! kill -0 "$LAB_GATEWAY_PID" 2> /dev/null; then
        say "the gateway has ended; its last errors:"
        tail -n 20 "$LAB_DIR/gateway.err" >&2
        die "the gateway ended under load"
    fi
    stop_server "$server"
    if [ "$code" != 0 ]; then
        say "the load generator failed against $server (exit $code):"
        cat "$out" "$out.err" >&2
        [ "$code" = 2 ] && die "not every simulated client got a lease from $server"
        die "stopping"
    fi
    while read -r line; do
        [[ $line == rate=* ]] || continue
        rate=$(value "$line" rate)
        say "$server, run $run, $rate/s offered: $(value "$line" exchanges_per_s) exchanges/s," \
            "$(value "$line" drop_pct)% dropped, p50 $(value "$line" p50_ms) ms," \
            "p99 $(value "$line" p99_ms) ms (sent $(value "$line" offered_per_s)/s," \
            "NAKs $(value "$line" naks), generator socket drops $(value "$line" rxq_drops))"
        xps_all[$server,$rate]+=" $(value "$line" exchanges_per_s)"
        drop_all[$server,$rate]+=" $(value "$line" drop_pct)"
        # No latency ("-") when nothing completed; the medians are of the runs that have one.
        p50=$(value "$line" p50_ms) p99=$(value "$line" p99_ms)
        [ "$p50" != - ] && p50_all[$server,$rate]+=" $p50" p99_all[$server,$rate]+=" $p99"
        sent_all[$server,$rate]+=" $(value "$line" offered_per_s)"
        rxq_all[$server,$rate]=$((${rxq_all[$server,$rate]:-0} + $(value "$line" rxq_drops)))
    done < "$out"
}

measure_all() {
    local run server i order rate
    for ((run = 1; run <= RUNS; run++)); do
        # The servers take turns, and which goes first alternates, so a slow spell of the
        # machine falls on both alike.
        order=("${SERVERS[@]}")
        ((run % 2 == 0)) && order=("${SERVERS[1]}" "${SERVERS[0]}")
        for server in "${order[@]}"; do
            measure "$server" "$run"
        done
    done
    for server in "${SERVERS[@]}"; do
        for rate in $RATES; do
            i="$server,$rate"
            [ -n "${xps_all[$i]:-}" ] || continue
            # shellcheck disable=SC2086 # the lists are split into their numbers
            XPS[$i]=$(median ${xps_all[$i]}) DROP[$i]=$(median ${drop_all[$i]}) \
                SENT[$i]=$(median ${sent_all[$i]})
            if [ -n "${p50_all[$i]:-}" ]; then
                # shellcheck disable=SC2086 # the lists are split into their numbers
                P50[$i]=$(median ${p50_all[$i]}) P99[$i]=$(median ${p99_all[$i]})
            fi
            ((${rxq_all[$i]:-0} > 0)) && NOTE[$i]="generator's socket dropped ${rxq_all[$i]}"
        done
    done
}

# --- profiling -----------------------------------------------------------------------------------

PROFILE_TEXT=""
PROFILE_RATE=100

# Runs the gateway again under callgrind (or perf where hardware counters work) for a short
# load after a warm-up and keeps its top functions.
profile_gateway() {
    local tool out="$WORK_DIR/profile.out" perf_pid="" report result
    tool=$(bench_profiler)
    if [ -z "$tool" ]; then
        PROFILE_TEXT="(no profiler: neither perf with hardware counters nor valgrind)"
        return 0
    fi
    say "profiling the gateway with $tool ($PROFILE_RATE exchanges/s offered, 5 s)"
    bench_start_profiled_gateway "$tool" "$GATEWAY" "$out" || return 1
    # Every client gets its entry first, so the measured part is the steady state.
    run_load "$WORK_DIR/profile-warmup" -W 60 -d 1 -r 10 ||
        { PROFILE_TEXT="(the warm-up under the profiler failed)"; return 0; }
    if [ "$tool" = perf ]; then
        perf record -q -g -o "$out" -p "$LAB_GATEWAY_PID" -- sleep 7 > /dev/null 2>&1 &
        perf_pid=$!
        lab_track "$perf_pid"
    elif ! callgrind_control -i on "$LAB_GATEWAY_PID" > /dev/null 2>&1; then
        PROFILE_TEXT="(callgrind_control could not switch the counting on)"
        return 0
    fi
    run_load "$WORK_DIR/profile-load" -n -d 5 -r "$PROFILE_RATE"
    result=$(awk '/^rate=/' "$WORK_DIR/profile-load")
    [ -n "$perf_pid" ] && wait "$perf_pid"
    report=$(bench_profile_report "$tool" "$out")
    PROFILE_TEXT="$tool, counted from the end of the warm-up ($(value "$result" exchanges_per_s) exchanges/s completed, $(value "$result" drop_pct)% dropped under the profiler).

$report"
}

# --- the run -------------------------------------------------------------------------------------

lab_up || die "the lab did not come up"
WORK_DIR=$(mktemp -d /tmp/tarnix-dhcpbench.XXXXXX) || die "no work directory"
LEASE_DIR=$WORK_DIR
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    LEASE_DIR=$(mktemp -d /dev/shm/tarnix-dhcpbench.XXXXXX) || die "no directory on /dev/shm"
fi
finish() {
    lab_down
    if [ "${LAB_KEEP:-0}" = 1 ]; then
        say "kept $WORK_DIR${LEASE_DIR:+ and $LEASE_DIR}"
    else
        rm -rf "$WORK_DIR"
        [ "$LEASE_DIR" != "$WORK_DIR" ] && rm -rf "$LEASE_DIR"
    fi
}
trap finish EXIT
lab_add_client "$LOADER" "$LOADER_MAC" || die "no client namespace for the load generator"
SEED=$(((RANDOM << 30) ^ (RANDOM << 15) ^ RANDOM))

LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
STARTED=$(date +%s)
measure_all
ELAPSED=$(($(date +%s) - STARTED))
LOAD_AFTER=$(cut -d' ' -f1-3 /proc/loadavg)

# --- report --------------------------------------------------------------------------------------

cell() { [ -n "${1:-}" ] && echo "$1" || echo "n/a"; }

# The target: at every rate, at least dnsmasq's exchanges per second and no more dropped.
MISSED=""
for rate in $RATES; do
    g=${XPS[gateway,$rate]:-0} d=${XPS[dnsmasq,$rate]:-0}
    gd=${DROP[gateway,$rate]:-100} dd=${DROP[dnsmasq,$rate]:-0}
    if awk -v g="$g" -v d="$d" -v gd="$gd" -v dd="$dd" 'BEGIN { exit !(g < d || gd > dd) }'; then
        MISSED+=" $rate"
    fi
done
if [ "$PROFILE" = always ] || { [ "$PROFILE" = auto ] && [ -n "$MISSED" ]; }; then
    profile_gateway || PROFILE_TEXT="(profiling failed; LAB_KEEP=1 keeps the logs)"
fi

bench_facts
lease_fs=$(df --output=fstype "$LEASE_DIR" 2> /dev/null | tail -n 1)

{
    echo "## DHCP benchmark"
    echo
    echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC'); $ELAPSED s of measuring; load average as it"
    echo "  began: $LOAD_BEFORE, as it ended: $LOAD_AFTER (the run itself adds about 2; more is"
    echo "  other work on the machine, which skews every figure)"
    echo "- Machine: $(nproc) CPUs (${cpu:-unknown CPU}), Linux $(uname -r), $(awk '/^MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)"
    echo "- Gateway: $GATEWAY, commit $commit, build type ${build_type:-unknown}${GATEWAY_ENV:+, run with $GATEWAY_ENV}"
    echo "- Tools: dnsmasq $(version dnsmasq-base), load generator bench/dhcp_load.c ($(cc --version | head -n 1))"
    echo "- $CLIENTS simulated clients, each with its own random locally administered hardware"
    echo "  address, all from one LAN client namespace on the bridged segment: DISCOVER from"
    echo "  0.0.0.0:68 to 255.255.255.255:67 with the broadcast flag, the OFFER matched by xid, then"
    echo "  REQUEST (requested address, server identifier) and ACK. An exchange counts when its ACK"
    echo "  arrives; without it ${TIMEOUT_MS} ms after the DISCOVER (or on a NAK) it is dropped. Latency:"
    echo "  DISCOVER sent to ACK read. Every client completed one exchange before measuring."
    echo "- dnsmasq: --no-ping, --dhcp-authoritative, --quiet-dhcp (the gateway logs no exchange"
    echo "  either), the same 155 numbers, lease file on ${lease_fs:-?}. The servers take turns on"
    echo "  UDP 67 of the gateway host; generator and server share this machine's CPUs."
    echo
    echo "### Four-way exchanges (${DURATION} s at each offered rate; median of $RUNS runs)"
    echo
    echo "| Server | Offered/s | Sent/s | Exchanges/s | Dropped (%) | p50 (ms) | p99 (ms) |"
    echo "| --- | ---: | ---: | ---: | ---: | ---: | ---: |"
    for server in "${SERVERS[@]}"; do
        for rate in $RATES; do
            i="$server,$rate"
            echo "| $server | $rate | $(cell "${SENT[$i]:-}") | $(cell "${XPS[$i]:-}") |" \
                "$(cell "${DROP[$i]:-}") | $(cell "${P50[$i]:-}") | $(cell "${P99[$i]:-}") |"
        done
    done
    echo
    notes=""
    for i in "${!NOTE[@]}"; do notes+="${i/,/ at } offered/s: ${NOTE[$i]}; "; done
    [ -n "$notes" ] && echo "Datagrams lost on the generator's own socket (counted as drops): ${notes%; }." && echo
    if [ -n "$MISSED" ]; then
        echo "Target (at least dnsmasq's exchanges per second, no more dropped) missed at:${MISSED// / }/s offered."
    else
        echo "Target (at least dnsmasq's exchanges per second, no more dropped) met at every rate."
    fi
    if [ -n "$PROFILE_TEXT" ]; then
        echo
        echo "### Gateway profile"
        echo
        echo "The gateway under a profiler, $PROFILE_RATE exchanges/s offered for 5 s after the warm-up:"
        echo
        echo '```'
        echo "$PROFILE_TEXT"
        echo '```'
    fi
} > "$WORK_DIR/results.md"

{
    printf 'server\toffered\texchanges_per_s\tdrop_pct\tp50_ms\tp99_ms\n'
    for server in "${SERVERS[@]}"; do
        for rate in $RATES; do
            i="$server,$rate"
            printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$server" "$rate" "$(cell "${XPS[$i]:-}")" \
                "$(cell "${DROP[$i]:-}")" "$(cell "${P50[$i]:-}")" "$(cell "${P99[$i]:-}")"
        done
    done
} > "$WORK_DIR/results.tsv"

cat "$WORK_DIR/results.md"
cp "$WORK_DIR/results.md" "$RESULTS" && cp "$WORK_DIR/results.tsv" "$TSV" &&
    say "written to $RESULTS and $TSV"
