#!/bin/bash
# Builds the libFuzzer targets (clang with address and undefined-behaviour sanitizers) in a
# build directory of their own, replays the saved crash inputs, then runs each target for
# SECONDS on a scratch copy of its seed corpus. Installs nothing (scripts/install-deps.sh does).
# Usage: fuzz/run.sh SECONDS [target...]; exits non-zero when any target crashes.
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${TARNIX_FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${1:?usage: fuzz/run.sh SECONDS [target...]}
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(dhcp_message dhcp_server request_head chunked_body
    proxy_stream allowance_feed profile_file)
command -v clang++ >/dev/null || { echo "fuzz: clang++ missing (run scripts/install-deps.sh)"; exit 1; }

scratch=$(mktemp -d /tmp/tarnix-fuzz.XXXXXX)
if [ ! -f "$build/CMakeCache.txt" ] &&
    ! cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTARNIX_FUZZ=ON -DTARNIX_WERROR=OFF >"$scratch/configure.log" 2>&1; then
    tail -n 40 "$scratch/configure.log"; echo "fuzz: configure failed"; exit 1
fi
if ! cmake --build "$build" -j"$(nproc)" --target "${targets[@]/#/fuzz_}" >"$scratch/build.log" 2>&1; then
    grep -m 20 -E "error|Error" "$scratch/build.log"; echo "fuzz: build failed"; exit 1
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
failed=0
for t in "${targets[@]}"; do
    work=$scratch/$t
    mkdir -p "$work/corpus" "$work/crash"
    cp "$here/corpus/$t"/* "$work/corpus/" 2>/dev/null
    regressions=("$here"/regressions/"$t"-*)
    if [ -e "${regressions[0]}" ] &&
        ! "$build/fuzz/fuzz_$t" "${regressions[@]}" >"$work/regressions.log" 2>&1; then
        echo "fuzz $t: FAILED on a saved input (fuzz/regressions/$t-*), log $work/regressions.log"
        failed=1
        continue
    fi
    "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
        -print_final_stats=1 -artifact_prefix="$work/crash/" "$work/corpus" >"$work/log" 2>&1 &
    pid=$!
    wait "$pid"; rc=$?
    rm -rf "/dev/shm/tarnix-fuzz-profile-$pid" "/tmp/tarnix-fuzz-profile-$pid" # profile_file scratch
    runs=$(awk '/stat::number_of_executed_units/ {print $2}' "$work/log")
    cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$work/log" | tail -n 1)
    if [ "$rc" -eq 0 ]; then
        echo "fuzz $t: ok, ${runs:-0} runs in ${seconds}s ($(( ${runs:-0} / (seconds > 0 ? seconds : 1) ))/s), ${cov:-no coverage}, corpus $(ls "$work/corpus" | wc -l)"
    else
        echo "fuzz $t: CRASH (exit $rc), input in $work/crash, log $work/log"
        grep -m 1 -E "ERROR|runtime error|check failed" "$work/log"
        failed=1
    fi
done
[ "$failed" -eq 0 ] && rm -rf "$scratch"
exit "$failed"
