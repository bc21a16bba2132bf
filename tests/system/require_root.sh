# Sourced by the system tests. They build network namespaces, which takes root. Outside CI a
# test without root skips with its reason; CI runs as root, so there it fails instead.
# shellcheck shell=bash

require_root() {
    if [ "$(id -u)" -ne 0 ]; then
        if [ "${CI:-}" = "true" ]; then
            echo "FAIL: this test needs root to build network namespaces (CI=true, not skipping)"
            exit 1
        fi
        echo "SKIP: this test needs root to build network namespaces"
        exit 77
    fi
}

# require_tools NAME...: fails when a program the test runs is not installed.
require_tools() {
    local need
    for need in "$@"; do
        command -v "$need" > /dev/null ||
            { echo "FAIL: $need is missing (scripts/install-deps.sh installs it)"; exit 1; }
    done
}

# Steps of a system test: each prints PASS or FAIL with its time and counts its failures in
# FAILURES; problem prints why and fails.
FAILURES=0

now_ms() { echo $(($(date +%s%N) / 1000000)); }

# step NAME COMMAND...: runs one step in this shell (the lab's state must persist), timed.
step() {
    local start
    start=$(now_ms)
    echo "== $1"
    if "${@:2}"; then
        echo "PASS: $1 ($(($(now_ms) - start)) ms)"
    else
        echo "FAIL: $1 ($(($(now_ms) - start)) ms)"
        FAILURES=$((FAILURES + 1))
    fi
}

problem() {
    printf '  %s\n' "$@"
    return 1
}
