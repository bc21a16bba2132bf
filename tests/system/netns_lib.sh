# Shared by the system tests: root check, network namespaces with names unique to this run,
# and clean-up of everything the test started, by PID.
# shellcheck shell=bash

TEST_ID="$$-$RANDOM"
NAMESPACES=()
STARTED_PIDS=()
WORK_DIR=$(mktemp -d "/tmp/tarnix-test.XXXXXX")

# shellcheck source=require_root.sh
. "$(dirname "${BASH_SOURCE[0]}")/require_root.sh"

cleanup() {
    local pid ns
    for pid in "${STARTED_PIDS[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${STARTED_PIDS[@]}"; do
        for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$pid" 2>/dev/null || true
    done
    for ns in "${NAMESPACES[@]}"; do
        ip netns del "$ns" 2>/dev/null || true
    done
    rm -rf "$WORK_DIR"
}
trap cleanup EXIT

# new_ns VAR NAME-PART: creates a namespace with loopback up and stores its full name in VAR.
# (Not through $(...): the list of namespaces to remove must grow in this shell.)
new_ns() {
    local ns="tg-$2-$TEST_ID"
    ip netns add "$ns"
    NAMESPACES+=("$ns")
    ip -n "$ns" link set lo up
    printf -v "$1" '%s' "$ns"
}

# link_ns NS-A IF-A NS-B IF-B: a veth pair between two namespaces, both ends up.
link_ns() {
    ip link add "$2" netns "$1" type veth peer name "$4" netns "$3"
    ip -n "$1" link set "$2" up
    ip -n "$3" link set "$4" up
}

# wait_for SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds or time is up.
wait_for() {
    local limit=$(( $1 * 10 )) i
    shift
    for i in $(seq 1 "$limit"); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
