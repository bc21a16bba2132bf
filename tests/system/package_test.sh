#!/bin/bash
# The Debian package on a clean Debian 12 system tree (debootstrap, minbase): built by CPack,
# installed with apt, its account, directory, file capabilities and service unit; --set-login,
# then the installed program run as tarnix (not root) in the lab: it serves a lease and the
# purchase redirect with the stored login; without a capability it ends saying which; the tree
# booted with systemd runs the service; remove keeps the settings, purge removes them and the
# account.
# The first run makes the base tree (about 5 minutes) and keeps it, with apt's downloads, in
# /var/cache/tarnix-package-test; delete that folder for a new one.
set -uo pipefail

. "$(dirname "$0")/require_root.sh"
require_root
require_tools debootstrap systemd-nspawn cpack dpkg-deb unshare chroot ip ss busybox curl python3

BUILD=${TARNIX_BUILD_DIR:?TARNIX_BUILD_DIR is not set}
[ -f "$BUILD/CPackConfig.cmake" ] || { echo "FAIL: no CPack configuration in $BUILD"; exit 1; }
CACHE=/var/cache/tarnix-package-test
MIRROR=$(sed -n 's/^URIs: *\(http[^ ]*debian\)$/\1/p' /etc/apt/sources.list.d/debian.sources \
    2>/dev/null | head -n 1)
MIRROR=${MIRROR:-http://deb.debian.org/debian}

# shellcheck source=../../lab/lab.sh
. "$(dirname "$0")/../../lab/lab.sh"
lab_up || { echo "FAIL: lab_up"; exit 1; }
ROOT="$LAB_DIR/root"
# Never across a mount: the tree's /proc and /dev exist only in namespaces of its commands.
trap 'lab_down; [ "${LAB_KEEP:-0}" = 1 ] || rm -rf --one-file-system "$ROOT"' EXIT

# root_command [CHROOT-OPTIONS...] -- COMMAND...: sets ROOT_COMMAND to run COMMAND in the
# tree, with /proc, /dev and apt's download cache mounted in a mount namespace of its own.
root_command() {
    local options=()
    while [ "$1" != -- ]; do options+=("$1"); shift; done
    shift
    # shellcheck disable=SC2016 # expanded by the inner sh
    ROOT_COMMAND=(unshare -m --propagation private -- sh -c 'root=$1; shift
        mount -t proc proc "$root/proc" && mount --rbind /dev "$root/dev" &&
        mount --bind "$root/../apt-archives" "$root/var/cache/apt/archives" &&
        exec chroot "$@"' sh "$ROOT" "${options[@]}" "$ROOT" "$@")
}
in_root() { root_command "$@" && "${ROOT_COMMAND[@]}"; }
apt_in_root() { in_root -- env DEBIAN_FRONTEND=noninteractive apt-get -y -q "$@"; }
tarnix_ids() { echo "$(in_root -- id -u tarnix):$(in_root -- id -g tarnix)"; }

DEB=""
build_package() {
    cpack -G DEB --config "$BUILD/CPackConfig.cmake" -B "$LAB_DIR/deb" > "$LAB_DIR/cpack.log" 2>&1 ||
        problem "cpack failed: $(tail -n 5 "$LAB_DIR/cpack.log")" || return 1
    DEB=$(ls "$LAB_DIR"/deb/tarnix-gateway_*.deb) || problem "no package made" || return 1
    local depends version files
    version=$(dpkg-deb -f "$DEB" Version) depends=$(dpkg-deb -f "$DEB" Depends)
    files=$(dpkg-deb -c "$DEB" | awk '{print $6}')
    echo "  $(basename "$DEB"): $depends"
    [ "$version" = 1.0.66 ] || problem "version $version" || return 1
    for need in libqt6widgets6 libqt6network6 libnftables1 libnetfilter-conntrack3 dnsmasq-base netbase \
        adduser libcap2-bin; do
        [[ $depends == *"$need"* ]] || problem "$need missing from Depends" || return 1
    done
    for need in ./usr/bin/tarnix-gateway ./usr/lib/systemd/system/tarnix-gateway.service \
        ./usr/share/applications/tarnix-gateway.desktop ./usr/share/pixmaps/tarnix-gateway.xpm; do
        grep -qx "$need" <<< "$files" || problem "$need missing from the package" || return 1
    done
    ! grep -q '^\./var/' <<< "$files" || problem "the package holds /var: $files"
}

make_tree() {
    mkdir -p "$CACHE/apt-archives/partial" && mkdir "$ROOT" || return 1
    if [ ! -s "$CACHE/bookworm-minbase.tar" ]; then
        echo "  debootstrap from $MIRROR (kept in $CACHE)"
        debootstrap --variant=minbase --cache-dir="$CACHE/apt-archives" bookworm \
            "$ROOT" "$MIRROR" > "$LAB_DIR/debootstrap.log" 2>&1 ||
            problem "debootstrap failed: $(tail -n 5 "$LAB_DIR/debootstrap.log")" || return 1
        tar -C "$ROOT" -cf "$CACHE/bookworm-minbase.tar.new" . &&
            mv "$CACHE/bookworm-minbase.tar.new" "$CACHE/bookworm-minbase.tar" || return 1
    else
        tar -C "$ROOT" -xf "$CACHE/bookworm-minbase.tar" || return 1
    fi
    ln -s "$CACHE/apt-archives" "$LAB_DIR/apt-archives"
}

install_package() {
    cp "$DEB" "$ROOT/tmp/tarnix-gateway.deb" || return 1
    # systemd too, for systemd-analyze: a system that runs the service has it.
    { apt_in_root update && apt_in_root install --no-install-recommends systemd \
        /tmp/tarnix-gateway.deb; } > "$LAB_DIR/apt.log" 2>&1 ||
        problem "apt could not install it: $(tail -n 8 "$LAB_DIR/apt.log")"
}

check_installed() {
    local account mode caps verify
    account=$(in_root -- getent passwd tarnix) || problem "no account tarnix" || return 1
    in_root -- getent group tarnix > /dev/null || problem "no group tarnix" || return 1
    [ "$(cut -d: -f3 <<< "$account")" -lt 1000 ] || problem "not a system account: $account" ||
        return 1
    mode=$(in_root -- stat -c '%a %U %G' /var/lib/tarnix 2>&1)
    [ "$mode" = "700 tarnix tarnix" ] ||
        problem "/var/lib/tarnix: $mode" || return 1
    caps=$(in_root -- getcap /usr/bin/tarnix-gateway)
    [[ $caps == *"cap_net_bind_service,cap_net_admin,cap_net_raw=ep" ]] ||
        problem "file capabilities: '$caps'" || return 1
    verify=$(in_root -- systemd-analyze verify /usr/lib/systemd/system/tarnix-gateway.service 2>&1) ||
        problem "systemd-analyze verify: $verify" || return 1
    [ -z "$verify" ] || problem "systemd-analyze verify says: $verify"
}

set_login() {
    local ini="$ROOT/var/lib/tarnix/Tarnix.ini" output
    output=$(printf '%s\n' "$LAB_PROVIDER_PWD" |
        in_root -- /usr/bin/tarnix-gateway --set-login "$LAB_PROVIDER_ID" 2>&1) ||
        problem "--set-login as root failed: $output" || return 1
    ! grep -qF "$LAB_PROVIDER_PWD" <<< "$output" || problem "the password was shown" || return 1
    [ "$(stat -c '%a %u:%g' "$ini")" = "600 $(tarnix_ids)" ] ||
        problem "settings file $(stat -c '%a %u:%g' "$ini"), tarnix is $(tarnix_ids)" || return 1
    cp -p "$ini" "$LAB_DIR/ini.before"
    # An account that may not enter /var/lib/tarnix changes nothing.
    if output=$(echo other | in_root --userspec=65534:65534 --groups=65534 -- \
        /usr/bin/tarnix-gateway --set-login other 2>&1); then
        problem "--set-login as nobody succeeded"
        return 1
    fi
    grep -q "cannot be written" <<< "$output" || problem "as nobody: $output" || return 1
    cmp -s "$ini" "$LAB_DIR/ini.before" || problem "the file changed"
}

# The installed program as tarnix, as the service runs it: its own account, the file
# capabilities, the settings in /var/lib/tarnix, /run/tarnix made as the service manager would.
write_launcher() {
    local ids
    ids=$(tarnix_ids)
    install -d -m 700 -o "${ids%:*}" -g "${ids#*:}" "$ROOT/run/tarnix" || return 1
    cp "/etc/netns/${LAB_NS[gw]}/hosts" "$ROOT/etc/hosts" || return 1
    cat > "$LAB_DIR/launch" << EOF
#!/bin/bash
$(declare -f root_command)
ROOT=$ROOT
root_command --userspec=$ids --groups=${ids#*:} -- \
    env -u TARNIX_INI XDG_RUNTIME_DIR=/run/tarnix "\${PROGRAM:-/usr/bin/tarnix-gateway}" --headless
exec "\${ROOT_COMMAND[@]}"
EOF
    chmod 755 "$LAB_DIR/launch"
}

# As on a system that strips file capabilities: a copy of the program without CAP_NET_RAW.
missing_capability() {
    local output code
    cp "$ROOT/usr/bin/tarnix-gateway" "$ROOT/usr/local/bin/" &&
        in_root -- setcap cap_net_admin,cap_net_bind_service+ep /usr/local/bin/tarnix-gateway ||
        return 1
    output=$(PROGRAM=/usr/local/bin/tarnix-gateway timeout 20 \
        ip netns exec "${LAB_NS[gw]}" "$LAB_DIR/launch" 2>&1)
    code=$?
    rm -f "$ROOT/usr/local/bin/tarnix-gateway"
    [ "$code" = 1 ] || problem "exit code $code without CAP_NET_RAW: $output" || return 1
    grep -q "missing capability CAP_NET_RAW:" <<< "$output" || problem "said: $output"
}

START_MS=0
serve_as_tarnix() {
    local uid lease mac
    START_MS=$(now_ms)
    lab_start_gateway "$LAB_DIR/launch" || problem "the installed gateway did not serve" || return 1
    uid=$(awk '/^Uid:/ {print $3}' "/proc/$LAB_GATEWAY_PID/status")
    [ "$uid" = "$(tarnix_ids | cut -d: -f1)" ] || problem "runs as uid $uid" || return 1
    lab_add_client c 02:00:00:00:11:0c && lab_udhcpc c || problem "no lease" || return 1
    lease=$(lab_lease_value "$LAB_DIR/c.udhcpc.lease" ip)
    [[ $lease == 192.168.11.* ]] || problem "lease '$lease'" || return 1
    # dnsmasq started by an unprivileged account, with the capabilities handed on to it
    [[ $(lab_in c python3 "$(dirname "$0")/peers.py" dns-query origin.lab) == "NOERROR 10."* ]] ||
        problem "no name service as tarnix" || return 1
    mac=$(lab_client_mac_hex c)
    lab_proxy_curl c http://origin.lab/ > "$LAB_DIR/c.page" &&
        grep -qF "purchasing.asp?id=$LAB_PROVIDER_ID&mac=$mac" "$LAB_DIR/c.page" ||
        problem "no purchase redirect: $(head -c 300 "$LAB_DIR/c.page")" || return 1
    echo "  lease $lease, names answered, redirected to the purchase page"
}

# The stored login reached the provider and was taken: a refused one is asked again after 15 s.
login_picked_up() {
    local banner='GET /Gateway/ProviderBanner.asp?id=op42&pwd=\*\*\*' waited
    waited=$((($(now_ms) - START_MS) / 1000))
    [ "$waited" -ge 17 ] || sleep $((17 - waited))
    [ "$(grep -c "$banner" "$LAB_DIR/provider.log")" = 1 ] ||
        problem "provider page loads: $(grep -c "$banner" "$LAB_DIR/provider.log")" || return 1
    lab_stop_gateway || problem "exit code $? after SIGTERM" || return 1
    cp -p "$ROOT/var/lib/tarnix/Tarnix.ini" "$LAB_DIR/ini.before"
    ! grep -qF "$LAB_PROVIDER_PWD" "$LAB_DIR/gateway.err" || problem "password in the output"
}

# The unit under a real service manager: the tree booted by systemd-nspawn in the gateway's
# network namespace starts the service; it serves the client as tarnix with just its three
# capabilities, and the shutdown's SIGTERM removes its firewall table.
service_booted() {
    local drop="$ROOT/etc/systemd/system/tarnix-gateway.service.d" listener pid
    apt_in_root install --no-install-recommends systemd-sysv dbus > "$LAB_DIR/apt-boot.log" 2>&1 ||
        problem "no systemd-sysv: $(tail -n 5 "$LAB_DIR/apt-boot.log")" || return 1
    mkdir -p "$drop" && printf '[Service]\nEnvironment=TARNIX_PROVIDER_HOST=%s TARNIX_WHITELIST=%s\n' \
        "$LAB_PROVIDER_HOST" "$LAB_WHITELIST" > "$drop/lab.conf" &&
        in_root -- systemctl enable tarnix-gateway > /dev/null 2>&1 || return 1
    # Not registered with the host's service manager (there may be none); nspawn keeps
    # CAP_NET_ADMIN, which the service needs, only when asked.
    systemd-nspawn -q -D "$ROOT" --boot --register=no --keep-unit --capability=CAP_NET_ADMIN \
        --network-namespace-path="/run/netns/${LAB_NS[gw]}" > "$LAB_DIR/boot.log" 2>&1 &
    BOOT_PID=$!
    lab_track "$BOOT_PID"
    { lab_wait 60 lab_listening gw -lnu 67 && lab_wait 10 lab_listening gw -lnt 8080; } ||
        problem "the service did not serve: $(tail -n 20 "$LAB_DIR/boot.log")" || return 1
    listener=$(lab_in gw ss -Hltnp 'sport = :8080')
    pid=$(sed -n 's/.*"tarnix-gateway",pid=\([0-9]*\).*/\1/p' <<< "$listener")
    [ "$(awk '/^Uid:/ {print $3}' "/proc/$pid/status")" = "$(tarnix_ids | cut -d: -f1)" ] &&
        grep -q '^CapEff:.*0000000000003400$' "/proc/$pid/status" ||
        problem "not tarnix with three capabilities: $(grep -E '^(Uid|CapEff)' "/proc/$pid/status")" ||
        return 1
    lab_udhcpc c && lab_proxy_curl c http://origin.lab/ > "$LAB_DIR/c.page" &&
        grep -qF "purchasing.asp?id=$LAB_PROVIDER_ID" "$LAB_DIR/c.page" ||
        problem "the service served no lease and redirect" || return 1
    kill -TERM "$BOOT_PID" # the container's shutdown
    lab_wait 60 eval '! kill -0 "$BOOT_PID" 2> /dev/null' || problem "no shutdown" || return 1
    ! lab_in gw nft list tables | grep -q tarnix || problem "the table outlived the service" ||
        return 1
    cp -p "$ROOT/var/lib/tarnix/Tarnix.ini" "$LAB_DIR/ini.before" # as the service left it
}

remove_and_purge() {
    apt_in_root remove tarnix-gateway > "$LAB_DIR/remove.log" 2>&1 ||
        problem "remove failed: $(tail -n 5 "$LAB_DIR/remove.log")" || return 1
    [ ! -e "$ROOT/usr/bin/tarnix-gateway" ] || problem "program left after remove" || return 1
    cmp -s "$ROOT/var/lib/tarnix/Tarnix.ini" "$LAB_DIR/ini.before" ||
        problem "settings not kept by remove" || return 1
    in_root -- getent passwd tarnix > /dev/null || problem "account gone after remove" ||
        return 1
    apt_in_root purge tarnix-gateway > "$LAB_DIR/purge.log" 2>&1 ||
        problem "purge failed: $(tail -n 5 "$LAB_DIR/purge.log")" || return 1
    [ ! -e "$ROOT/var/lib/tarnix" ] || problem "/var/lib/tarnix left after purge" || return 1
    ! in_root -- getent passwd tarnix > /dev/null || problem "account left after purge" ||
        return 1
    ! in_root -- getent group tarnix > /dev/null || problem "group left after purge"
}

step "CPack builds the package" build_package
[ "$FAILURES" = 0 ] && step "a clean Debian 12 tree" make_tree
[ "$FAILURES" = 0 ] && step "apt installs the package" install_package
if [ "$FAILURES" = 0 ]; then
    step "account, directory, capabilities, unit" check_installed
    step "--set-login" set_login
    lab_start_provider && write_launcher || FAILURES=$((FAILURES + 1))
fi
if [ "$FAILURES" = 0 ]; then
    step "without CAP_NET_RAW it ends and says so" missing_capability
    step "as tarnix in the lab: lease, names and purchase redirect" serve_as_tarnix
    step "the stored login is used" login_picked_up
    step "the service under systemd: serves as tarnix, its table gone at shutdown" service_booted
    step "remove keeps the settings, purge removes them" remove_and_purge
fi
if [ "$FAILURES" -gt 0 ]; then
    [ ! -f "$LAB_DIR/gateway.err" ] || tail -n 20 "$LAB_DIR/gateway.err"
    echo "FAIL: $FAILURES step(s) failed"
    exit 1
fi
echo "PASS: all steps"
