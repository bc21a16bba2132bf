# Sourced by the system tests: they build network namespaces, which takes root. Outside CI a
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
