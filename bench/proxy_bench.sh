#!/bin/bash
# Measures the gateway's web proxy against a direct connection and against Debian's tinyproxy,
# in the lab network (lab/lab.sh): requests per second and latency for a 1 KiB response, the
# throughput of a 100 MiB response (plain GET and through a CONNECT tunnel), and the gateway's
# memory. Run by hand; it is no part of the test suite.
#
# Usage (as root, from anywhere):
#   bench/proxy_bench.sh [GATEWAY-BINARY]     # default: build/tarnix-gateway of this repo
# Build the measured binary with -DCMAKE_BUILD_TYPE=Release. Missing tools (wrk, tinyproxy,
# nginx-light, curl) are installed with apt-get. One run takes about 6 minutes with the
# defaults; the table is printed and written to bench/results.md (BENCH_RESULTS overrides).
#
# Settings (environment):
#   BENCH_DURATION=10        seconds of each wrk run
#   BENCH_RUNS=3             wrk runs per figure (and curl downloads per figure); medians shown
#   BENCH_CONNECTIONS="1 50 250"
#   BENCH_GATEWAY_ENV=""     NAME=VALUE words put in the gateway's environment (e.g. QT_NO_GLIB=1)
#   BENCH_PROFILE=auto       auto: profile the gateway when its proxy serves fewer than half of
#                            tinyproxy's requests per second; always; never
#   LAB_KEEP=1               keeps the lab's and the bench's files (logs, configuration)
#
# The set-up: nginx on the Internet host (origin.lab, 10.99.0.2, ports 80 and 443, plain HTTP
# on both) serves 1k.bin and 100m.bin; the lab's reference provider service runs beside it as
# provider.lab. One LAN client takes a lease from the gateway, "unlimited" is bought for
# its MAC, the client asks for /refresh, and a page must come through before anything is
# measured. tinyproxy runs as a plain forward proxy on 192.168.11.1:8888 in the gateway host.
# LAN clients reach the Internet only through a proxy, so "direct" is measured from the
# gateway host itself. Load generator, proxies and origin share this machine's cores.
set -uo pipefail

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO=$(cd "$BENCH_DIR/.." && pwd)
GATEWAY=${1:-$REPO/build/tarnix-gateway}
DURATION=${BENCH_DURATION:-10}
RUNS=${BENCH_RUNS:-3}
CONNECTIONS=${BENCH_CONNECTIONS:-1 50 250}
PROFILE=${BENCH_PROFILE:-auto}
GATEWAY_ENV=${BENCH_GATEWAY_ENV:-}
RESULTS=${BENCH_RESULTS:-$BENCH_DIR/results.md}

CLIENT=c1
CLIENT_MAC=02:00:00:00:be:01
GW_PROXY=192.168.11.1:8080
TINY_PROXY=192.168.11.1:8888
BIG_BYTES=$((100 * 1024 * 1024))

say() { echo "bench: $*" >&2; }
die() {
    say "$*"
    exit 1
}

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
    if ! [[ $c =~ ^[1-9][0-9]{0,3}$ ]] || ((c > 280)); then
        die "BENCH_CONNECTIONS: $c (the gateway has 300 slots; at most 280 are used here)"
    fi
done

# --- tools -------------------------------------------------------------------------------------

# Installs what is missing. Debian's packages would start their services on the host; a policy
# file forbids that for the install, unless one is in place already.
install_tools() {
    local missing=() policy=/usr/sbin/policy-rc.d made_policy=0 code=0
    command -v wrk > /dev/null || missing+=(wrk)
    command -v tinyproxy > /dev/null || missing+=(tinyproxy)
    command -v nginx > /dev/null || missing+=(nginx-light)
    command -v curl > /dev/null || missing+=(curl)
    for tool in ip ss busybox python3 timeout awk; do
        command -v "$tool" > /dev/null || die "$tool is missing (scripts/install-deps.sh)"
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    say "installing ${missing[*]}"
    if [ ! -e "$policy" ]; then
        # shellcheck disable=SC2064 # the path is fixed now
        trap "rm -f '$policy'" EXIT
        printf '#!/bin/sh\nexit 101\n' > "$policy" && chmod 755 "$policy" && made_policy=1
    fi
    timeout 600 apt-get update -q > /dev/null &&
        DEBIAN_FRONTEND=noninteractive timeout 600 apt-get install -y -q --no-install-recommends \
            "${missing[@]}" > /dev/null || code=$?
    if [ "$made_policy" = 1 ]; then
        rm -f "$policy"
        trap - EXIT
    fi
    [ "$code" = 0 ] || die "apt-get install ${missing[*]} failed"
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
        root $www;
    }
}
EOF
    lab_net_start nginx nginx -e "$WORK_DIR/nginx.err" -c "$conf"
    SERVICE_PID[nginx]=$LAB_LAST_PID
    if ! lab_wait 15 lab_listening net -lnt 80 || ! lab_wait 5 lab_listening net -lnt 443; then
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

# The client leases an address, "unlimited" is bought for its MAC at the provider (through the
# proxy, as the client's browser would; from the gateway host should that fail) and the gateway
# reloads the provider page; then a page must come through its proxy.
pay_for_client() {
    local ip got i purchase="http://$LAB_PROVIDER_HOST/gateway/purchase"
    if ! lab_udhcpc "$CLIENT"; then
        say "$CLIENT got no lease: $(tail -n 5 "$LAB_DIR/$CLIENT.udhcpc.log")"
        return 1
    fi
    ip=$(lab_lease_value "$LAB_DIR/$CLIENT.udhcpc.lease" ip)
    say "$CLIENT ($CLIENT_MAC) leased $ip"
    got=$(fetch "$CLIENT" "$GW_PROXY" "$purchase" --data-urlencode "id=$LAB_PROVIDER_ID" \
        --data "mac=$(lab_client_mac_hex "$CLIENT")&plan=unlimited")
    if [ "${got%% *}" != 200 ]; then
        say "the purchase through the gateway failed ('$got'); buying from the gateway host"
        got=$(lab_in gw curl -s --max-time 10 -o /dev/null -w '%{http_code}' \
            --data-urlencode "id=$LAB_PROVIDER_ID" \
            --data "mac=$(lab_client_mac_hex "$CLIENT")&plan=unlimited" "$purchase")
        [ "$got" = 200 ] || { say "the purchase was refused (HTTP $got)"; return 1; }
    fi
    for ((i = 0; i < 10; i++)); do
        fetch "$CLIENT" "$GW_PROXY" "http://${GW_PROXY}/refresh" > /dev/null
        sleep 1
        got=$(fetch "$CLIENT" "$GW_PROXY" http://origin.lab/1k.bin)
        [ "$got" = "200 1024" ] && { say "a page comes through the gateway for $ip"; return 0; }
    done
    say "no page came through the gateway for the paid client (last answer: '$got'); see" \
        "$LAB_DIR/gateway.err (LAB_KEEP=1 keeps it)"
    return 1
}

# --- measuring -----------------------------------------------------------------------------------

# The wrk script: absolute-form target for a proxy, origin-form for the origin itself, and one
# machine-readable line at the end.
write_wrk_script() { # FILE PATH
    cat > "$1" <<EOF
wrk.path = "$2"
wrk.headers["Host"] = "origin.lab"
function done(summary, latency, requests)
    local e = summary.errors
    io.write(string.format("BENCH %d %d %d %d %d %d %d %d %d\\n", summary.requests,
        summary.duration, latency:percentile(50), latency:percentile(99),
        e.connect, e.read, e.write, e.status, e.timeout))
end
EOF
}

# median NUMBERS...: the middle value (the lower middle for an even count).
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# Long commands run in the foreground with their output in files, never inside $(...): bash
# drops a Ctrl+C that arrives during a command substitution, and the lab's traps would miss it.

# wrk_once HOST SCRIPT URL CONNECTIONS: WRK_RESULT becomes "RPS P50_US P99_US ERRORS DETAIL"
# of one run ("-" for each when it failed); DETAIL is connect/read/write/status/timeout errors.
wrk_once() {
    local host=$1 script=$2 url=$3 conns=$4 threads=2
    ((conns < threads)) && threads=$conns
    WRK_RESULT="- - - - -"
    lab_in "$host" bash -c 'ulimit -n 65536; exec "$@"' wrk \
        timeout $((DURATION + 30)) wrk -t "$threads" -c "$conns" -d "${DURATION}s" \
        --timeout 5s -s "$script" "$url" > "$WORK_DIR/wrk.out" 2>&1
    grep -q '^BENCH ' "$WORK_DIR/wrk.out" || return 0
    WRK_RESULT=$(awk '/^BENCH / { printf "%.0f %d %d %d %d/%d/%d/%d/%d\n", $2 / ($3 / 1e6), $4,
                      $5, $6 + $7 + $8 + $9 + $10, $6, $7, $8, $9, $10 }' "$WORK_DIR/wrk.out")
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

declare -A RPS=() P50=() P99=() ERRS=()
MEM_SAMPLE_PID=""

# measure_wrk: every path at every connection count, RUNS times each; medians kept. The paths
# take turns within each round, so a slow spell of the machine falls on all of them alike.
declare -A WRK_HOST=() WRK_SCRIPT=() WRK_URL=()
measure_wrk() {
    local conns run label r
    local -A rps=() p50=() p99=()
    for conns in $CONNECTIONS; do
        rps=() p50=() p99=()
        for label in "${PATHS[@]}"; do ERRS[$label,$conns]=0; done
        for ((run = 1; run <= RUNS; run++)); do
            for label in "${PATHS[@]}"; do
                [ "$label" = gateway ] && ((conns == MAX_CONNS)) && start_memory_sampling
                wrk_once "${WRK_HOST[$label]}" "${WRK_SCRIPT[$label]}" "${WRK_URL[$label]}" \
                    "$conns"
                read -r -a r <<< "$WRK_RESULT"
                [ "$label" = gateway ] && ((conns == MAX_CONNS)) && stop_memory_sampling
                check_services
                say "$label, $conns connections, run $run: ${r[0]} requests/s, p50 ${r[1]} us," \
                    "p99 ${r[2]} us, ${r[3]} errors (connect/read/write/status/timeout ${r[4]})"
                sleep 1 # lets the connections of this run close before the next
                if [ "${r[0]}" = - ]; then
                    ERRS[$label,$conns]=-
                    continue
                fi
                rps[$label]+=" ${r[0]}" p50[$label]+=" ${r[1]}" p99[$label]+=" ${r[2]}"
                [ "${ERRS[$label,$conns]}" != - ] &&
                    ERRS[$label,$conns]=$((ERRS[$label,$conns] + r[3]))
            done
        done
        for label in "${PATHS[@]}"; do
            [ -n "${rps[$label]:-}" ] || continue
            # shellcheck disable=SC2086 # the lists are split into their numbers
            RPS[$label,$conns]=$(median ${rps[$label]}) P50[$label,$conns]=$(median ${p50[$label]}) \
                P99[$label,$conns]=$(median ${p99[$label]})
        done
    done
}

# Samples the gateway's resident set and its proxy connections while wrk runs.
start_memory_sampling() {
    (
        rss=0 conns=0
        while kill -0 "$LAB_GATEWAY_PID" 2> /dev/null; do
            now=$(awk '/^VmRSS:/ { print $2 }' "/proc/$LAB_GATEWAY_PID/status" 2> /dev/null)
            [ -n "$now" ] && ((now > rss)) && rss=$now
            n=$(lab_in gw ss -Htn state established "( sport = :8080 )" 2> /dev/null | wc -l)
            ((n > conns)) && conns=$n
            echo "$rss $conns" > "$WORK_DIR/memory.sample"
            sleep 0.5
        done
    ) &
    MEM_SAMPLE_PID=$!
    lab_track "$MEM_SAMPLE_PID"
}

PEAK_RSS_SAMPLED=0
PEAK_CONNS=0
stop_memory_sampling() {
    [ -n "$MEM_SAMPLE_PID" ] || return 0
    kill "$MEM_SAMPLE_PID" 2> /dev/null
    wait "$MEM_SAMPLE_PID" 2> /dev/null
    MEM_SAMPLE_PID=""
    local rss conns
    read -r rss conns < "$WORK_DIR/memory.sample" 2> /dev/null || return 0
    ((rss > PEAK_RSS_SAMPLED)) && PEAK_RSS_SAMPLED=$rss
    ((conns > PEAK_CONNS)) && PEAK_CONNS=$conns
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

# --- profiling -----------------------------------------------------------------------------------

PROFILE_TEXT=""

# Runs the gateway again under callgrind (or perf where hardware counters work) for a short
# load at the largest connection count and keeps its top functions.
profile_gateway() {
    local tool conns=$MAX_CONNS out="$WORK_DIR/callgrind.out" wrapper="$WORK_DIR/gateway-profiled"
    if perf stat -e instructions true > /dev/null 2>&1 &&
        ! perf stat -e instructions true 2>&1 | grep -q 'not supported'; then
        tool=perf
    elif command -v valgrind > /dev/null; then
        tool=callgrind
    else
        PROFILE_TEXT="(no profiler: neither perf with hardware counters nor valgrind)"
        return 0
    fi
    say "profiling the gateway with $tool ($conns connections, 10 s)"
    lab_stop_gateway
    if [ "$tool" = callgrind ]; then
        printf '#!/bin/sh\nexec valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file=%s %s "$@"\n' \
            "$out" "$GATEWAY" > "$wrapper"
        chmod 755 "$wrapper"
        lab_start_gateway "$wrapper" || return 1
    else
        lab_start_gateway "$GATEWAY" || return 1
    fi
    pay_for_client || return 1
    if [ "$tool" = perf ]; then
        perf record -q -g -o "$WORK_DIR/perf.data" -p "$LAB_GATEWAY_PID" -- sleep 12 \
            > /dev/null 2>&1 &
        local perf_pid=$!
        lab_track "$perf_pid"
    fi
    # Start-up and the purchase are left out of the counts (so the inclusive costs of the
    # outermost frames are short of the whole).
    if [ "$tool" = callgrind ] && ! callgrind_control -i on "$LAB_GATEWAY_PID" > /dev/null 2>&1; then
        PROFILE_TEXT="(callgrind_control could not switch the counting on)"
        return 0
    fi
    local saved=$DURATION
    DURATION=10
    wrk_once "$CLIENT" "$WORK_DIR/proxy.lua" "http://$GW_PROXY/" "$conns"
    DURATION=$saved
    if [ "$tool" = perf ]; then
        wait "$perf_pid"
        PROFILE_TEXT=$(perf report -i "$WORK_DIR/perf.data" --stdio --no-children \
            --sort symbol 2> /dev/null | grep -v '^#' | grep '%' | head -n 25)
        return 0
    fi
    # callgrind writes its file when the gateway ends; that takes a while under valgrind.
    local pid=$LAB_GATEWAY_PID i
    LAB_GATEWAY_PID=""
    kill -TERM "$pid" 2> /dev/null
    for ((i = 0; i < 600; i++)); do
        kill -0 "$pid" 2> /dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2> /dev/null
    wait "$pid" 2> /dev/null
    [ -s "$out" ] || { PROFILE_TEXT="(callgrind wrote no profile)"; return 0; }
    # Counts and names only, shortened: the lines are for reading, not for tools.
    local self inclusive rows='/^ *[0-9][0-9,]* \(/ { sub(/ \[[^]]*\]$/, ""); print }'
    self=$(callgrind_annotate --inclusive=no "$out" 2> /dev/null | awk "$rows" | head -n 26 |
        cut -c1-150)
    inclusive=$(callgrind_annotate --inclusive=yes "$out" 2> /dev/null | awk "$rows" |
        head -n 40 | cut -c1-150)
    PROFILE_TEXT="callgrind, instructions counted from the start of the load (wrk: ${WRK_RESULT%% *} requests/s under valgrind).

Self cost, top functions:
$self

Inclusive cost, top functions:
$inclusive"
}

# --- the run -------------------------------------------------------------------------------------

MAX_CONNS=0
for c in $CONNECTIONS; do ((c > MAX_CONNS)) && MAX_CONNS=$c; done

lab_up || die "the lab did not come up"
# The bench's own files (origin pages, configurations, outputs) live apart from the lab's.
WORK_DIR=$(mktemp -d /tmp/tarnix-bench.XXXXXX) || die "no work directory"
finish() {
    lab_down
    if [ "${LAB_KEEP:-0}" = 1 ]; then
        say "kept $WORK_DIR"
    else
        rm -rf "$WORK_DIR"
    fi
}
trap finish EXIT
start_origin || die "no origin"
declare -F lab_start_provider > /dev/null ||
    die "lab/lab.sh has no lab_start_provider (an older lab); update it"
# shellcheck disable=SC2119 # the lab's operator account is the one wanted
lab_start_provider || die "no provider service"
lab_add_client "$CLIENT" "$CLIENT_MAC" || die "no client"
lab_start_gateway "$GATEWAY" || die "the gateway did not start"
pay_for_client || die "the gateway does not relay yet for a paid client; nothing measured"
start_tinyproxy || die "no tinyproxy"
got=$(fetch "$CLIENT" "$TINY_PROXY" http://origin.lab/1k.bin)
[ "$got" = "200 1024" ] || die "no page through tinyproxy ($got)"
got=$(fetch gw "" http://origin.lab/1k.bin)
[ "$got" = "200 1024" ] || die "no page from the origin directly ($got)"

write_wrk_script "$WORK_DIR/direct.lua" /1k.bin
write_wrk_script "$WORK_DIR/proxy.lua" http://origin.lab/1k.bin

sleep 2
IDLE_RSS=$(gateway_status VmRSS)
IDLE_HWM=$(gateway_status VmHWM)
say "gateway at idle: VmRSS $IDLE_RSS kB, VmHWM $IDLE_HWM kB"

LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
STARTED=$(date +%s)
PATHS=(direct gateway tinyproxy)
WRK_HOST=([direct]=gw [gateway]=$CLIENT [tinyproxy]=$CLIENT)
WRK_SCRIPT=([direct]=$WORK_DIR/direct.lua [gateway]=$WORK_DIR/proxy.lua [tinyproxy]=$WORK_DIR/proxy.lua)
WRK_URL=([direct]=http://origin.lab/ [gateway]=http://$GW_PROXY/ [tinyproxy]=http://$TINY_PROXY/)
measure_wrk
LOAD_HWM=$(gateway_status VmHWM)
say "gateway after the wrk runs: VmHWM $LOAD_HWM kB (sampled VmRSS peak $PEAK_RSS_SAMPLED kB," \
    "$PEAK_CONNS connections seen)"

BIG=http://origin.lab/100m.bin
TUNNELED=http://origin.lab:443/100m.bin
BIG_PATHS=(direct gateway tinyproxy gateway-connect tinyproxy-connect)
BIG_HOST=([direct]=gw [gateway]=$CLIENT [tinyproxy]=$CLIENT [gateway-connect]=$CLIENT
    [tinyproxy-connect]=$CLIENT)
BIG_ARGS=([direct]=$BIG [gateway]="-x http://$GW_PROXY $BIG" [tinyproxy]="-x http://$TINY_PROXY $BIG"
    [gateway-connect]="-p -x http://$GW_PROXY $TUNNELED"
    [tinyproxy-connect]="-p -x http://$TINY_PROXY $TUNNELED")
measure_big
FINAL_HWM=$(gateway_status VmHWM)
ELAPSED=$(($(date +%s) - STARTED))
LOAD_AFTER=$(cut -d' ' -f1-3 /proc/loadavg)

# --- report --------------------------------------------------------------------------------------

cell() { [ -n "${1:-}" ] && echo "$1" || echo "n/a"; }
ms() { [ -n "${1:-}" ] && awk -v u="$1" 'BEGIN { printf "%.2f", u / 1000 }' || echo "n/a"; }
mib() { [ -n "${1:-}" ] && awk -v k="$1" 'BEGIN { printf "%.1f MiB", k / 1024 }' || echo "n/a"; }

SLOW=0
for c in $CONNECTIONS; do
    g=${RPS[gateway,$c]:-0} t=${RPS[tinyproxy,$c]:-0}
    ((t > 0 && g * 2 < t)) && SLOW=1
done
if [ "$PROFILE" = always ] || { [ "$PROFILE" = auto ] && [ "$SLOW" = 1 ]; }; then
    profile_gateway || PROFILE_TEXT="(profiling failed; LAB_KEEP=1 keeps the logs)"
fi

commit=$(git -C "$REPO" rev-parse --short HEAD 2> /dev/null || echo unknown)
git -C "$REPO" diff --quiet HEAD -- src 2> /dev/null || commit="$commit (src/ modified)"
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$(dirname "$GATEWAY")/CMakeCache.txt" \
    2> /dev/null)
cpu=$(awk -F': *' '/^model name/ { print $2; exit }' /proc/cpuinfo)
version() { dpkg-query -W -f '${Version}' "$1" 2> /dev/null || echo "?"; }

{
    echo "## Proxy benchmark"
    echo
    echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC'); $ELAPSED s of measuring; load average as it"
    echo "  began: $LOAD_BEFORE, as it ended: $LOAD_AFTER (the run itself adds about 4; more is"
    echo "  other work on the machine, which skews every figure)"
    echo "- Machine: $(nproc) CPUs (${cpu:-unknown CPU}), Linux $(uname -r), $(awk '/^MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)"
    echo "- Gateway: $GATEWAY, commit $commit, build type ${build_type:-unknown}${GATEWAY_ENV:+, run with $GATEWAY_ENV}"
    echo "- Tools: wrk $(version wrk), tinyproxy $(version tinyproxy), nginx $(version nginx-light)," \
        "curl $(version curl)"
    echo "- Load generator, proxies and origin (nginx) all run on this machine, in network namespaces;"
    echo "  they share its CPUs, so the figures compare the paths with each other, not with other hardware."
    echo "- direct: the load generator runs in the gateway host itself, fetching from the origin"
    echo "  (LAN clients cannot reach the Internet side except through a proxy). gateway and tinyproxy:"
    echo "  from a paid LAN client through the proxy (gateway: $GW_PROXY, tinyproxy: $TINY_PROXY)."
    echo
    echo "### 1 KiB response, keep-alive (wrk -t 2 -d ${DURATION}s; median of $RUNS runs)"
    echo
    echo "| Path | Connections | Requests/s | p50 latency (ms) | p99 latency (ms) | Errors (all runs) |"
    echo "| --- | ---: | ---: | ---: | ---: | ---: |"
    for label in "${PATHS[@]}"; do
        for c in $CONNECTIONS; do
            echo "| $label | $c | $(cell "${RPS[$label,$c]:-}") | $(ms "${P50[$label,$c]:-}") |" \
                "$(ms "${P99[$label,$c]:-}") | $(cell "${ERRS[$label,$c]:-}") |"
        done
    done
    echo
    echo "tinyproxy closes the client connection after every response while answering HTTP/1.1"
    echo "without \"Connection: close\", so wrk counts about one read error per request and"
    echo "reconnects: those requests did complete; its figures include a new connection for each."
    echo
    echo "### 100 MiB response (curl; median of $RUNS downloads)"
    echo
    echo "| Path | Request | MiB/s |"
    echo "| --- | --- | ---: |"
    echo "| direct | GET | $(cell "${SPEED[direct]:-}") |"
    echo "| gateway | GET through the proxy | $(cell "${SPEED[gateway]:-}") |"
    echo "| tinyproxy | GET through the proxy | $(cell "${SPEED[tinyproxy]:-}") |"
    echo "| gateway | CONNECT tunnel (curl --proxytunnel) | $(cell "${SPEED[gateway-connect]:-}") |"
    echo "| tinyproxy | CONNECT tunnel (curl --proxytunnel) | $(cell "${SPEED[tinyproxy-connect]:-}") |"
    echo
    echo "### Gateway memory"
    echo
    echo "| When | Figure | Value |"
    echo "| --- | --- | ---: |"
    echo "| idle, before any load | VmRSS | $(mib "$IDLE_RSS") |"
    echo "| after the wrk runs ($MAX_CONNS connections the most; $PEAK_CONNS proxy connections seen at once) | VmHWM (peak RSS) | $(mib "$LOAD_HWM") |"
    echo "| during the $MAX_CONNS-connection runs | VmRSS, highest sample (every 0.5 s) | $(mib "$PEAK_RSS_SAMPLED") |"
    echo "| after the 100 MiB downloads too | VmHWM (peak RSS) | $(mib "$FINAL_HWM") |"
    echo
    echo "The kernel updates VmHWM lazily, so a sampled VmRSS can exceed it slightly."
    if [ -n "$PROFILE_TEXT" ]; then
        echo
        echo "### Gateway profile"
        echo
        if [ "$SLOW" = 1 ]; then
            echo "The gateway served fewer than half of tinyproxy's requests per second."
        fi
        echo "A 10 s wrk run at $MAX_CONNS connections through the gateway under a profiler:"
        echo
        echo '```'
        echo "$PROFILE_TEXT"
        echo '```'
    fi
} > "$WORK_DIR/results.md"

cat "$WORK_DIR/results.md"
cp "$WORK_DIR/results.md" "$RESULTS" && say "written to $RESULTS"
