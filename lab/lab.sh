# A throw-away network for running the real gateway: a gateway host, a switched LAN segment
# with client hosts, and an Internet-side host with a web origin, all in network namespaces of
# this run. Nothing outside the namespaces and the lab's temporary directory is touched.
#
# Use (bash, as root):
#   . lab/lab.sh
#   lab_up                              # namespaces, bridge, Internet host; trap EXIT -> lab_down
#   lab_start_dns                       # optional: the Internet's name server, 10.99.0.2:53
#   lab_start_origin                    # web origin on 10.99.0.2:80 (origin.lab, the probes)
#   lab_start_tls_origin                # optional: the same pages on 10.99.0.2:443 (HTTPS)
#   lab_start_provider                  # reference provider service, provider.lab (10.99.0.3:80)
#   lab_start_tls_provider lab          # or over HTTPS (10.99.0.3:443), certificate of the lab CA
#   lab_watch_dhcp                      # optional: every DHCP message -> $LAB_DIR/dhcp.log
#   lab_start_gateway "$BUILD/tarnix-gateway"   # waits until UDP 67 and TCP 8080 are open
#   lab_add_client a 02:00:00:00:11:0a  # a LAN host; a third argument gives it a fixed address
#   lab_add_device d 02:00:00:00:11:0d  # a LAN host without proxy settings (a phone): its
#                                       # lease's name server goes into its resolv.conf
#   lab_udhcpc a                        # lease -> $LAB_DIR/a.udhcpc.lease (ip=, router=, ...)
#   lab_dhclient a                      # lease -> $LAB_DIR/a.dhclient.lease (same keys)
#   lab_in a env http_proxy=http://192.168.11.1:8080 busybox wget -qO- http://origin.lab/
#   lab_proxy_curl a http://origin.lab/ # curl on client A through the gateway's proxy
#   lab_device_curl d http://origin.lab/  # curl on D with no proxy at all
#   lab_down                            # also runs on exit, after failures too
#   lab_buy a day                       # A buys a day at the provider service
#   lab_wait 20 lab_origin_reached a    # waits (bounded) until A gets the origin's page
# Also: lab_udhcpc_start (stays running), lab_dhclient_release, lab_stop_gateway, lab_net_start
# (another service on the Internet host), lab_add_net_name, lab_show_lease, lab_client_mac_hex,
# lab_purchase_url, lab_refresh_target, lab_chromium_dump, lab_stop_provider, lab_make_ca,
# lab_issue_cert.
#
# Hosts: "gw" (lan0 192.168.11.1/24, wan0 10.99.0.1/24, default route via 10.99.0.2, forwarding
# off), "net" (eth0 10.99.0.2/24 for the origins and 10.99.0.3/24 for the provider service), "sw"
# (bridge br0 joining lan0 and every client's eth0) and one namespace per client. Their names are
# in LAB_NS[host]; every function fails with a message on stderr rather than exiting. Names the
# gateway resolves: /etc/netns/<gw namespace>/hosts; after lab_start_dns the name server on the
# Internet host answers them instead (and the probe hosts' names, LAB_PROBES), the gateway's
# hosts file keeps only localhost, so the gateway and its name service ask the Internet as a
# real one does (dnsmasq feeds its nftables sets only from answers it forwards).
# The gateway is started as the lab's operator (LAB_PROVIDER_ID, LAB_PROVIDER_PWD: the password
# holds "&" and "=", which must survive the provider page's query), with provider.lab as its
# provider host and LAB_WHITELIST as the domains open to clients that have not paid; with
# LAB_CAPPORT_URL set (e.g. LAB_CAPPORT_URL='https://provider.lab/capport-api?id={id}&mac={mac}'
# lab_start_gateway ...) as its TARNIX_CAPPORT_URL, announced in DHCP option 114.
# Certificates: lab_up makes the lab's certificate authority ($LAB_CA_CERT), which the gateway
# host trusts besides what this machine trusts: /etc/netns/<gw namespace>/ssl, laid over /etc/ssl
# there, holds a copy of /etc/ssl/certs with the lab CA added. (Qt's TLS backend reads its
# authorities from /etc/ssl/certs and heeds neither SSL_CERT_FILE nor SSL_CERT_DIR.) Clients
# name $LAB_CA_CERT themselves (curl --cacert).
# LAB_KEEP=1 keeps $LAB_DIR (logs, leases, settings, DHCP log) after lab_down.
# shellcheck shell=bash disable=SC2034 # LAB_MAC and more are read by the scripts sourcing this

LAB_LIB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
LAB_GW_LAN=192.168.11.1
LAB_GW_WAN=10.99.0.1
LAB_NET_ADDR=10.99.0.2
LAB_NET_NAMES="origin.lab www.origin.lab"
LAB_PROVIDER_ADDR=10.99.0.3
LAB_PROVIDER_HOST=provider.lab
LAB_PROVIDER_NAMES="provider.lab www.provider.lab pay.lab stats.lab hosting.lab"
# The provider's own domain and three made-up ones of the kind a provider needs open (payments,
# statistics, hosting).
LAB_WHITELIST="provider.lab,pay.lab,stats.lab,hosting.lab"
LAB_PROVIDER_ID=op42
LAB_PROVIDER_PWD='s&cret=1'
LAB_PROXY=http://192.168.11.1:8080
LAB_ORIGIN_TEXT="Tarnix lab origin"
# The connectivity probes of Android, Apple, Windows, Firefox (two) and NetworkManager: host and
# path. After lab_start_dns their hosts resolve to the lab's origin, which answers them as the
# real services do (lab/origin.py).
LAB_PROBES=(connectivitycheck.gstatic.com/generate_204 captive.apple.com/hotspot-detect.html
    www.msftconnecttest.com/connecttest.txt detectportal.firefox.com/canonical.html
    detectportal.firefox.com/success.txt nmcheck.gnome.org/check_network_status.txt)

declare -gA LAB_NS=()
declare -gA LAB_MAC=()
declare -gA LAB_DEVICE=()
LAB_PIDS=()
LAB_NETNS_DIRS=()
LAB_ID=""
LAB_DIR=""
LAB_GATEWAY_PID=""
LAB_PROVIDER_PID=""
LAB_ORIGIN_CERT=""
LAB_CA_CERT=""
LAB_PROVIDER_SCHEME=http
LAB_CHROMIUM_DIR=""
LAB_DNS_PID=""
# Set (seconds) before lab_start_provider: the provider also sells a plan "short" that long.
LAB_SHORT_PLAN=${LAB_SHORT_PLAN:-}

lab_log() { echo "lab: $*" >&2; }

# lab_in HOST COMMAND...: runs COMMAND inside HOST's namespace.
lab_in() {
    local host=$1
    shift
    ip netns exec "${LAB_NS[$host]:?no lab host $host}" "$@"
}

# lab_wait SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds; fails once SECONDS
# have passed (or as many tries as tenths of a second in them).
lab_wait() {
    local end=$((${EPOCHREALTIME//[!0-9]/} / 1000 + $1 * 1000)) tries=$(($1 * 10 + 1)) i
    shift
    for ((i = 0; i < tries; i++)); do
        "$@" && return 0
        [ $((${EPOCHREALTIME//[!0-9]/} / 1000)) -lt "$end" ] || return 1
        sleep 0.1
    done
    return 1
}

# lab_listening HOST -lnt|-lnu PORT: whether something listens there.
lab_listening() { lab_in "$1" ss -H "$2" "sport = :$3" 2>/dev/null | grep -q .; }

# lab_listening_at HOST ADDRESS PORT: whether something listens on that TCP address and port.
lab_listening_at() {
    lab_in "$1" ss -H -lnt "sport = :$3" 2>/dev/null | awk '{print $4}' | grep -qx "$2:$3"
}

# lab_track PID: the PID is ended by lab_down.
lab_track() { LAB_PIDS+=("$1"); }

# lab_stop PID: SIGTERM, a bounded wait, then SIGKILL. Returns the exit code when it is a child.
lab_stop() {
    local pid=$1 i
    kill -TERM "$pid" 2>/dev/null || return 0
    for ((i = 0; i < 50; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null
}

lab_new_ns() { # HOST
    local ns="tlab-$LAB_ID-$1"
    ip netns add "$ns" || return 1
    LAB_NS[$1]=$ns
    ip -n "$ns" link set lo up || return 1
}

lab_up() {
    if [ -n "$LAB_ID" ]; then
        lab_log "already up ($LAB_ID)"
        return 1
    fi
    LAB_ID="$$-$RANDOM"
    LAB_DIR=$(mktemp -d "/tmp/tarnix-lab.$LAB_ID.XXXXXX") || return 1
    trap lab_down EXIT
    # An interrupted run still tears down: the EXIT trap runs on the way out.
    trap 'exit 130' INT
    trap 'exit 143' TERM

    lab_new_ns gw && lab_new_ns sw && lab_new_ns net || return 1

    # Ends are created directly in their namespaces, so no name is ever taken on the host.
    ip -n "${LAB_NS[sw]}" link add br0 type bridge || return 1
    ip -n "${LAB_NS[sw]}" link set br0 up || return 1
    ip link add lan0 netns "${LAB_NS[gw]}" type veth \
        peer name p-gw netns "${LAB_NS[sw]}" || return 1
    ip -n "${LAB_NS[sw]}" link set p-gw master br0 up || return 1
    ip -n "${LAB_NS[gw]}" addr add "$LAB_GW_LAN/24" dev lan0 || return 1
    ip -n "${LAB_NS[gw]}" link set lan0 up || return 1

    ip link add wan0 netns "${LAB_NS[gw]}" type veth \
        peer name eth0 netns "${LAB_NS[net]}" || return 1
    ip -n "${LAB_NS[gw]}" addr add "$LAB_GW_WAN/24" dev wan0 || return 1
    ip -n "${LAB_NS[gw]}" link set wan0 up || return 1
    ip -n "${LAB_NS[net]}" addr add "$LAB_NET_ADDR/24" dev eth0 || return 1
    ip -n "${LAB_NS[net]}" addr add "$LAB_PROVIDER_ADDR/24" dev eth0 || return 1
    ip -n "${LAB_NS[net]}" link set eth0 up || return 1
    # As on a real gateway the default route leads to the Internet, yet nothing is forwarded:
    # LAN hosts reach the Internet only through the proxy.
    ip -n "${LAB_NS[gw]}" route add default via "$LAB_NET_ADDR" dev wan0 || return 1
    lab_in gw sysctl -q -w net.ipv4.ip_forward=0 || return 1

    # ip netns exec lays /etc/netns/<namespace>/* over /etc; appending to these files in place
    # is seen at once by programs already running there.
    local etc="/etc/netns/${LAB_NS[gw]}"
    mkdir -p "$etc" || return 1
    LAB_NETNS_DIRS+=("$etc")
    printf '127.0.0.1 localhost\n%s %s\n%s %s\n' "$LAB_NET_ADDR" "$LAB_NET_NAMES" \
        "$LAB_PROVIDER_ADDR" "$LAB_PROVIDER_NAMES" > "$etc/hosts" || return 1
    # Nothing answers DNS there: names outside the hosts file fail at once.
    printf 'nameserver %s\noptions timeout:1 attempts:1\n' "$LAB_NET_ADDR" > "$etc/resolv.conf" ||
        return 1
    lab_make_ca lab || return 1
    LAB_CA_CERT="$LAB_DIR/tls/lab-ca.pem"
    lab_trust_ca "$etc/ssl" "$LAB_CA_CERT" || return 1
    lab_log "up: namespaces tlab-$LAB_ID-*, files in $LAB_DIR"
}

# lab_make_ca NAME: a certificate authority of this run, $LAB_DIR/tls/NAME-ca.pem and its key.
lab_make_ca() {
    local dir="$LAB_DIR/tls"
    [ -d "$dir" ] || mkdir -m 700 "$dir" || return 1
    if ! openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
        -subj "/CN=Tarnix lab CA $1" -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" -keyout "$dir/$1-ca-key.pem" \
        -out "$dir/$1-ca.pem" > "$dir/$1-ca.log" 2>&1; then
        lab_log "no certificate authority $1: $(cat "$dir/$1-ca.log")"
        return 1
    fi
}

# lab_issue_cert CA NAME DNS-NAME...: a server certificate for the names, issued by the
# authority CA (lab_make_ca): $LAB_DIR/tls/NAME.pem and NAME-key.pem.
lab_issue_cert() {
    local ca=$1 name=$2 common=$3 dir="$LAB_DIR/tls" names
    shift 2
    names=$(printf 'DNS:%s,' "$@")
    if ! openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
        -CA "$dir/$ca-ca.pem" -CAkey "$dir/$ca-ca-key.pem" -subj "/CN=$common" \
        -addext "subjectAltName=${names%,}" -addext "basicConstraints=critical,CA:FALSE" \
        -addext "extendedKeyUsage=serverAuth" -keyout "$dir/$name-key.pem" \
        -out "$dir/$name.pem" > "$dir/$name.log" 2>&1; then
        lab_log "no certificate $name: $(cat "$dir/$name.log")"
        return 1
    fi
}

# lab_trust_ca DIR CA-CERT: DIR becomes an /etc/ssl trusting what this machine trusts and
# CA-CERT: a copy of /etc/ssl/certs (hash links and bundle) with the authority added to both.
lab_trust_ca() {
    local dir=$1 ca=$2
    mkdir -p "$dir" || return 1
    if [ -d /etc/ssl/certs ]; then
        cp -a /etc/ssl/certs "$dir/" || return 1
    fi
    [ ! -f /etc/ssl/openssl.cnf ] || cp /etc/ssl/openssl.cnf "$dir/" || return 1
    mkdir -p "$dir/certs" && cp "$ca" "$dir/certs/tarnix-lab-ca.pem" || return 1
    [ ! -f "$dir/certs/ca-certificates.crt" ] || cat "$ca" >> "$dir/certs/ca-certificates.crt" ||
        return 1
    # The bundle holds many certificates, which rehash warns about and skips.
    openssl rehash "$dir/certs" > /dev/null 2>&1
    [ -e "$dir/certs/$(openssl x509 -hash -noout -in "$ca").0" ] ||
        { lab_log "no hash link for the lab CA in $dir/certs"; return 1; }
}

# lab_add_net_name NAME...: more names for the Internet host, as the gateway resolves them
# (in the name server's hosts file once it runs; SIGHUP makes it read the file again).
lab_add_net_name() {
    if [ -n "$LAB_DNS_PID" ]; then
        printf '%s %s\n' "$LAB_NET_ADDR" "$*" >> "$LAB_DIR/dns.hosts" &&
            kill -HUP "$LAB_DNS_PID"
    else
        printf '%s %s\n' "$LAB_NET_ADDR" "$*" >> "/etc/netns/${LAB_NS[gw]}/hosts"
    fi
}

# lab_start_dns: the Internet's name server on 10.99.0.2:53 (UDP, TCP; the address the gateway
# host's resolv.conf names): dnsmasq with the names of the gateway's hosts file and the probe
# hosts, NXDOMAIN for other .lab names, nothing forwarded. The gateway's hosts file is left
# with localhost only. Log in $LAB_DIR/dns.log.
lab_start_dns() {
    local etc="/etc/netns/${LAB_NS[gw]}" probe names=""
    for probe in "${LAB_PROBES[@]}"; do
        [[ " $names " == *" ${probe%%/*} "* ]] || names="$names ${probe%%/*}"
    done
    { grep -v '^127\.0\.0\.1 ' "$etc/hosts" && echo "$LAB_NET_ADDR$names"; } \
        > "$LAB_DIR/dns.hosts" || return 1
    printf '127.0.0.1 localhost\n' > "$etc/hosts" || return 1
    # Root throughout: the hosts file lies in the lab's private directory.
    lab_net_start dns dnsmasq --keep-in-foreground --conf-file=/dev/null --pid-file= \
        --log-facility=- --user=root --no-resolv --no-hosts --addn-hosts="$LAB_DIR/dns.hosts" \
        --listen-address="$LAB_NET_ADDR" --bind-interfaces --local=/lab/
    LAB_DNS_PID=$LAB_LAST_PID
    if ! lab_wait 10 lab_listening_at net "$LAB_NET_ADDR" 53; then
        lab_log "name server did not start: $(cat "$LAB_DIR/dns.log")"
        return 1
    fi
}

# lab_add_device NAME MAC: a LAN host without proxy settings, as a phone is: its udhcpc lease
# also sets its name server (/etc/netns/<its namespace>/resolv.conf, which commands run there
# see as /etc/resolv.conf); lab_chromium_dump runs Chromium there without a proxy.
lab_add_device() {
    lab_add_client "$1" "$2" || return 1
    local etc="/etc/netns/${LAB_NS[$1]}"
    mkdir -p "$etc" && : > "$etc/resolv.conf" || return 1
    LAB_NETNS_DIRS+=("$etc")
    LAB_DEVICE[$1]=$etc/resolv.conf
}

# lab_add_client NAME MAC [ADDRESS/PREFIX]: a LAN host (eth0 on the bridge, port c-NAME). With
# an address it is configured statically and never asks for one.
lab_add_client() {
    local name=$1 mac=$2 static=${3:-}
    if ! [[ $name =~ ^[a-z0-9]{1,10}$ ]] || [ -n "${LAB_NS[$name]:-}" ]; then
        lab_log "bad or used client name '$name'"
        return 1
    fi
    lab_new_ns "$name" || return 1
    LAB_MAC[$name]=$mac
    ip link add eth0 netns "${LAB_NS[$name]}" address "$mac" type veth \
        peer name "c-$name" netns "${LAB_NS[sw]}" || return 1
    ip -n "${LAB_NS[sw]}" link set "c-$name" master br0 up || return 1
    ip -n "${LAB_NS[$name]}" link set eth0 up || return 1
    if [ -n "$static" ]; then
        [[ $static == */* ]] || static="$static/24"
        ip -n "${LAB_NS[$name]}" addr add "$static" dev eth0 || return 1
    fi
}

# lab_net_start NAME COMMAND...: a background service on the Internet host, logged to
# $LAB_DIR/NAME.log; its PID is left in LAB_LAST_PID and ended by lab_down.
lab_net_start() {
    local name=$1
    shift
    ip netns exec "${LAB_NS[net]}" "$@" > "$LAB_DIR/$name.log" 2>&1 &
    LAB_LAST_PID=$!
    lab_track "$LAB_LAST_PID"
}

# lab_start_origin: a web origin on the Internet host, port 80, serving $LAB_DIR/www
# (index.html holds $LAB_ORIGIN_TEXT, "Tarnix lab origin") and the probes' answers.
lab_start_origin() {
    mkdir -p "$LAB_DIR/www"
    printf '<html><head><title>Lab origin</title></head><body><h1>%s</h1></body></html>\n' \
        "$LAB_ORIGIN_TEXT" > "$LAB_DIR/www/index.html"
    lab_net_start origin python3 "$LAB_LIB_DIR/origin.py" "$LAB_NET_ADDR" 80 "$LAB_DIR/www"
    if ! lab_wait 15 lab_listening net -lnt 80; then
        lab_log "web origin did not start: $(cat "$LAB_DIR/origin.log")"
        return 1
    fi
}

# lab_start_tls_origin: the same pages over HTTPS on 10.99.0.2:443, with a certificate of the
# lab CA for origin.lab and www.origin.lab; $LAB_ORIGIN_CERT is a client's trust anchor for it.
lab_start_tls_origin() {
    [ -f "$LAB_DIR/www/index.html" ] || { lab_log "start the web origin first"; return 1; }
    lab_issue_cert lab origin origin.lab www.origin.lab || return 1
    LAB_ORIGIN_CERT=$LAB_CA_CERT
    lab_net_start tls-origin python3 "$LAB_LIB_DIR/origin.py" "$LAB_NET_ADDR" 443 \
        "$LAB_DIR/www" "$LAB_DIR/tls/origin.pem" "$LAB_DIR/tls/origin-key.pem"
    if ! lab_wait 15 lab_listening_at net "$LAB_NET_ADDR" 443; then
        lab_log "HTTPS origin did not start: $(cat "$LAB_DIR/tls-origin.log")"
        return 1
    fi
}

# lab_start_provider [ID] [PASSWORD]: the reference provider service (tools/provider) on the
# Internet host as provider.lab, 10.99.0.3:80, with one account (default: the lab's operator).
# Accounts and purchases in $LAB_DIR/provider/ (purchases stay when it is started again), its
# request log in $LAB_DIR/provider.log, its PID in LAB_PROVIDER_PID. Its purchase confirmations
# send the browser to the gateway's refresh. A gateway started after it loads http://provider.lab.
lab_start_provider() {
    lab_run_provider 80 "${1:-$LAB_PROVIDER_ID}" "${2:-$LAB_PROVIDER_PWD}" || return 1
    LAB_PROVIDER_SCHEME=http
}

# lab_start_tls_provider CA [ID] [PASSWORD]: the same over HTTPS on 10.99.0.3:443, with a
# certificate for provider.lab issued by CA: "lab" for the lab CA, which the gateway host
# trusts; any other name makes an authority of that name, which nobody trusts. Its log also has
# a line for each failed handshake. A gateway started after it loads https://provider.lab.
lab_start_tls_provider() {
    local ca=$1 dir="$LAB_DIR/tls"
    [ -f "$dir/$ca-ca.pem" ] || lab_make_ca "$ca" || return 1
    lab_issue_cert "$ca" "provider-$ca" "$LAB_PROVIDER_HOST" "www.$LAB_PROVIDER_HOST" || return 1
    lab_run_provider 443 "${2:-$LAB_PROVIDER_ID}" "${3:-$LAB_PROVIDER_PWD}" \
        --tls-cert "$dir/provider-$ca.pem" --tls-key "$dir/provider-$ca-key.pem" || return 1
    LAB_PROVIDER_SCHEME=https
}

lab_run_provider() { # PORT ID PASSWORD [SERVICE OPTIONS...]
    local port=$1 id=$2 password=$3 dir="$LAB_DIR/provider"
    shift 3
    local service="$LAB_LIB_DIR/../tools/provider/provider_service.py"
    [ -f "$service" ] || { lab_log "no provider service at $service"; return 1; }
    [ -d "$dir" ] || mkdir -m 700 "$dir" || return 1
    # JSON written by Python, so any character of the password is quoted right.
    (umask 077 && python3 -c 'import json, sys; json.dump({sys.argv[1]: sys.argv[2]}, sys.stdout)' \
        "$id" "$password" > "$dir/accounts.json") || return 1
    [ -z "$LAB_SHORT_PLAN" ] || set -- "$@" --short-plan "$LAB_SHORT_PLAN"
    lab_net_start provider python3 "$service" --listen "$LAB_PROVIDER_ADDR" --port "$port" \
        --accounts "$dir/accounts.json" --purchases "$dir/purchases.json" --gateway "$LAB_PROXY" \
        "$@"
    LAB_PROVIDER_PID=$LAB_LAST_PID
    if ! lab_wait 15 lab_listening_at net "$LAB_PROVIDER_ADDR" "$port"; then
        lab_log "provider service did not start: $(cat "$LAB_DIR/provider.log")"
        return 1
    fi
}

# lab_stop_provider: SIGTERM to the provider service.
lab_stop_provider() {
    local pid=$LAB_PROVIDER_PID
    LAB_PROVIDER_PID=""
    [ -z "$pid" ] || lab_stop "$pid"
}

# lab_start_gateway BINARY [ID] [PASSWORD]: runs the gateway headless in the gateway host with
# its own settings file ($LAB_DIR/gateway.ini; output in gateway.out/.err), provider.lab as its
# provider host (https://provider.lab after lab_start_tls_provider) and LAB_WHITELIST open to
# all, and waits until it serves. Its PID is in LAB_GATEWAY_PID.
lab_start_gateway() {
    local binary=$1 id=${2:-$LAB_PROVIDER_ID} password=${3:-$LAB_PROVIDER_PWD}
    local provider=$LAB_PROVIDER_HOST
    [ "$LAB_PROVIDER_SCHEME" = http ] || provider="$LAB_PROVIDER_SCHEME://$LAB_PROVIDER_HOST"
    if [ ! -x "$binary" ]; then
        lab_log "no gateway program at $binary"
        return 1
    fi
    local ini="$LAB_DIR/gateway.ini" runtime="$LAB_DIR/xdg-runtime"
    (umask 077 && printf '[Setup]\nProviderID=%s\nProviderPWD=%s\n' "$id" "$password" > "$ini")
    mkdir -m 700 "$runtime" 2> /dev/null || true
    ip netns exec "${LAB_NS[gw]}" env TARNIX_INI="$ini" QT_QPA_PLATFORM=offscreen \
        XDG_RUNTIME_DIR="$runtime" TARNIX_PROVIDER_HOST="$provider" \
        TARNIX_WHITELIST="$LAB_WHITELIST" TARNIX_CAPPORT_URL="${LAB_CAPPORT_URL:-}" \
        "$binary" > "$LAB_DIR/gateway.out" \
        2> "$LAB_DIR/gateway.err" &
    LAB_GATEWAY_PID=$!
    lab_track "$LAB_GATEWAY_PID"
    local i
    for ((i = 0; i < 200; i++)); do
        if ! kill -0 "$LAB_GATEWAY_PID" 2>/dev/null; then
            lab_log "the gateway ended before serving; its errors:"
            tail -n 20 "$LAB_DIR/gateway.err" >&2
            return 1
        fi
        lab_listening gw -lnu 67 && lab_listening gw -lnt 8080 && return 0
        sleep 0.1
    done
    lab_log "the gateway did not open UDP 67 and TCP 8080 within 20 s; its errors:"
    tail -n 20 "$LAB_DIR/gateway.err" >&2
    return 1
}

# lab_stop_gateway: SIGTERM to the gateway; returns its exit code.
lab_stop_gateway() {
    local pid=$LAB_GATEWAY_PID
    LAB_GATEWAY_PID=""
    [ -n "$pid" ] && lab_stop "$pid"
}

# lab_watch_dhcp [HOST IFACE NAME]: logs every DHCP message through the gateway's switch port
# (or HOST's IFACE) to $LAB_DIR/dhcp.log (NAME.log; format in dhcp_watch.py).
lab_watch_dhcp() {
    local host=${1:-sw} iface=${2:-p-gw} log="$LAB_DIR/${3:-dhcp}.log"
    ip netns exec "${LAB_NS[$host]}" python3 "$LAB_LIB_DIR/dhcp_watch.py" "$iface" "$log" \
        2> "$log.err" &
    lab_track $!
    if ! lab_wait 10 grep -sqx ready "$log"; then
        lab_log "DHCP watcher did not start: $(cat "$log.err")"
        return 1
    fi
}

# The client scripts write a lease file of key=value lines (ip, mask, router, dns, lease,
# domain, wpad, server, event; udhcpc also opt114, option 114 in hex when asked for with
# -O 114) on every bound/renew, append "EVENT IP" to NAME.TOOL.events, and
# set the address and default route on the interface (never /etc/resolv.conf; a device's own
# resolv.conf from lab_add_device, written in place, which running programs see at once).
lab_write_udhcpc_script() { # NAME
    local base="$LAB_DIR/$1.udhcpc" resolv=${LAB_DEVICE[$1]:-}
    cat > "$base.sh" <<EOF
#!/bin/sh
# udhcpc event script of lab client $1.
PATH=/usr/sbin:/usr/bin:/sbin:/bin
echo "\$1 \${ip:--}" >> "$base.events"
case "\$1" in
deconfig)
    ip -4 addr flush dev "\$interface"
    ;;
bound|renew)
    {
        echo "event=\$1"; echo "ip=\$ip"; echo "mask=\${mask:-24}"; echo "router=\$router"
        echo "dns=\$dns"; echo "lease=\$lease"; echo "domain=\$domain"; echo "wpad=\$wpad"
        echo "server=\$serverid"; echo "opt114=\${opt114:-}"
    } > "$base.lease.tmp" && mv "$base.lease.tmp" "$base.lease"
    ip -4 addr flush dev "\$interface"
    ip -4 addr add "\$ip/\${mask:-24}" dev "\$interface"
    [ -n "\$router" ] && ip route replace default via "\${router%% *}" dev "\$interface"
    [ -z "$resolv" ] || for s in \$dns; do echo "nameserver \$s"; done > "$resolv"
    ;;
esac
exit 0
EOF
    chmod 755 "$base.sh"
}

# lab_udhcpc NAME [UDHCPC OPTIONS...]: one busybox udhcpc run on the client, in the foreground
# until bound (-q) or given up (-n), bounded to 40 s. Output in $LAB_DIR/NAME.udhcpc.log.
lab_udhcpc() {
    local name=$1
    shift
    local base="$LAB_DIR/$name.udhcpc"
    [ -f "$base.sh" ] || lab_write_udhcpc_script "$name"
    rm -f "$base.lease"
    timeout 40 ip netns exec "${LAB_NS[$name]}" busybox udhcpc -i eth0 -f -q -n -t 5 -T 2 \
        -s "$base.sh" -p "$base.pid" -O 252 "$@" >> "$base.log" 2>&1
}

# lab_udhcpc_start NAME [UDHCPC OPTIONS...]: udhcpc staying in the background (renewals by
# SIGUSR1, release by SIGUSR2); its PID is left in LAB_LAST_PID.
lab_udhcpc_start() {
    local name=$1
    shift
    local base="$LAB_DIR/$name.udhcpc"
    [ -f "$base.sh" ] || lab_write_udhcpc_script "$name"
    rm -f "$base.lease"
    ip netns exec "${LAB_NS[$name]}" busybox udhcpc -i eth0 -f -n -t 5 -T 2 \
        -s "$base.sh" -p "$base.pid" -O 252 "$@" >> "$base.log" 2>&1 &
    LAB_LAST_PID=$!
    lab_track "$LAB_LAST_PID"
}

lab_write_dhclient_files() { # NAME
    local base="$LAB_DIR/$1.dhclient"
    cat > "$base.conf" <<'EOF'
option wpad code 252 = text;
timeout 20;
retry 5;
request subnet-mask, broadcast-address, routers, domain-name, domain-name-servers,
        dhcp-lease-time, wpad;
EOF
    # dhclient hands its script only variables of its own, so paths are written in.
    cat > "$base.sh" <<EOF
#!/bin/sh
# dhclient event script of lab client $1.
PATH=/usr/sbin:/usr/bin:/sbin:/bin
echo "\$reason \${new_ip_address:-\${old_ip_address:--}}" >> "$base.events"
prefix() {
    n=0
    for octet in \$(echo "\$1" | tr . ' '); do
        while [ "\$octet" -gt 0 ]; do n=\$((n + (octet & 1))); octet=\$((octet >> 1)); done
    done
    echo \$n
}
case "\$reason" in
PREINIT)
    ip link set "\$interface" up
    ;;
BOUND|RENEW|REBIND|REBOOT)
    bits=\$(prefix "\${new_subnet_mask:-255.255.255.0}")
    {
        echo "event=\$reason"; echo "ip=\$new_ip_address"; echo "mask=\$bits"
        echo "router=\$new_routers"; echo "dns=\$new_domain_name_servers"
        echo "lease=\$new_dhcp_lease_time"; echo "domain=\$new_domain_name"
        echo "wpad=\$new_wpad"; echo "server=\$new_dhcp_server_identifier"
    } > "$base.lease.tmp" && mv "$base.lease.tmp" "$base.lease"
    ip -4 addr flush dev "\$interface"
    ip -4 addr add "\$new_ip_address/\$bits" dev "\$interface"
    [ -n "\$new_routers" ] && ip route replace default via "\${new_routers%% *}" dev "\$interface"
    ;;
EXPIRE|FAIL|RELEASE|STOP)
    ip -4 addr flush dev "\$interface"
    ;;
esac
exit 0
EOF
    chmod 755 "$base.sh"
}

lab_dhclient_args() { # NAME
    local base="$LAB_DIR/$1.dhclient"
    echo "-cf $base.conf -sf $base.sh -lf $base.leases -pf $base.pid"
}

# lab_dhclient NAME [DHCLIENT OPTIONS...]: ISC dhclient tries once (-1), bounded to 40 s. Once
# bound it stays in the background (ended by lab_down, or by lab_dhclient_release). Its lease
# database $LAB_DIR/NAME.dhclient.leases persists, so a second run reboots from it.
lab_dhclient() {
    local name=$1
    shift
    local base="$LAB_DIR/$name.dhclient" code=0 pid
    [ -f "$base.sh" ] || lab_write_dhclient_files "$name"
    rm -f "$base.lease"
    # shellcheck disable=SC2046
    timeout 40 ip netns exec "${LAB_NS[$name]}" dhclient -1 -v $(lab_dhclient_args "$name") \
        "$@" eth0 >> "$base.log" 2>&1 || code=$?
    pid=$(cat "$base.pid" 2>/dev/null) && [ -n "$pid" ] && lab_track "$pid"
    return "$code"
}

# lab_dhclient_release NAME: dhclient -r: stops the client's running dhclient and sends RELEASE.
lab_dhclient_release() {
    local name=$1
    # shellcheck disable=SC2046
    timeout 20 ip netns exec "${LAB_NS[$name]}" dhclient -r -v $(lab_dhclient_args "$name") \
        eth0 >> "$LAB_DIR/$name.dhclient.log" 2>&1
}

# lab_proxy_curl NAME CURL-ARGUMENTS...: curl on client NAME through the gateway's proxy,
# silent but for errors, bounded to 10 s (NO_PROXY of the caller's environment is overridden).
lab_proxy_curl() {
    local name=$1
    shift
    lab_in "$name" curl -sS --max-time 10 --noproxy '' -x "$LAB_PROXY" "$@"
}

# lab_device_curl NAME CURL-ARGUMENTS...: curl on NAME with no proxy whatever the caller's
# environment, silent but for errors, bounded to 10 s.
lab_device_curl() {
    local name=$1
    shift
    lab_in "$name" curl -sS --max-time 10 --noproxy '*' "$@"
}

# lab_client_curl NAME CURL-ARGUMENTS...: curl on NAME the way it reaches the web: a device of
# lab_add_device directly, any other client through the gateway's proxy.
lab_client_curl() {
    if [ -n "${LAB_DEVICE[$1]:-}" ]; then lab_device_curl "$@"; else lab_proxy_curl "$@"; fi
}

# lab_client_mac_hex NAME: the client's hardware address as the gateway names it: 12 hex
# digits, upper case.
lab_client_mac_hex() { echo "${LAB_MAC[$1]}" | tr -d ':' | tr 'a-f' 'A-F'; }

# lab_purchase_url NAME: the purchase page the gateway sends the unpaid client NAME to.
lab_purchase_url() {
    echo "$LAB_PROVIDER_SCHEME://$LAB_PROVIDER_HOST/gateway/purchasing.asp?id=$LAB_PROVIDER_ID\
&mac=$(lab_client_mac_hex "$1")"
}

# lab_buy NAME PLAN: NAME buys PLAN ("day", or "short" after LAB_SHORT_PLAN) at the provider
# service, through the proxy or, from a device, directly; the confirmation, whose refresh leads
# to the gateway's refresh path, in $LAB_DIR/NAME.purchase.html.
lab_buy() {
    local name=$1 file="$LAB_DIR/$1.purchase.html"
    lab_client_curl "$name" --cacert "$LAB_CA_CERT" -o "$file" \
        -d "id=$LAB_PROVIDER_ID&mac=$(lab_client_mac_hex "$name")&plan=$2" \
        "$LAB_PROVIDER_SCHEME://$LAB_PROVIDER_HOST/gateway/purchase" && grep -q 'Thank you' "$file"
}

# lab_origin_reached NAME: NAME gets the origin's page (through the proxy, or from a device
# directly), left in $LAB_DIR/NAME.origin.html.
lab_origin_reached() {
    local file="$LAB_DIR/$1.origin.html"
    lab_client_curl "$1" -o "$file" http://origin.lab/ 2> /dev/null && grep -q "$LAB_ORIGIN_TEXT" "$file"
}

# lab_refresh_target FILE: the URL of the page's <meta http-equiv="refresh"> (empty if none).
lab_refresh_target() {
    tr '\n' ' ' < "$1" |
        sed -n 's/.*<meta [^>]*http-equiv="refresh"[^>]*content="[0-9]*; *URL=\([^"]*\)".*/\1/Ip' |
        sed 's/&amp;/\&/g'
}

# lab_chromium_dump NAME URL [CHROMIUM FLAGS...]: headless Chromium on client NAME, set up by
# the gateway's proxy auto-config script (on a device of lab_add_device: no proxy at all),
# prints the page's DOM; bounded to 60 s. Each run has
# a new empty profile and home in $LAB_DIR, left in LAB_CHROMIUM_DIR (messages in its stderr).
# --virtual-time-budget=MS lets the page's own redirects run before the DOM is taken.
lab_chromium_dump() {
    local name=$1 url=$2 dir proxy="--proxy-pac-url=$LAB_PROXY/wpad"
    shift 2
    [ -z "${LAB_DEVICE[$name]:-}" ] || proxy=--no-proxy-server
    dir=$(mktemp -d "$LAB_DIR/chromium.XXXXXX") || return 1
    LAB_CHROMIUM_DIR=$dir
    mkdir -p "$dir/home" "$dir/profile"
    # Root needs --no-sandbox; the rest keeps a fresh profile from calling home.
    timeout -k 5 60 ip netns exec "${LAB_NS[$name]}" env HOME="$dir/home" \
        XDG_CONFIG_HOME="$dir/home/.config" XDG_CACHE_HOME="$dir/home/.cache" \
        chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
        --disable-background-networking --disable-component-update --disable-sync \
        --disable-dev-shm-usage --user-data-dir="$dir/profile" \
        "$proxy" "$@" --dump-dom "$url" 2> "$dir/stderr"
}

# lab_lease_value FILE KEY: one value from a lease file written by the client scripts.
lab_lease_value() { sed -n "s/^$2=//p" "$1" 2>/dev/null | head -n 1; }

# lab_show_lease FILE: the lease for a person to read.
lab_show_lease() {
    local f=$1
    printf '  address      %s/%s\n' "$(lab_lease_value "$f" ip)" "$(lab_lease_value "$f" mask)"
    printf '  router       %s\n' "$(lab_lease_value "$f" router)"
    printf '  name server  %s\n' "$(lab_lease_value "$f" dns)"
    printf '  lease time   %s s\n' "$(lab_lease_value "$f" lease)"
    printf '  domain       %s\n' "$(lab_lease_value "$f" domain)"
    printf '  option 252   %s\n' "$(lab_lease_value "$f" wpad)"
}

# lab_down: ends every started process by PID (and anything left in the lab's namespaces),
# deletes the namespaces and /etc/netns entries, and removes $LAB_DIR unless LAB_KEEP=1.
lab_down() {
    [ -n "$LAB_ID" ] || return 0
    # Clean-up goes on past every failure, whatever options the caller set.
    local - pid ns host dir
    set +e
    trap '' INT TERM
    for pid in "${LAB_PIDS[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${LAB_PIDS[@]}"; do
        lab_stop "$pid" || true
    done
    # Daemons that forked off inside the namespaces (dhclient) are ended by their PIDs too.
    for host in "${!LAB_NS[@]}"; do
        for pid in $(ip netns pids "${LAB_NS[$host]}" 2>/dev/null); do
            kill -KILL "$pid" 2>/dev/null || true
        done
    done
    for host in "${!LAB_NS[@]}"; do
        ns=${LAB_NS[$host]}
        ip netns del "$ns" 2>/dev/null || lab_log "could not delete namespace $ns"
    done
    for dir in "${LAB_NETNS_DIRS[@]}"; do
        rm -rf "$dir"
    done
    lab_log "down: namespaces tlab-$LAB_ID-* removed"
    if [ "${LAB_KEEP:-0}" = 1 ]; then
        lab_log "kept $LAB_DIR"
    else
        rm -rf "$LAB_DIR"
    fi
    LAB_NS=()
    LAB_DEVICE=()
    LAB_DNS_PID=""
    LAB_PIDS=()
    LAB_NETNS_DIRS=()
    LAB_ID=""
    LAB_PROVIDER_SCHEME=http
}

# lab_proc_rss_kib PID: the process's resident memory in KiB (VmRSS); empty when it is gone.
lab_proc_rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status" 2>/dev/null; }

# lab_proc_fd_count PID: how many descriptors the process holds open.
lab_proc_fd_count() { find "/proc/$1/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l; }

# lab_established HOST [SS FILTER...]: how many established TCP connections of HOST match the
# filter (e.g. '( sport = :8080 )' or dst 10.99.0.2).
lab_established() {
    local host=$1
    shift
    lab_in "$host" ss -Htn state established "$@" 2>/dev/null | wc -l
}
