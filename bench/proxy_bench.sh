#!/bin/bash
# Measures the gateway's web proxy against a direct connection and against Debian's tinyproxy
# and squid, in the lab network (lab/lab.sh): requests per second and latency for a 1 KiB
# response with and without keep-alive, the throughput of a 100 MiB response (plain GET and
# through a CONNECT tunnel), and memory with 300 connections open; beside them the same loads
# from the paid client without proxy settings, forwarded by the kernel through the gateway's
# table ("forwarded"). Run by hand; it is no part of the test suite.
#
# Usage (as root, from anywhere):
#   bench/proxy_bench.sh [GATEWAY-BINARY]     # default: build/tarnix-gateway of this repo
# Build the measured binary with -DCMAKE_BUILD_TYPE=Release. Missing tools (wrk, tinyproxy,
# squid, nginx-light, curl, gnuplot-nox) are installed with apt-get. One run takes about 10
# minutes with the defaults; the tables are printed and written to bench/results.md
# (BENCH_RESULTS overrides), the figures to bench/results.tsv and drawn by bench/plot.sh into
# bench/results.png (with the DHCP figures, when bench/dhcp_bench.sh has run).
#
# Settings (environment):
#   BENCH_DURATION=5         seconds of each wrk run
#   BENCH_RUNS=3             wrk runs per figure (and curl downloads per figure); medians shown
#   BENCH_CONNECTIONS="1 50 250"
#   BENCH_CLIENTS=5          paid LAN clients the load comes from: the gateway gives one client
#                            address at most 64 connections, so larger counts are spread over
#                            the clients, 50 each (every proxy alike)
#   BENCH_MODES="keepalive close"   keep-alive requests, and "Connection: close" ones
#   BENCH_PEERS="tinyproxy squid"   the peer proxies measured beside the gateway
#   BENCH_CC=reno            TCP congestion control of every lab host ("" keeps the machine's).
#                            bbr paces each socket to its estimate of the path; on these
#                            microsecond veth paths two paced hops in a row (every proxy) ran at
#                            about half the speed of one (direct). Debian's default, cubic, does
#                            not pace; reno is the non-pacing one a namespace may always choose.
#                            The 100 MiB downloads run again under the machine's own choice when
#                            it differs, in a column of their own.
#   BENCH_GATEWAY_ENV=""     NAME=VALUE words put in the gateway's environment (e.g. QT_NO_GLIB=1)
#   BENCH_PROFILE=auto       auto: profile the gateway when it misses a requests-per-second
#                            target (below); always; never; only: nothing but a profile of each
#                            of BENCH_MODES at the largest of BENCH_CONNECTIONS (a few minutes)
#   BENCH_ONLY=big           nothing but the 100 MiB downloads, printed (no report written)
#   LAB_KEEP=1               keeps the lab's and the bench's files (logs, configuration)
#
# The set-up: nginx on the Internet host (origin.lab, 10.99.0.2, ports 80 and 443, plain HTTP
# on both) serves 1k.bin and 100m.bin; the lab's reference provider service runs beside it as
# provider.lab. One LAN client takes a lease from the gateway, "unlimited" is bought for
# its MAC, the client asks for /refresh, and a page must come through before anything is
# measured. tinyproxy (192.168.11.1:8888) and squid (192.168.11.1:3128, no cache) run as plain
# forward proxies in the gateway host.
# "direct" is measured from the gateway host itself; "forwarded" from the paid client straight
# to the origin's address (no proxy), which the gateway's nftables table lets through and
# masquerades. Load generator, proxies and origin share this machine's cores.
set -uo pipefail

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO=$(cd "$BENCH_DIR/.." && pwd)
GATEWAY=${1:-$REPO/build/tarnix-gateway}
DURATION=${BENCH_DURATION:-5}
RUNS=${BENCH_RUNS:-3}
CONNECTIONS=${BENCH_CONNECTIONS:-1 50 250}
read -r -a MODES <<< "${BENCH_MODES:-keepalive close}"
read -r -a PEERS <<< "${BENCH_PEERS-tinyproxy squid}"
PROFILE=${BENCH_PROFILE:-auto}
GATEWAY_ENV=${BENCH_GATEWAY_ENV:-}
CC=${BENCH_CC-reno}
MACHINE_CC=$(sysctl -n net.ipv4.tcp_congestion_control)
RESULTS=${BENCH_RESULTS:-$BENCH_DIR/results.md}

CLIENT_COUNT=${BENCH_CLIENTS:-5}
[[ $CLIENT_COUNT =~ ^[1-9]$ ]] || { echo "bench: BENCH_CLIENTS must be 1..9" >&2; exit 1; }
CLIENTS=()
for ((i = 1; i <= CLIENT_COUNT; i++)); do CLIENTS+=("c$i"); done
CLIENT=c1 # the client of single-connection loads and downloads
PER_CLIENT=50 # connections from one client address, below the gateway's 64
GW_PROXY=192.168.11.1:8080
TINY_PROXY=192.168.11.1:8888
SQUID_PROXY=192.168.11.1:3128
SLOTS=300
# The forwarded path leaves with the gateway host's address, masqueraded, as the proxies'
# upstream connections do. On one port the two would reuse each other's port pairs while the
# origin still holds them in TIME-WAIT (each new connection from another stack's sequence and
# clock): SYNs refused, retried after a second, in every later Connection: close run.
FORWARDED_PORT=8000
BIG_BYTES=$((100 * 1024 * 1024))

# shellcheck source=bench_lib.sh
. "$BENCH_DIR/bench_lib.sh"

if [ "$(id -u)" -ne 0 ]; then
    die "the lab builds network namespaces and needs root"
fi
[ -x "$GATEWAY" ] || die "no gateway program at $GATEWAY (give its path as the first argument)"
[[ $DURATION =~ ^[1-9][0-9]{0,2}$ ]] || die "BENCH_DURATION must be 1..999 seconds"
[[ $RUNS =~ ^[1-9]$ ]] || die "BENCH_RUNS must be 1..9"
for word in $GATEWAY_ENV; do
    [[ $word =~ ^[A-Za-z_][A-Za-z0-9_]*=[^[:space:]]*$ ]] || die "BENCH_GATEWAY_ENV: bad word '$word'"
    export "${word?}"
done
for c in $CONNECTIONS; do
    if ! [[ $c =~ ^[1-9][0-9]{0,3}$ ]] || ((c > 280)) || ((c > CLIENT_COUNT * PER_CLIENT)); then
        die "BENCH_CONNECTIONS: $c (the gateway has 300 slots, at most 280 used here, and" \
            "$PER_CLIENT a client from BENCH_CLIENTS=$CLIENT_COUNT clients)"
    fi
done

# --- tools -------------------------------------------------------------------------------------

# Installs what is missing.
install_tools() {
    local missing=() tool
    command -v wrk > /dev/null || missing+=(wrk)
    command -v tinyproxy > /dev/null || missing+=(tinyproxy)
    [ -x /usr/sbin/squid ] || missing+=(squid)
    command -v gnuplot > /dev/null || missing+=(gnuplot-nox)
    command -v nginx > /dev/null || missing+=(nginx-light)
    command -v curl > /dev/null || missing+=(curl)
    for tool in ip ss busybox python3 timeout awk; do
        command -v "$tool" > /dev/null || die "$tool is missing (scripts/install-deps.sh)"
    done
    bench_install "${missing[@]}"
}

install_tools

# --- lab -----------------------------------------------------------------------------------------

# shellcheck source=../lab/lab.sh
. "$REPO/lab/lab.sh"

# A background service in the gateway host, logged to $WORK_DIR/NAME.log and ended by lab_down.
gw_start() {
    local name=$1
    shift
    ip netns exec "${LAB_NS[gw]}" "$@" > "$WORK_DIR/$name.log" 2>&1 &
    LAB_LAST_PID=$!
    lab_track "$LAB_LAST_PID"
}

start_origin() {
    local www="$WORK_DIR/www" conf="$WORK_DIR/nginx.conf"
    mkdir -p "$www" "$WORK_DIR/nginx-temp" || return 1
    head -c 1024 /dev/urandom > "$www/1k.bin" || return 1
    head -c "$BIG_BYTES" /dev/urandom > "$www/100m.bin" || return 1
    printf '<html><body>bench origin</body></html>\n' > "$www/index.html"
    # Plain HTTP on 443 too: CONNECT tunnels go there, and the tunnel is what is measured, not TLS.
    cat > "$conf" <<EOF
user root;
worker_processes 2;
pid $WORK_DIR/nginx.pid;
error_log $WORK_DIR/nginx.err warn;
daemon off;
events { worker_connections 4096; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    tcp_nodelay on;
    keepalive_timeout 65;
    keepalive_requests 1000000;
    default_type application/octet-stream;
    client_body_temp_path $WORK_DIR/nginx-temp/body;
    proxy_temp_path $WORK_DIR/nginx-temp/proxy;
    server {
        listen $LAB_NET_ADDR:80;
        listen $LAB_NET_ADDR:443;
        listen $LAB_NET_ADDR:$FORWARDED_PORT;
        root $www;
    }
}
EOF
    lab_net_start nginx nginx -e "$WORK_DIR/nginx.err" -c "$conf"
    SERVICE_PID[nginx]=$LAB_LAST_PID
    if ! lab_wait 15 lab_listening net -lnt 80 || ! lab_wait 5 lab_listening net -lnt 443 ||
        ! lab_wait 5 lab_listening net -lnt "$FORWARDED_PORT"; then
        say "nginx did not start: $(cat "$LAB_DIR/nginx.log" "$WORK_DIR/nginx.err")"
        return 1
    fi
}

start_tinyproxy() {
    local conf="$WORK_DIR/tinyproxy.conf"
    # A plain forward proxy: no filter, no upstream, every port, room for every connection.
    cat > "$conf" <<EOF
Port ${TINY_PROXY##*:}
Listen ${TINY_PROXY%%:*}
Timeout 60
MaxClients 400
Allow 192.168.11.0/24
LogLevel Error
LogFile "$WORK_DIR/tinyproxy.err"
PidFile "$WORK_DIR/tinyproxy.pid"
DisableViaHeader Yes
EOF
    gw_start tinyproxy tinyproxy -d -c "$conf"
    SERVICE_PID[tinyproxy]=$LAB_LAST_PID
    lab_wait 15 lab_listening gw -lnt "${TINY_PROXY##*:}" ||
        { say "tinyproxy did not start: $(cat "$WORK_DIR/tinyproxy.log")"; return 1; }
}

# fetch HOST PROXY URL [CURL OPTIONS...]: "CODE BYTES" of one small GET (PROXY "" for none).
fetch() {
    local host=$1 proxy=$2 url=$3
    shift 3
    lab_in "$host" curl -s -o /dev/null --max-time 10 --noproxy '' ${proxy:+-x "http://$proxy"} \
        -w '%{http_code} %{size_download}' "$@" "$url" 2> /dev/null
}

start_squid() {
    local conf="$WORK_DIR/squid.conf"
    mkdir -p "$WORK_DIR/squid" && chown proxy: "$WORK_DIR/squid" 2> /dev/null
    # A plain forward proxy: no cache, no logs, every port for CONNECT, the LAN allowed. The
    # origin's name comes from the lab's hosts file; the name server is never asked.
    cat > "$conf" <<EOF
http_port $SQUID_PROXY
acl lan src 192.168.11.0/24
http_access allow lan
http_access deny all
cache deny all
cache_mem 0 MB
access_log none
cache_log $WORK_DIR/squid/cache.log
pid_filename $WORK_DIR/squid/squid.pid
coredump_dir $WORK_DIR/squid
max_filedescriptors 16384
forwarded_for delete
via off
shutdown_lifetime 1 seconds
visible_hostname tarnix-bench
dns_nameservers 127.0.0.1
EOF
    gw_start squid bash -c 'ulimit -n "$(ulimit -Hn)"; exec /usr/sbin/squid -N -f "$1"' squid "$conf"
    SERVICE_PID[squid]=$LAB_LAST_PID
    lab_wait 30 lab_listening gw -lnt "${SQUID_PROXY##*:}" ||
        { say "squid did not start: $(cat "$WORK_DIR/squid.log" "$WORK_DIR/squid/cache.log")"; return 1; }
}

# Every client leases an address, "unlimited" is bought for its MAC at the provider (through
# the proxy, as the client's browser would) and the gateway reloads the provider page; then a
# page must come through its proxy for each.
buy_unlimited() { # CLIENT
    if ! lab_udhcpc "$1"; then
        say "$1 got no lease: $(tail -n 5 "$LAB_DIR/$1.udhcpc.log")"
        return 1
    fi
    say "$1 (${LAB_MAC[$1]}) leased $(lab_lease_value "$LAB_DIR/$1.udhcpc.lease" ip)"
    lab_buy "$1" unlimited ||
        { say "$1's purchase failed: $(head -c 300 "$LAB_DIR/$1.purchase.html")"; return 1; }
}
pay_for_clients() {
    local got i client
    for client in "${CLIENTS[@]}"; do buy_unlimited "$client" || return 1; done
    for ((i = 0; i < 10; i++)); do
        fetch "$CLIENT" "$GW_PROXY" "http://${GW_PROXY}/refresh" > /dev/null
        sleep 1
        for client in "${CLIENTS[@]}"; do
            got=$(fetch "$client" "$GW_PROXY" http://origin.lab/1k.bin)
            [ "$got" = "200 1024" ] || continue 2
        done
        say "a page comes through the gateway for every client"
        return 0
    done
    say "no page came through the gateway for $client (last answer: '$got'); see" \
        "$LAB_DIR/gateway.err (LAB_KEEP=1 keeps it)"
    return 1
}

# --- measuring -----------------------------------------------------------------------------------

# The wrk script: absolute-form target for a proxy, origin-form for the origin itself, with
# "Connection: close" when asked (a new connection for every request), and one machine-readable
# line at the end.
write_wrk_script() { # FILE PATH [close]
    cat > "$1" <<EOF
wrk.path = "$2"
wrk.headers["Host"] = "origin.lab"
$([ -n "${3:-}" ] && echo 'wrk.headers["Connection"] = "close"')
function done(summary, latency, requests)
    local e = summary.errors
    io.write(string.format("BENCH %d %d %d %d %d %d %d %d %d\\n", summary.requests,
        summary.duration, latency:percentile(50), latency:percentile(99),
        e.connect, e.read, e.write, e.status, e.timeout))
end
EOF
}


# Long commands run in the foreground with their output in files, never inside $(...): bash
# drops a Ctrl+C that arrives during a command substitution, and the lab's traps would miss it.

# wrk_once HOST SCRIPT URL CONNECTIONS: WRK_RESULT becomes "RPS P50_US P99_US ERRORS DETAIL"
# of one run ("-" for each when it failed); DETAIL is connect/read/write/status/timeout errors.
# From a LAN client, more than PER_CLIENT connections are spread over that many clients, one
# wrk each, run together: the requests per second add up, the latencies are the worst client's.
wrk_once() {
    local host=$1 script=$2 url=$3 conns=$4 threads=2 hosts=("$1") n i pids=()
    if [ "$host" != gw ] && ((conns > PER_CLIENT)); then
        n=$(((conns + PER_CLIENT - 1) / PER_CLIENT))
        hosts=("${CLIENTS[@]:0:n}") threads=1
    fi
    ((conns < threads)) && threads=$conns
    WRK_RESULT="- - - - -"
    rm -f "$WORK_DIR"/wrk.*.out
    for ((i = 0; i < ${#hosts[@]}; i++)); do
        # The connections shared out as evenly as they go.
        n=$(((conns + i) / ${#hosts[@]}))
        lab_in "${hosts[i]}" bash -c 'ulimit -n "$(ulimit -Hn)"; exec "$@"' wrk \
            timeout $((DURATION + 30)) wrk -t "$threads" -c "$n" -d "${DURATION}s" \
            --timeout 5s -s "$script" "$url" > "$WORK_DIR/wrk.$i.out" 2>&1 &
        pids+=($!)
    done
    wait "${pids[@]}"
    [ "$(cat "$WORK_DIR"/wrk.*.out | grep -c '^BENCH ')" = "${#hosts[@]}" ] || return 0
    WRK_RESULT=$(cat "$WORK_DIR"/wrk.*.out | awk '/^BENCH / {
        rps += $2 / ($3 / 1e6); if ($4 > p50) p50 = $4; if ($5 > p99) p99 = $5
        for (f = 6; f <= 10; f++) e[f] += $f }
        END { printf "%.0f %d %d %d %d/%d/%d/%d/%d\n", rps, p50, p99,
              e[6] + e[7] + e[8] + e[9] + e[10], e[6], e[7], e[8], e[9], e[10] }')
}

# check_services: every lab service still runs. Ctrl+C ends them too; a gateway that fell over
# under load is a finding, so its last words are shown.
declare -A SERVICE_PID=()
check_services() {
    local name
    SERVICE_PID[gateway]=$LAB_GATEWAY_PID
    for name in "${!SERVICE_PID[@]}"; do
        kill -0 "${SERVICE_PID[$name]}" 2> /dev/null && continue
        if [ "$name" = gateway ]; then
            say "the gateway has ended; its last errors:"
            tail -n 20 "$LAB_DIR/gateway.err" >&2
        fi
        die "$name (PID ${SERVICE_PID[$name]}) has ended (interrupted?); stopping"
    done
}

declare -A RPS=() P50=() P99=() ERRS=() PEAK_RSS=()
MEM_SAMPLE_PID=""

# measure_wrk MODE: every path at every connection count, RUNS times each; medians kept under
# PATH,MODE,CONNECTIONS. The paths take turns within each round, so a slow spell of the machine
# falls on all of them alike.
declare -A WRK_HOST=() WRK_SCRIPT=() WRK_URL=()
measure_wrk() {
    local mode=$1 conns run label r key
    local -A rps=() p50=() p99=()
    for conns in $CONNECTIONS; do
        rps=() p50=() p99=()
        for label in "${PATHS[@]}"; do ERRS[$label,$mode,$conns]=0; done
        for ((run = 1; run <= RUNS; run++)); do
            for label in "${PATHS[@]}"; do
                key=$label,$mode,$conns
                ((conns == MAX_CONNS)) && start_memory_sampling "$label"
                wrk_once "${WRK_HOST[$label]}" "${WRK_SCRIPT[$label,$mode]}" \
                    "${WRK_URL[$label]}" "$conns"
                read -r -a r <<< "$WRK_RESULT"
                ((conns == MAX_CONNS)) && stop_memory_sampling "$label"
                check_services
                say "$label, $mode, $conns connections, run $run: ${r[0]} requests/s," \
                    "p50 ${r[1]} us, p99 ${r[2]} us, ${r[3]} errors" \
                    "(connect/read/write/status/timeout ${r[4]})"
                sleep 1 # lets the connections of this run close before the next
                if [ "${r[0]}" = - ]; then
                    ERRS[$key]=-
                    continue
                fi
                rps[$label]+=" ${r[0]}" p50[$label]+=" ${r[1]}" p99[$label]+=" ${r[2]}"
                [ "${ERRS[$key]}" != - ] && ERRS[$key]=$((ERRS[$key] + r[3]))
            done
        done
        for label in "${PATHS[@]}"; do
            [ -n "${rps[$label]:-}" ] || continue
            key=$label,$mode,$conns
            # shellcheck disable=SC2086 # the lists are split into their numbers
            RPS[$key]=$(median ${rps[$label]}) P50[$key]=$(median ${p50[$label]}) \
                P99[$key]=$(median ${p99[$label]})
        done
    done
}

# proxy_pid LABEL: the process of a proxy path (none for direct).
proxy_pid() {
    case $1 in
    gateway) echo "$LAB_GATEWAY_PID" ;;
    tinyproxy | squid) echo "${SERVICE_PID[$1]}" ;;
    esac
}
proxy_address() {
    case $1 in
    gateway) echo "$GW_PROXY" ;;
    tinyproxy) echo "$TINY_PROXY" ;;
    squid) echo "$SQUID_PROXY" ;;
    esac
}
proxy_port() { local a; a=$(proxy_address "$1") && echo "${a##*:}"; }
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2> /dev/null; }

# start_memory_sampling LABEL: samples the proxy's resident set and its client connections
# while wrk runs, every 0.5 s.
start_memory_sampling() {
    local pid port
    pid=$(proxy_pid "$1") port=$(proxy_port "$1")
    [ -n "$pid" ] || return 0
    (
        rss=0 conns=0
        while kill -0 "$pid" 2> /dev/null; do
            now=$(rss_kib "$pid")
            [ -n "$now" ] && ((now > rss)) && rss=$now
            n=$(lab_in gw ss -Htn state established "( sport = :$port )" 2> /dev/null | wc -l)
            ((n > conns)) && conns=$n
            echo "$rss $conns" > "$WORK_DIR/memory.sample"
            sleep 0.5
        done
    ) &
    MEM_SAMPLE_PID=$!
    lab_track "$MEM_SAMPLE_PID"
}

declare -A PEAK_CONNS=()
stop_memory_sampling() {
    [ -n "$MEM_SAMPLE_PID" ] || return 0
    kill "$MEM_SAMPLE_PID" 2> /dev/null
    wait "$MEM_SAMPLE_PID" 2> /dev/null
    MEM_SAMPLE_PID=""
    local rss conns
    read -r rss conns < "$WORK_DIR/memory.sample" 2> /dev/null || return 0
    ((rss > ${PEAK_RSS[$1]:-0})) && PEAK_RSS[$1]=$rss
    ((conns > ${PEAK_CONNS[$1]:-0})) && PEAK_CONNS[$1]=$conns
}

# slots_held: connections the slow clients hold open.
slow_value() {
    cat "$WORK_DIR"/slow.*.status 2> /dev/null |
        sed -n "s/.*\b$1=\([0-9]*\).*/\1/p" | awk '{ s += $1 } END { print s + 0 }'
}
slow_opened_all() { [ "$(slow_value opened)" = "$SLOTS" ]; }

# measure_slots LABEL: the proxy's resident set at rest, then with SLOTS slow clients each
# trickling a request head (every one holds a connection, none is answered); SLOT_RSS[LABEL]
# is "IDLE HELD" in KiB.
declare -A SLOT_RSS=()
measure_slots() {
    local label=$1 pid idle held slow_pid
    pid=$(proxy_pid "$label")
    idle=$(rss_kib "$pid")
    local slow_pids=() i n
    rm -f "$WORK_DIR"/slow.*status
    # SLOTS connections shared out over the clients (the gateway gives one address at most 64).
    for ((i = 0; i < CLIENT_COUNT; i++)); do
        n=$(((SLOTS + i) / CLIENT_COUNT))
        # Started directly, not through lab_in: $! must be the program itself, to be ended.
        ip netns exec "${LAB_NS[${CLIENTS[i]}]}" python3 "$BENCH_DIR/slow_clients.py" \
            --host "${LAB_GW_LAN}" --port "$(proxy_port "$label")" --count "$n" \
            --status "$WORK_DIR/slow.$i.status" --max-seconds 60 > "$WORK_DIR/slow.$i.out" 2>&1 &
        slow_pid=$!
        slow_pids+=("$slow_pid")
        lab_track "$slow_pid"
    done
    if lab_wait 20 slow_opened_all; then
        sleep 3 # a few bytes more on every connection
        held=$(rss_kib "$pid")
    else
        say "$label: the slow clients opened $(slow_value opened) of $SLOTS connections"
    fi
    kill "${slow_pids[@]}" 2> /dev/null
    wait "${slow_pids[@]}" 2> /dev/null
    SLOT_RSS[$label]="${idle:-0} ${held:-0}"
    say "$label: VmRSS $idle kB at rest, ${held:-?} kB with $SLOTS slow connections"
    sleep 2
}

gateway_status() { # FIELD: kB
    awk -v f="$1:" '$1 == f { print $2 }' "/proc/$LAB_GATEWAY_PID/status" 2> /dev/null
}

declare -A SPEED=()

# measure_big: MiB/s of the 100 MiB response on every download path (BIG_PATHS; BIG_HOST and
# BIG_ARGS, curl's options and URL), RUNS times each, taking turns; medians kept.
declare -A BIG_HOST=() BIG_ARGS=()
measure_big() {
    local label run out r
    local -A speeds=() complete=()
    for ((run = 1; run <= RUNS; run++)); do
        for label in "${BIG_PATHS[@]}"; do
            # shellcheck disable=SC2086 # BIG_ARGS holds words without blanks
            lab_in "${BIG_HOST[$label]}" curl -s -o /dev/null --max-time 120 --noproxy '' \
                -w '%{http_code} %{size_download} %{speed_download}' ${BIG_ARGS[$label]} \
                > "$WORK_DIR/curl.out" 2> /dev/null
            check_services
            out=$(cat "$WORK_DIR/curl.out")
            say "$label 100 MiB, run $run: $out (code, bytes, bytes/s)"
            read -r -a r <<< "$out"
            if [ "${r[0]:-}" = 200 ] && [ "${r[1]:-}" = "$BIG_BYTES" ]; then
                speeds[$label]+=" $(awk -v b="${r[2]}" 'BEGIN { printf "%.0f", b / 1048576 }')"
                complete[$label]=$((${complete[$label]:-0} + 1))
            fi
        done
    done
    for label in "${BIG_PATHS[@]}"; do
        if [ "${complete[$label]:-0}" = "$RUNS" ]; then
            # shellcheck disable=SC2086 # the list is split into its numbers
            SPEED[$label]=$(median ${speeds[$label]})
        else
            SPEED[$label]="failed (${complete[$label]:-0} of $RUNS complete)"
        fi
    done
}

# descriptors PID: "ALL PIPES" of the process's open descriptors (pipes: the splice pipes and
# the few the process keeps for itself).
descriptors() {
    echo "$(find "/proc/$1/fd" -mindepth 1 2> /dev/null | wc -l)" \
        "$(find "/proc/$1/fd" -mindepth 1 -lname 'pipe:*' 2> /dev/null | wc -l)"
}

# measure_busy_tunnels: the gateway's descriptors and pipes at rest and at the peak of
# BUSY_TUNNELS CONNECT tunnels that all carry the 100 MiB response at once (each read at
# 2 MB/s, so every tunnel stays busy while it is sampled); FDS is "REST_ALL REST_PIPES PEAK_ALL
# PEAK_PIPES LIMIT".
BUSY_TUNNELS=280
FDS=""
measure_busy_tunnels() {
    local pids=() i j n rest peak=(0 0) now limit
    rest=$(descriptors "$LAB_GATEWAY_PID")
    limit=$(awk '/^Max open files/ { print $4 }' "/proc/$LAB_GATEWAY_PID/limits")
    for ((i = 0; i < CLIENT_COUNT; i++)); do
        n=$(((BUSY_TUNNELS + i) / CLIENT_COUNT))
        for ((j = 0; j < n; j++)); do
            ip netns exec "${LAB_NS[${CLIENTS[i]}]}" curl -s -o /dev/null --max-time 30 \
                --limit-rate 2M -p -x "http://$GW_PROXY" "$TUNNELED" > /dev/null 2>&1 &
            pids+=($!)
            lab_track "$!"
        done
    done
    for ((i = 0; i < 30; i++)); do
        sleep 0.5
        read -r -a now <<< "$(descriptors "$LAB_GATEWAY_PID")"
        ((now[0] > peak[0])) && peak[0]=${now[0]}
        ((now[1] > peak[1])) && peak[1]=${now[1]}
    done
    kill "${pids[@]}" 2> /dev/null
    wait "${pids[@]}" 2> /dev/null
    check_services
    FDS="$rest ${peak[*]} $limit"
    say "gateway descriptors: at rest $rest (all, pipes); with $BUSY_TUNNELS busy tunnels" \
        "${peak[*]}; limit $limit"
}

# --- profiling -----------------------------------------------------------------------------------

PROFILE_TEXT=""

# Runs the gateway again under callgrind (or perf where hardware counters work) for a short
# load at the largest connection count and keeps its top functions.
profile_gateway() { # [MODE]
    local tool conns=$MAX_CONNS mode=${1:-${MODES[0]}} out="$WORK_DIR/profile.out" perf_pid="" report
    tool=$(bench_profiler)
    if [ -z "$tool" ]; then
        PROFILE_TEXT="(no profiler: neither perf with hardware counters nor valgrind)"
        return 0
    fi
    say "profiling the gateway with $tool ($conns connections, 10 s)"
    lab_stop_gateway
    bench_start_profiled_gateway "$tool" "$GATEWAY" "$out" || return 1
    pay_for_clients || return 1
    if [ "$tool" = perf ]; then
        perf record -q -g -o "$out" -p "$LAB_GATEWAY_PID" -- sleep 12 > /dev/null 2>&1 &
        perf_pid=$!
        lab_track "$perf_pid"
    # Start-up and the purchase are left out of the counts (so the inclusive costs of the
    # outermost frames are short of the whole).
    elif ! callgrind_control -i on "$LAB_GATEWAY_PID" > /dev/null 2>&1; then
        PROFILE_TEXT="(callgrind_control could not switch the counting on)"
        return 0
    fi
    local saved=$DURATION
    DURATION=10
    wrk_once "$CLIENT" "${WRK_SCRIPT[gateway,$mode]}" "http://$GW_PROXY/" "$conns"
    DURATION=$saved
    [ -n "$perf_pid" ] && wait "$perf_pid"
    report=$(bench_profile_report "$tool" "$out")
    local rps=${WRK_RESULT%% *} per_request=""
    if [ "$tool" = callgrind ] && [[ $rps =~ ^[1-9][0-9]*$ ]]; then
        per_request="; about $(($(bench_instructions "$out") / (rps * 10))) instructions a request"
    fi
    PROFILE_TEXT="$tool, counted from the start of the load (wrk: $rps requests/s under the profiler, $mode$per_request).

$report"
}

# --- the run -------------------------------------------------------------------------------------

MAX_CONNS=0
for c in $CONNECTIONS; do ((c > MAX_CONNS)) && MAX_CONNS=$c; done

lab_up || die "the lab did not come up"
# The bench's own files (origin pages, configurations, outputs) live apart from the lab's.
WORK_DIR=$(mktemp -d /tmp/tarnix-bench.XXXXXX) || die "no work directory"
chmod 755 "$WORK_DIR" # squid's worker runs as the proxy user
finish() {
    lab_down
    if [ "${LAB_KEEP:-0}" = 1 ]; then
        say "kept $WORK_DIR"
    else
        rm -rf "$WORK_DIR"
    fi
}
trap finish EXIT
# Runs with "Connection: close" open a connection for every request: hundreds of thousands in a
# minute. Every host may reuse ports in TIME-WAIT for new connections, or the runs would stall
# on the port range instead of measuring the proxies.
for host in gw net; do
    lab_in "$host" sysctl -q -w net.ipv4.tcp_tw_reuse=1 net.ipv4.ip_local_port_range="1024 65000" ||
        die "sysctl in $host failed"
done
start_origin || die "no origin"
declare -F lab_start_provider > /dev/null ||
    die "lab/lab.sh has no lab_start_provider (an older lab); update it"
# shellcheck disable=SC2119 # the lab's operator account is the one wanted
lab_start_provider || die "no provider service"
for ((i = 1; i <= CLIENT_COUNT; i++)); do
    lab_add_client "c$i" "02:00:00:00:be:0$i" || die "no client c$i"
    lab_in "c$i" sysctl -q -w net.ipv4.tcp_tw_reuse=1 net.ipv4.ip_local_port_range="1024 65000"
done
# set_cc NAME: every lab host's TCP congestion control (new connections take it).
set_cc() {
    local host
    for host in "${!LAB_NS[@]}"; do
        lab_in "$host" sysctl -q -w net.ipv4.tcp_congestion_control="$1" || return 1
    done
}
[ -z "$CC" ] && CC=$MACHINE_CC
set_cc "$CC" || die "BENCH_CC: the lab's hosts may not use $CC"
lab_start_gateway "$GATEWAY" || die "the gateway did not start"
pay_for_clients || die "the gateway does not relay yet for a paid client; nothing measured"
# The gateway's table lets the LAN reach only the gateway's own services on its host: the peers'
# ports are let in beside them (at the head of its chain, for this run of the gateway).
lab_in gw nft insert rule inet tarnix lan_to_gateway tcp dport "{ ${TINY_PROXY##*:}, ${SQUID_PROXY##*:} }" accept ||
    die "the peers' ports could not be opened in the gateway's table"
for peer in "${PEERS[@]}"; do
    case $peer in
    tinyproxy) start_tinyproxy || die "no tinyproxy" ;;
    squid) start_squid || die "no squid" ;;
    *) die "BENCH_PEERS: unknown peer $peer (tinyproxy, squid)" ;;
    esac
    got=$(fetch "$CLIENT" "$(proxy_address "$peer")" http://origin.lab/1k.bin)
    [ "$got" = "200 1024" ] || die "no page through $peer ($got)"
done
got=$(fetch gw "" http://origin.lab/1k.bin)
[ "$got" = "200 1024" ] || die "no page from the origin directly ($got)"
forwarded_page() { [ "$(fetch "$CLIENT" "" "http://$LAB_NET_ADDR:$FORWARDED_PORT/1k.bin")" = "200 1024" ]; }
lab_wait 10 forwarded_page || die "the gateway does not forward the paid client's own requests"

PATHS=(direct forwarded gateway "${PEERS[@]}")
WRK_HOST=([direct]=gw [forwarded]=$CLIENT [gateway]=$CLIENT [tinyproxy]=$CLIENT [squid]=$CLIENT)
# The client has no name server: the origin by its address, its name in the Host line.
WRK_URL=([direct]=http://origin.lab/ [forwarded]=http://$LAB_NET_ADDR:$FORWARDED_PORT/ [gateway]=http://$GW_PROXY/
    [tinyproxy]=http://$TINY_PROXY/ [squid]=http://$SQUID_PROXY/)
write_wrk_script "$WORK_DIR/direct.lua" /1k.bin
write_wrk_script "$WORK_DIR/proxy.lua" http://origin.lab/1k.bin
write_wrk_script "$WORK_DIR/direct-close.lua" /1k.bin close
write_wrk_script "$WORK_DIR/proxy-close.lua" http://origin.lab/1k.bin close
for label in "${PATHS[@]}"; do
    kind=proxy
    case $label in direct | forwarded) kind=direct ;; esac
    WRK_SCRIPT[$label,keepalive]=$WORK_DIR/$kind.lua WRK_SCRIPT[$label,close]=$WORK_DIR/$kind-close.lua
done

BIG=http://origin.lab/100m.bin
TUNNELED=http://origin.lab:443/100m.bin
BIG_PATHS=(direct forwarded gateway "${PEERS[@]}" gateway-connect "${PEERS[@]/%/-connect}")
BIG_HOST=([direct]=gw [forwarded]=$CLIENT)
BIG_ARGS=([direct]=$BIG [forwarded]=http://$LAB_NET_ADDR:$FORWARDED_PORT/100m.bin)
for label in gateway "${PEERS[@]}"; do
    proxy=$(proxy_address "$label")
    BIG_HOST[$label]=$CLIENT BIG_HOST[$label-connect]=$CLIENT
    BIG_ARGS[$label]="-x http://$proxy $BIG" BIG_ARGS[$label-connect]="-p -x http://$proxy $TUNNELED"
done
if [ "${BENCH_ONLY:-}" = big ]; then
    measure_big
    for label in "${BIG_PATHS[@]}"; do echo "$label ${SPEED[$label]} MiB/s"; done
    exit 0
fi
if [ "$PROFILE" = only ]; then
    for mode in "${MODES[@]}"; do
        profile_gateway "$mode" || die "profiling failed (LAB_KEEP=1 keeps the logs)"
        printf '### %s, %s connections\n\n%s\n\n' "$mode" "$MAX_CONNS" "$PROFILE_TEXT"
    done
    exit 0
fi

sleep 2
LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
STARTED=$(date +%s)
# Memory first, while every proxy has served only the checks above.
for label in gateway "${PEERS[@]}"; do measure_slots "$label"; done
for mode in "${MODES[@]}"; do measure_wrk "$mode"; done

measure_big
declare -A SPEED_MACHINE=()
if [ "$CC" != "$MACHINE_CC" ]; then
    declare -A speed_lab=()
    for label in "${!SPEED[@]}"; do speed_lab[$label]=${SPEED[$label]}; done
    set_cc "$MACHINE_CC" || die "the lab's hosts may not use $MACHINE_CC"
    measure_big
    for label in "${!SPEED[@]}"; do SPEED_MACHINE[$label]=${SPEED[$label]} SPEED[$label]=${speed_lab[$label]}; done
    set_cc "$CC" || die "the lab's hosts may not use $CC again"
fi
measure_busy_tunnels
ELAPSED=$(($(date +%s) - STARTED))
LOAD_AFTER=$(cut -d' ' -f1-3 /proc/loadavg)

# --- report --------------------------------------------------------------------------------------

cell() { [ -n "${1:-}" ] && echo "$1" || echo "n/a"; }
ms() { [ -n "${1:-}" ] && awk -v u="$1" 'BEGIN { printf "%.2f", u / 1000 }' || echo "n/a"; }
mib() { [ -n "${1:-}" ] && awk -v k="$1" 'BEGIN { printf "%.1f MiB", k / 1024 }' || echo "n/a"; }
max() { if (($1 > $2)); then echo "$1"; else echo "$2"; fi; }

# The targets, each against the better peer of this run; the forwarded path against direct.
TARGETS=()
target() { # MET TEXT
    if [ "$1" = 1 ]; then TARGETS+=("| met | $2 |"); else TARGETS+=("| **missed** | $2 |"); fi
}
SLOW=0
for mode in "${MODES[@]}"; do
    for c in $CONNECTIONS; do
        g=${RPS[gateway,$mode,$c]:-0}
        best=$(max "${RPS[tinyproxy,$mode,$c]:-0}" "${RPS[squid,$mode,$c]:-0}")
        bp99=999999999
        for peer in tinyproxy squid; do
            if [ "${RPS[$peer,$mode,$c]:-0}" = "$best" ] && [ -n "${P99[$peer,$mode,$c]:-}" ]; then
                bp99=${P99[$peer,$mode,$c]}
            fi
        done
        factor=1
        [ "$mode" = keepalive ] && factor=2
        met=0 also=""
        ((g > 0 && best > 0 && g >= factor * best)) && met=1
        # One keep-alive connection is bound by two hops' latency, not by the proxy's work: at
        # least 45% of the direct path counts there too.
        if [ "$mode" = keepalive ] && ((c == 1)); then
            dr=${RPS[direct,$mode,$c]:-0}
            also=", or 45% of direct's $dr"
            ((g > 0 && g * 100 >= dr * 45)) && met=1
        fi
        [ "$met" = 1 ] || SLOW=1
        target "$met" "$mode, $c connections: $g requests/s against the better peer's $best (at least ${factor}x$also)"
        met=0
        ((g > 0 && best > 0 && ${P99[gateway,$mode,$c]:-999999999} <= bp99)) && met=1
        target "$met" "$mode, $c connections: p99 $(ms "${P99[gateway,$mode,$c]:-}") ms against the better peer's $(ms "$bp99") ms"
    done
done
speed_num() { [[ ${SPEED[$1]:-} =~ ^[0-9]+$ ]] && echo "${SPEED[$1]}" || echo 0; }
d=$(speed_num direct)
for kind in "" -connect; do
    g=$(speed_num "gateway$kind")
    best=$(max "$(speed_num "tinyproxy$kind")" "$(speed_num "squid$kind")")
    met=0
    ((g > 0 && g * 10 >= d * 7 && g >= best)) && met=1
    target "$met" "100 MiB $([ -n "$kind" ] && echo "through CONNECT" || echo "by GET") ($CC): $g MiB/s, direct $d, the best peer $best (at least 70% of direct and the best peer's)"
done
# Forwarded by the kernel, a paid device should lose little against the direct path.
for mode in "${MODES[@]}"; do
    for c in $CONNECTIONS; do
        f=${RPS[forwarded,$mode,$c]:-0} d=${RPS[direct,$mode,$c]:-0}
        met=0
        ((f > 0 && d > 0 && f * 10 >= d * 9)) && met=1
        target "$met" "forwarded, $mode, $c connections: $f requests/s against direct's $d (at least 90%)"
    done
done
f=$(speed_num forwarded) d=$(speed_num direct)
met=0
((f > 0 && f * 10 >= d * 9)) && met=1
target "$met" "forwarded, 100 MiB by GET: $f MiB/s, direct $d (at least 90%)"
read -r idle held <<< "${SLOT_RSS[gateway]}"
per_slot=$(((held - idle) * 1024 / SLOTS))
met=0
((held > 0 && per_slot <= 16384)) && met=1
target "$met" "memory from rest to $SLOTS open slots: $((per_slot / 1024)) KiB a slot (at most 16)"

if [ "$PROFILE" = always ] || { [ "$PROFILE" = auto ] && [ "$SLOW" = 1 ]; }; then
    profile_gateway || PROFILE_TEXT="(profiling failed; LAB_KEEP=1 keeps the logs)"
fi

bench_facts
mode_text() { [ "$1" = keepalive ] && echo "keep-alive" || echo "Connection: close (a new connection for every request)"; }

{
    echo "## Proxy benchmark"
    echo
    echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC'); $ELAPSED s of measuring; load average as it"
    echo "  began: $LOAD_BEFORE, as it ended: $LOAD_AFTER (the run itself adds about 4; more is"
    echo "  other work on the machine, which skews every figure)"
    echo "- TCP congestion control of the lab's hosts: $CC (the machine's: $MACHINE_CC)"
    echo "- Machine: $(nproc) CPUs (${cpu:-unknown CPU}), Linux $(uname -r), $(awk '/^MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)"
    echo "- Gateway: $GATEWAY, commit $commit, build type ${build_type:-unknown}${GATEWAY_ENV:+, run with $GATEWAY_ENV}"
    echo "- Tools: wrk $(version wrk), tinyproxy $(version tinyproxy), squid $(version squid)," \
        "nginx $(version nginx-light), curl $(version curl)"
    echo "- Load generator, proxies and origin (nginx) all run on this machine, in network namespaces;"
    echo "  they share its CPUs, so the figures compare the paths with each other, not with other hardware."
    echo "- direct: the load generator runs in the gateway host itself, fetching from the origin."
    echo "  forwarded: from the paid LAN client, no proxy, straight to the origin's address (port $FORWARDED_PORT); the"
    echo "  kernel forwards it through the gateway's nftables table and masquerades it. The proxies:"
    echo "  from the same client (gateway $GW_PROXY, tinyproxy $TINY_PROXY, squid $SQUID_PROXY without cache)."
    echo
    echo "### Targets against the better of tinyproxy and squid in this run (forwarded: against direct)"
    echo
    echo "| | Target |"
    echo "| --- | --- |"
    printf '%s\n' "${TARGETS[@]}"
    for mode in "${MODES[@]}"; do
        echo
        echo "### 1 KiB response, $(mode_text "$mode") (wrk -t 2 -d ${DURATION}s; median of $RUNS runs)"
        echo
        echo "| Path | Connections | Requests/s | p50 latency (ms) | p99 latency (ms) | Errors (all runs) |"
        echo "| --- | ---: | ---: | ---: | ---: | ---: |"
        for label in "${PATHS[@]}"; do
            for c in $CONNECTIONS; do
                k=$label,$mode,$c
                echo "| $label | $c | $(cell "${RPS[$k]:-}") | $(ms "${P50[$k]:-}") |" \
                    "$(ms "${P99[$k]:-}") | $(cell "${ERRS[$k]:-}") |"
            done
        done
    done
    echo
    echo "tinyproxy closes the client connection after every response while answering HTTP/1.1"
    echo "without \"Connection: close\", so with keep-alive wrk counts about one read error per"
    echo "request and reconnects: those requests did complete; its figures include a new connection"
    echo "for each."
    echo
    echo "### 100 MiB response (curl; median of $RUNS downloads)"
    echo
    big_row() { # LABEL REQUEST
        echo -n "| ${1%-connect} | $2 | $(cell "${SPEED[$1]:-}") |"
        [ "$CC" = "$MACHINE_CC" ] && echo || echo " $(cell "${SPEED_MACHINE[$1]:-}") |"
    }
    if [ "$CC" = "$MACHINE_CC" ]; then
        echo "| Path | Request | MiB/s |"
        echo "| --- | --- | ---: |"
    else
        echo "| Path | Request | MiB/s | MiB/s, $MACHINE_CC |"
        echo "| --- | --- | ---: | ---: |"
    fi
    big_row direct GET
    big_row forwarded "GET, no proxy"
    for label in gateway "${PEERS[@]}"; do big_row "$label" "GET through the proxy"; done
    for label in gateway "${PEERS[@]}"; do big_row "$label-connect" "CONNECT tunnel (curl --proxytunnel)"; done
    echo
    echo "### Memory (VmRSS)"
    echo
    echo "| Proxy | At rest | $SLOTS slow connections open | Growth a connection | Peak during the $MAX_CONNS-connection runs |"
    echo "| --- | ---: | ---: | ---: | ---: |"
    for label in gateway "${PEERS[@]}"; do
        read -r idle held <<< "${SLOT_RSS[$label]}"
        echo "| $label | $(mib "$idle") | $(mib "$held") |" \
            "$(awk -v i="$idle" -v h="$held" -v n="$SLOTS" 'BEGIN { printf "%.1f KiB", (h - i) / n }') |" \
            "$(mib "${PEAK_RSS[$label]:-}") |"
    done
    echo
    echo "A slow connection sends a request head one byte a second, so every proxy holds it open"
    echo "without an answer; the growth is measured before any load, on a fresh process."
    read -r rest_all rest_pipes busy_all busy_pipes limit <<< "$FDS"
    echo
    echo "### Gateway descriptors"
    echo
    echo "| | All | Pipes |"
    echo "| --- | ---: | ---: |"
    echo "| At rest | ${rest_all:-n/a} | ${rest_pipes:-n/a} |"
    echo "| $BUSY_TUNNELS CONNECT tunnels carrying 100 MiB at once (peak) | ${busy_all:-n/a} | ${busy_pipes:-n/a} |"
    echo "| The process's limit | ${limit:-n/a} | |"
    if [ -n "$PROFILE_TEXT" ]; then
        echo
        echo "### Gateway profile"
        echo
        [ "$SLOW" = 1 ] && echo "A requests-per-second target was missed."
        echo "A 10 s wrk run ($(mode_text "${MODES[0]}")) at $MAX_CONNS connections through the gateway under a profiler:"
        echo
        echo '```'
        echo "$PROFILE_TEXT"
        echo '```'
    fi
} > "$WORK_DIR/results.md"

# The figures for bench/plot.sh.
{
    printf 'kind\tpath\tmode\tconnections\tvalue\tp50_us\tp99_us\n'
    for mode in "${MODES[@]}"; do
        for label in "${PATHS[@]}"; do
            for c in $CONNECTIONS; do
                k=$label,$mode,$c
                printf 'rps\t%s\t%s\t%s\t%s\t%s\t%s\n' "$label" "$mode" "$c" "${RPS[$k]:-0}" \
                    "${P50[$k]:-0}" "${P99[$k]:-0}"
            done
        done
    done
    for label in "${BIG_PATHS[@]}"; do
        printf 'mibps\t%s\t-\t1\t%s\t0\t0\n' "$label" "$(speed_num "$label")"
    done
} > "$WORK_DIR/results.tsv"

cat "$WORK_DIR/results.md"
cp "$WORK_DIR/results.md" "$RESULTS" && say "written to $RESULTS"
cp "$WORK_DIR/results.tsv" "${RESULTS%.md}.tsv" && say "figures in ${RESULTS%.md}.tsv"
bash "$BENCH_DIR/plot.sh" "${RESULTS%.md}.tsv" "$(dirname "$RESULTS")/results.png" ||
    say "no plot drawn"
