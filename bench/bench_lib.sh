# Shared by the benchmarks (bench/proxy_bench.sh, bench/dhcp_bench.sh): messages, medians,
# package installs that start no service, and profiling the gateway in the lab.
# shellcheck shell=bash

say() { echo "bench: $*" >&2; }
die() {
    say "$*"
    exit 1
}

# median NUMBERS...: the middle value (the lower middle for an even count).
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# bench_install PACKAGE...: apt-get install. Debian's packages would start their services on
# the host; a policy file forbids that for the install, unless one is in place already.
bench_install() {
    [ $# -eq 0 ] && return 0
    local policy=/usr/sbin/policy-rc.d made_policy=0 code=0
    say "installing $*"
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' > "$policy" && chmod 755 "$policy" && made_policy=1
    fi
    timeout 600 apt-get update -q > /dev/null &&
        DEBIAN_FRONTEND=noninteractive timeout 600 apt-get install -y -q --no-install-recommends \
            "$@" > /dev/null || code=$?
    [ "$made_policy" = 1 ] && rm -f "$policy"
    [ "$code" = 0 ] || die "apt-get install $* failed"
}

# bench_profiler: "perf" where hardware counters work, else "callgrind" when valgrind is there.
bench_profiler() {
    if perf stat -e instructions true > /dev/null 2>&1 &&
        ! perf stat -e instructions true 2>&1 | grep -q 'not supported'; then
        echo perf
    elif command -v valgrind > /dev/null; then
        echo callgrind
    fi
}

# bench_start_profiled_gateway TOOL BINARY OUT: the gateway in the lab, under callgrind (counting
# switched off until callgrind_control turns it on) or plain for perf.
bench_start_profiled_gateway() {
    local tool=$1 binary=$2 out=$3 wrapper="$3.gateway"
    if [ "$tool" = callgrind ]; then
        printf '#!/bin/sh\nexec valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file=%s %s "$@"\n' \
            "$out" "$binary" > "$wrapper"
        chmod 755 "$wrapper"
        binary=$wrapper
    fi
    lab_start_gateway "$binary"
}

# bench_profile_report TOOL OUT: ends the profiled gateway and prints its top functions (self
# and inclusive cost). callgrind writes its file when the gateway ends, which takes a while.
bench_profile_report() {
    local tool=$1 out=$2 pid=$LAB_GATEWAY_PID i
    if [ "$tool" = perf ]; then
        perf report -i "$out" --stdio --no-children --sort symbol 2> /dev/null | grep -v '^#' |
            grep '%' | head -n 25
        return 0
    fi
    LAB_GATEWAY_PID=""
    # The load ends here: the shutdown (the firewall table and the connection tracking entries
    # of paid clients removed, a dump of the whole table) is no part of it.
    callgrind_control -i off "$pid" > /dev/null 2>&1
    kill -TERM "$pid" 2> /dev/null
    for ((i = 0; i < 600; i++)); do
        kill -0 "$pid" 2> /dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2> /dev/null
    wait "$pid" 2> /dev/null
    [ -s "$out" ] || { echo "(callgrind wrote no profile)"; return 0; }
    # Counts and names only, shortened: the lines are for reading, not for tools.
    local rows='/^ *[0-9][0-9,]* \(/ { sub(/ \[[^]]*\]$/, ""); print }'
    echo "Self cost, top functions:"
    callgrind_annotate --inclusive=no "$out" 2> /dev/null | awk "$rows" | head -n 26 | cut -c1-150
    echo
    echo "Inclusive cost, top functions:"
    callgrind_annotate --inclusive=yes "$out" 2> /dev/null | awk "$rows" | head -n 40 |
        cut -c1-150
}

# bench_instructions OUT: the instructions counted in a callgrind file.
bench_instructions() {
    callgrind_annotate "$1" 2> /dev/null | awk '/PROGRAM TOTALS/ { gsub(/,/, "", $1); print $1 }'
}

# version PACKAGE: its installed Debian version.
version() { dpkg-query -W -f '${Version}' "$1" 2> /dev/null || echo "?"; }

# bench_facts: commit, build_type and cpu of this run (the measured gateway's checkout and build).
bench_facts() {
    commit=$(git -C "$REPO" rev-parse --short HEAD 2> /dev/null || echo unknown)
    git -C "$REPO" diff --quiet HEAD -- src 2> /dev/null || commit="$commit (src/ modified)"
    build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$(dirname "$GATEWAY")/CMakeCache.txt" \
        2> /dev/null)
    cpu=$(awk -F': *' '/^model name/ { print $2; exit }' /proc/cpuinfo)
}
