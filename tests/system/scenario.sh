# Sourced by every tests/system/*_test.sh: root and tools, the lab (lab/lab.sh) with the gateway
# under test, steps (require_root.sh), the verdict, and the helpers several scenarios use.
# shellcheck shell=bash disable=SC2034 # PEER and more are read by the scripts sourcing this

SYSTEM_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=require_root.sh
. "$SYSTEM_DIR/require_root.sh"
# shellcheck source=../../lab/lab.sh
. "$SYSTEM_DIR/../../lab/lab.sh"
PEER="$SYSTEM_DIR/peers.py"
GATEWAY="${TARNIX_BUILD_DIR:?TARNIX_BUILD_DIR is not set}/tarnix-gateway"

# scenario TOOL...: root, the tools, the gateway program and the lab, or the run ends here.
scenario() {
    require_root
    require_tools ip ss python3 timeout busybox curl openssl "$@"
    [ -x "$GATEWAY" ] || { echo "FAIL: no gateway program at $GATEWAY"; exit 1; }
    SECONDS=0
    lab_up || { echo "FAIL: could not build the lab"; exit 1; }
}

# setup WHAT COMMAND...: a part of the set-up, which must work or the run ends.
setup() {
    local what=$1
    shift
    "$@" || { echo "FAIL: $what"; exit 1; }
}

# finish [LOG...]: the verdict; after a failure the last lines of the logs (in $LAB_DIR) too.
finish() {
    echo "took $SECONDS s"
    [ "$FAILURES" -ne 0 ] || { echo "PASS: all steps"; exit 0; }
    local log
    for log in "$@" gateway.err; do
        echo "--- $log (last lines):"
        tail -n 25 "$LAB_DIR/$log" 2> /dev/null
    done
    echo "FAIL: $FAILURES step(s) failed"
    exit 1
}

# peer HOST COMMAND...: a command of peers.py in HOST's namespace, in the foreground.
peer() {
    local host=$1
    shift
    lab_in "$host" python3 "$PEER" "$@"
}

# peer_start HOST NAME COMMAND...: the same in the background, output in $LAB_DIR/NAME.log;
# its PID (the program's own) is left in LAB_LAST_PID and ended by lab_down.
peer_start() {
    local host=$1 name=$2
    shift 2
    ip netns exec "${LAB_NS[$host]}" python3 "$PEER" "$@" > "$LAB_DIR/$name.log" 2>&1 &
    LAB_LAST_PID=$!
    lab_track "$LAB_LAST_PID"
}

# server_start HOST NAME COMMAND...: a server of peers.py, waited for until it says "ready".
server_start() {
    peer_start "$@" && lab_wait 10 grep -q '^ready' "$LAB_DIR/$2.log" ||
        { lab_log "$2 did not start: $(cat "$LAB_DIR/$2.log")"; return 1; }
}

# above NUMBER COMMAND...: whether COMMAND prints a number above NUMBER.
above() {
    local number=$1
    shift
    [ "$("$@")" -gt "$number" ]
}

excerpt() { tr '\r\n' '  ' < "$1" 2> /dev/null | cut -c 1-300; }
leased_ip() { lab_lease_value "$LAB_DIR/$1.udhcpc.lease" ip; }
provider_pages() { grep -c 'GET /Gateway/ProviderBanner.asp' "$LAB_DIR/provider.log"; }

# lease NAME [UDHCPC OPTIONS...]: a lease for NAME from busybox udhcpc, or the reason.
lease() {
    lab_udhcpc "$@" || problem "no lease for $1: $(tail -n 3 "$LAB_DIR/$1.udhcpc.log")"
}

# expect_redirect NAME FILE: FILE is the page that sends NAME to its purchase page.
expect_redirect() {
    local target want
    target=$(lab_refresh_target "$2")
    want=$(lab_purchase_url "$1")
    [ "$target" = "$want" ] && ! grep -q "$LAB_ORIGIN_TEXT" "$2" ||
        problem "$1 was not sent to '$want': $(excerpt "$2")"
}

# chromium_shows NAME URL TEXT [FLAGS...]: headless Chromium on NAME ends on a DOM holding TEXT.
chromium_shows() {
    local name=$1 url=$2 text=$3 file="$LAB_DIR/$1.chromium.html" code=0
    shift 3
    lab_chromium_dump "$name" "$url" "$@" > "$file" || code=$?
    [ "$code" -eq 0 ] && grep -q "$text" "$file" ||
        problem "chromium exit $code; DOM: $(excerpt "$file")" "its messages (last lines):" \
            "$(grep -v 'dbus/bus.cc' "$LAB_CHROMIUM_DIR/stderr" | tail -n 8)" || return 1
    echo "  $name: the DOM holds \"$text\""
}

# ends_cleanly: the gateway ends on SIGTERM with exit code 0 and, in a sanitizer build (whose
# leak check can take seconds), no report.
ends_cleanly() {
    local pid=$LAB_GATEWAY_PID code=0
    LAB_GATEWAY_PID=""
    kill -TERM "$pid" 2> /dev/null || problem "the gateway had ended already" || return 1
    lab_wait 30 eval "! kill -0 $pid 2> /dev/null" ||
        { problem "no end within 30 s of SIGTERM"; kill -KILL "$pid"; }
    wait "$pid" || code=$?
    ! grep -q -E 'ERROR: (Leak|Address)Sanitizer|runtime error:' "$LAB_DIR/gateway.err" ||
        problem "the sanitizers reported:" \
            "$(grep -A 25 -m 1 -E 'ERROR: |runtime error:' "$LAB_DIR/gateway.err")" || return 1
    [ "$code" = 0 ] || problem "exit code $code on SIGTERM"
}
