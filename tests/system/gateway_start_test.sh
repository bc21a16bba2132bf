#!/bin/bash
# The real gateway program's start and end in the lab's gateway host. It starts by itself from a
# stored login, opens UDP 67 and TCP 8080, and on SIGTERM ends with exit code 0, its settings
# saved (mode 0600, the password nowhere in its output), or kept whole, byte for byte, when their
# directory is full or read-only at that moment: the gateway runs in a mount namespace of its
# own with a tiny tmpfs for its settings. It refuses to start, with exit code 1 and its reason,
# where no adapter holds 192.168.11.1 and where UDP port 67 is taken. (Its other refusals, an
# http:// captive-portal API address among them, are in the in-process tests.)
set -u
. "$(dirname "$0")/scenario.sh"

scenario unshare nsenter cmp
mkdir -m 700 "$LAB_DIR/xdg-runtime"
# Keeps the mount namespace until the gateway has ended, then copies out what is left.
# shellcheck disable=SC2016 # expanded by the wrapper
WRAPPER='
mount -t tmpfs -o size=64k,nr_inodes=64,mode=700 tarnix-settings "$1" || exit 3
cp "$2/before.ini" "$1/Tarnix.ini"
TARNIX_INI="$1/Tarnix.ini" "$3" > "$2/gateway.out" 2> "$2/gateway.err" &
echo $! > "$2/gateway.pid"
wait $!
echo $? > "$2/gateway.rc"
cp "$1/Tarnix.ini" "$2/after.ini"
ls -A "$1" > "$2/after.ls"
'

serving() { lab_listening gw -lnu 67 && lab_listening gw -lnt 8080; }

# unload_with CASE: the gateway with its settings on the tmpfs, which is left writable, filled
# or made read-only (from inside its mount namespace and root) before SIGTERM.
unload_with() {
    local dir="$LAB_DIR/settings-$1" out="$LAB_DIR/$1" wrapper gw
    mkdir -p "$dir" "$out"
    (umask 077 && printf '[Setup]\nProviderID=%s\nProviderPWD=%s\n' "$LAB_PROVIDER_ID" \
        "$LAB_PROVIDER_PWD" > "$out/before.ini")
    ip netns exec "${LAB_NS[gw]}" env QT_QPA_PLATFORM=offscreen \
        XDG_RUNTIME_DIR="$LAB_DIR/xdg-runtime" unshare -m --propagation private \
        bash -c "$WRAPPER" wrapper "$dir" "$out" "$GATEWAY" > "$out/wrapper.log" 2>&1 &
    wrapper=$!
    lab_track "$wrapper"
    lab_wait 20 test -s "$out/gateway.pid" || problem "no start: $(cat "$out/wrapper.log")" ||
        return 1
    gw=$(cat "$out/gateway.pid")
    lab_track "$gw"
    lab_wait 20 serving || problem "not serving: $(tail -n 5 "$out/gateway.err")" || return 1
    case $1 in
    full) nsenter -t "$gw" -m -r dd if=/dev/zero of="$dir/fill" bs=4096 count=64 2> /dev/null ;;
    readonly) nsenter -t "$gw" -m -r mount -o remount,ro "$dir" || problem "no remount" ||
        return 1 ;;
    esac
    kill -TERM "$gw"
    lab_wait 15 eval "! kill -0 $wrapper 2> /dev/null" || problem "no end 15 s after SIGTERM" ||
        return 1
    [ "$(cat "$out/gateway.rc")" = 0 ] || problem "exit code $(cat "$out/gateway.rc")" || return 1
    echo "  $1: exit code 0, files left: $(tr '\n' ' ' < "$out/after.ls")"
}

saved_when_writable() {
    local out="$LAB_DIR/writable"
    unload_with writable || return 1
    grep -qx 'AutoHide=' "$out/after.ini" && grep -qxF "ProviderPWD=$LAB_PROVIDER_PWD" \
        "$out/after.ini" || problem "not saved: $(grep -v PWD "$out/after.ini" | tr '\n' ' ')" ||
        return 1
    [ "$(stat -c %a "$out/after.ini")" = 600 ] || problem "mode $(stat -c %a "$out/after.ini")" ||
        return 1
    ! grep -qF "$LAB_PROVIDER_PWD" "$out"/gateway.* || problem "the password in its output"
}

# whole_when CASE: the file is as it was, with no stray temporary file beside it (the firewall
# keeps its record of forwarding, ip_forward.before, when it cannot remove it).
whole_when() {
    local stray
    unload_with "$1" || return 1
    cmp -s "$LAB_DIR/$1/before.ini" "$LAB_DIR/$1/after.ini" ||
        problem "the settings file changed" || return 1
    stray=$(grep -vx 'Tarnix\.ini\|fill\|ip_forward\.before' "$LAB_DIR/$1/after.ls" | tr '\n' ' ')
    [ -z "$stray" ] || problem "stray files beside it: $stray"
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
    server_start gw hold67 serve holder --listen "$LAB_GW_LAN" --udp 67 || return 1
    refused "Before running Tarnix Gateway, you need to" lab_start_gateway "$GATEWAY"
    local rc=$?
    lab_stop "$LAB_LAST_PID"
    return "$rc"
}

step "1. it serves, and on SIGTERM ends with exit code 0 and its settings saved" \
    saved_when_writable
step "2. settings directory full at unload: the settings file stays whole" whole_when full
step "3. settings directory read-only at unload: the settings file stays whole" \
    whole_when readonly
step "4. no adapter holds 192.168.11.1: it refuses to start" without_the_adapter
step "5. UDP port 67 is taken: it refuses to start" port_67_taken
finish writable/gateway.err
