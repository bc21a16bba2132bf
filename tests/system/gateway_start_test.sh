#!/bin/bash
# The real gateway program in network namespaces: where an adapter holds 192.168.11.1 it starts
# by itself from a stored login and opens UDP 67 and TCP 8080; where none does, it ends with the
# start failure message. Both times the typed login is in the settings file afterwards.
set -euo pipefail
. "$(dirname "$0")/netns_lib.sh"
require_root

gateway="$TARNIX_BUILD_DIR/tarnix-gateway"
[ -x "$gateway" ] || fail "no gateway program at $gateway"
password='se&cr=et pw'

write_settings() {
    printf '[Setup]\nProviderID=op42\nProviderPWD=%s\nAutoHide=\n' "$password" > "$1"
}

# start_gateway NS INI: runs the gateway headless in NS; its PID is left in $pid.
start_gateway() {
    ip netns exec "$1" env TARNIX_INI="$2" QT_QPA_PLATFORM=offscreen \
        "$gateway" > "$2.out" 2> "$2.err" &
    pid=$!
    STARTED_PIDS+=("$pid")
}

listening() { ip netns exec "$1" ss -H "$2" "sport = :$3" | grep -q .; }

echo "== a gateway host with its LAN adapter on 192.168.11.1"
new_ns gw gw
new_ns lan lan
link_ns "$gw" lan0 "$lan" eth0
ip -n "$gw" addr add 192.168.11.1/24 dev lan0
ini="$WORK_DIR/ok.ini"
write_settings "$ini"
start_gateway "$gw" "$ini"
wait_for 15 listening "$gw" -lnu 67 || fail "UDP port 67 never opened: $(cat "$ini.err")"
wait_for 15 listening "$gw" -lnt 8080 || fail "TCP port 8080 never opened"
kill -0 "$pid" || fail "the gateway ended on its own"
kill -TERM "$pid"
wait_for 10 bash -c "! kill -0 $pid 2>/dev/null" || fail "SIGTERM did not end the gateway"
set +e; wait "$pid"; code=$?; set -e
[ "$code" -eq 0 ] || fail "exit code $code after SIGTERM"
grep -qxF "ProviderPWD=$password" "$ini" || fail "password not kept: $(cat "$ini")"
grep -qx 'AutoHide=' "$ini" || fail "AutoHide key not saved empty"
[ "$(stat -c %a "$ini")" = 600 ] || fail "settings file mode $(stat -c %a "$ini"), not 600"
if grep -qF "$password" "$ini.out" "$ini.err"; then fail "the password appeared in the output"; fi
echo "started, listened, saved and ended on SIGTERM"

echo "== a host where no adapter holds 192.168.11.1"
new_ns bare bare
ini="$WORK_DIR/fail.ini"
write_settings "$ini"
start_gateway "$bare" "$ini"
wait_for 15 bash -c "! kill -0 $pid 2>/dev/null" || fail "the gateway did not end"
set +e; wait "$pid"; code=$?; set -e
[ "$code" -eq 1 ] || fail "exit code $code, expected 1"
grep -qF "Before running Tarnix Gateway, you need to" "$ini.err" || fail "no failure message: $(cat "$ini.err")"
grep -qF "read the Hardware Configuration section." "$ini.err" || fail "message cut short"
grep -qx 'ProviderID=op42' "$ini" || fail "login not saved after the failed start"
echo "ended with the failure message, login kept"
