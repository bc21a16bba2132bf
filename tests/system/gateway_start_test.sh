#!/bin/bash
# The real gateway program's start and end in the lab's gateway host. It starts by itself from a
# stored login, opens UDP 67 and TCP 8080, and on SIGTERM ends with exit code 0, its settings
# saved (mode 0600, the password nowhere in its output). It refuses to start, with exit code 1
# and its reason, where no adapter holds 192.168.11.1 and where UDP port 67 is taken. (Its other
# refusals, and a settings directory full or read-only at unload: the in-process tests.)
set -u
. "$(dirname "$0")/scenario.sh"

scenario

saved_on_sigterm() {
    local ini="$LAB_DIR/gateway.ini"
    lab_start_gateway "$GATEWAY" && ends_cleanly || return 1
    grep -qx 'AutoHide=' "$ini" && grep -qxF "ProviderPWD=$LAB_PROVIDER_PWD" "$ini" ||
        problem "not saved: $(grep -v PWD "$ini" | tr '\n' ' ')" || return 1
    [ "$(stat -c %a "$ini")" = 600 ] || problem "mode $(stat -c %a "$ini")" || return 1
    ! grep -qF "$LAB_PROVIDER_PWD" "$LAB_DIR"/gateway.out "$LAB_DIR"/gateway.err ||
        problem "the password in its output"
}

# refused WHY COMMAND...: the gateway started by COMMAND ends with exit code 1 and says WHY.
refused() {
    local why=$1 code=0
    shift
    if "$@" 2> /dev/null; then
        lab_stop_gateway
        problem "the gateway started"
        return 1
    fi
    wait "$LAB_GATEWAY_PID" || code=$?
    LAB_GATEWAY_PID=""
    [ "$code" = 1 ] && grep -q "$why" "$LAB_DIR/gateway.err" ||
        problem "exit code $code: $(excerpt "$LAB_DIR/gateway.err")" || return 1
    grep -qx "ProviderID=$LAB_PROVIDER_ID" "$LAB_DIR/gateway.ini" || problem "the login is lost"
}

without_the_adapter() {
    ip -n "${LAB_NS[gw]}" addr del "$LAB_GW_LAN/24" dev lan0 || return 1
    refused "read the Hardware Configuration section." lab_start_gateway "$GATEWAY"
    local rc=$?
    ip -n "${LAB_NS[gw]}" addr add "$LAB_GW_LAN/24" dev lan0 || return 1
    return "$rc"
}

port_67_taken() {
    server_start gw hold67 serve holder --listen="$LAB_GW_LAN" --udp=67 || return 1
    refused "Before running Tarnix Gateway, you need to" lab_start_gateway "$GATEWAY"
    local rc=$?
    lab_stop "$LAB_LAST_PID"
    return "$rc"
}

step "1. it serves, and on SIGTERM ends with exit code 0 and its settings saved" saved_on_sigterm
step "2. no adapter holds 192.168.11.1: it refuses to start" without_the_adapter
step "3. UDP port 67 is taken: it refuses to start" port_67_taken
finish
