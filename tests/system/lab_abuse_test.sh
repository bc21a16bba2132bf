#!/bin/bash
# The real gateway's proxy against abuse, in the lab network. Client A has bought access at the
# reference provider; client B has not.
#  1. Hosts with a NUL in them (an address before ".provider.lab", dotted or hexadecimal) are
#     answered 400, and nothing reaches the address before the NUL.
#  2. The request target decides where a request goes, never the Host line beside it.
#  3. A tunnel that the whitelist opens goes only to port 443; a paid client's to any port.
#  4. 300 trickling connections from the Internet side are closed at once and take no slot.
#  5. A host that sets A's address by hand, once A is gone, is not taken for A.
# A listener on the Internet host (ports 22 and 443 of provider.lab, 22 of origin.lab) logs every
# connection the gateway makes there.
set -uo pipefail

. "$(dirname "$0")/require_root.sh"
require_root

require_tools ip ss python3 timeout busybox curl
GATEWAY="${TARNIX_BUILD_DIR:?TARNIX_BUILD_DIR is not set}/tarnix-gateway"
[ -x "$GATEWAY" ] || { echo "FAIL: no gateway program at $GATEWAY"; exit 1; }
HERE=$(cd "$(dirname "$0")" && pwd)

# shellcheck source=../../lab/lab.sh
. "$HERE/../../lab/lab.sh"

MAC_A=02:00:00:00:31:0a
MAC_B=02:00:00:00:31:0b
MAC_C=02:00:00:00:31:0c
A_IP=""

excerpt() { tr '\r\n' '  ' < "$1" | cut -c 1-300; }
status_line() { head -n 1 "$1" | tr -d '\r'; }
origin_requests() { grep -c '"GET ' "$LAB_DIR/origin.log"; }
provider_pages() { grep -v ProviderBanner "$LAB_DIR/provider.log" | grep -c '"GET '; }
listener_connections() { cat "$LAB_DIR"/listen*.log | grep -c '^connection'; }
purchase_url() { # NAME
    echo "http://$LAB_PROVIDER_HOST/gateway/purchasing.asp?id=$LAB_PROVIDER_ID&mac=$(
        lab_client_mac_hex "$1")"
}

# raw NAME FILE REQUEST [THEN]: REQUEST (Python escapes: \r \n \0) goes from client NAME to the
# proxy in one piece; the reply, read until its declared length or the close (5 s at most),
# lands in FILE. THEN is sent once that reply is in (a request through a tunnel), and what
# follows is read to the close.
raw() {
    lab_in "$1" timeout 20 python3 -c '
import re, socket, sys
def data_of(text):
    return text.encode("latin-1").decode("unicode_escape").encode("latin-1")
def whole(reply):
    end = re.search(rb"\r?\n\r?\n", reply)
    length = end and re.search(rb"(?im)^content-length:[ \t]*(\d+)", reply[:end.start()])
    return end and len(reply) - end.end() >= (int(length.group(1)) if length else 0)
s = socket.create_connection(("192.168.11.1", 8080), timeout=5)
s.sendall(data_of(sys.argv[1]))
then, reply, to_close = sys.argv[2:], b"", False
try:
    while chunk := s.recv(65536):
        reply += chunk
        if not to_close and whole(reply):
            if not then:
                break
            s.sendall(data_of(then[0]))
            to_close = True
except OSError:  # a time-out, or the proxy reset what it had refused
    pass
sys.stdout.buffer.write(reply)
' "${@:3}" > "$2" 2> "$2.err" || problem "the request failed: $(cat "$2.err")"
}

origin_reached() { # NAME
    lab_proxy_curl "$1" -o "$LAB_DIR/$1.origin.html" http://origin.lab/ 2> /dev/null &&
        grep -q "$LAB_ORIGIN_TEXT" "$LAB_DIR/$1.origin.html"
}

a_paid_b_not() {
    local mac code
    lab_udhcpc a && lab_udhcpc b ||
        problem "no lease: $(tail -n 2 "$LAB_DIR"/[ab].udhcpc.log | tr '\n' ' ')" || return 1
    A_IP=$(lab_lease_value "$LAB_DIR/a.udhcpc.lease" ip)
    mac=$(lab_client_mac_hex a)
    code=$(lab_proxy_curl a -o "$LAB_DIR/a.purchase.html" -w '%{http_code}' \
        -d "id=$LAB_PROVIDER_ID&mac=$mac&plan=day" "http://$LAB_PROVIDER_HOST/gateway/purchase")
    [ "$code" = 200 ] || problem "the purchase answered $code" || return 1
    lab_proxy_curl a -o /dev/null "$LAB_PROXY/refresh" || problem "no refresh" || return 1
    lab_wait 20 origin_reached a || problem "A did not reach the origin after its purchase" ||
        return 1
    echo "  A ($MAC_A, $A_IP) bought a day and browses the origin;" \
        "B ($MAC_B, $(lab_lease_value "$LAB_DIR/b.udhcpc.lease" ip)) has not paid"
}

# What would reach 10.99.0.2 if the resolver were handed the host: it stops at the NUL.
nul_hosts_refused() {
    local origin_before listener_before request n=0 file
    origin_before=$(origin_requests)
    listener_before=$(listener_connections)
    for request in 'GET / HTTP/1.1\r\nHost: 10.99.0.2\0.provider.lab\r\n\r\n' \
        'CONNECT 10.99.0.2:22 HTTP/1.1\r\nHost: 10.99.0.2\0.provider.lab\r\n\r\n' \
        'GET / HTTP/1.1\r\nHost: 0xa630002\0.provider.lab\r\n\r\n'; do
        n=$((n + 1))
        file="$LAB_DIR/nul.$n"
        raw b "$file" "$request" || return 1
        [ "$(status_line "$file")" = "HTTP/1.1 400 Bad Request" ] &&
            grep -qi '^content-length: 0' "$file" ||
            problem "${request//'\r\n'/ } answered: $(excerpt "$file")" || return 1
        echo "  ${request//'\r\n'/ }-> $(status_line "$file")"
    done
    [ "$(origin_requests)" = "$origin_before" ] &&
        [ "$(listener_connections)" = "$listener_before" ] ||
        problem "something reached 10.99.0.2:" "$(tail -n 2 "$LAB_DIR/origin.log")" \
            "$(tail -n 2 "$LAB_DIR"/listen*.log)" || return 1
    echo "  neither the origin on 10.99.0.2:80 nor the listener on :22 saw a connection"
}

target_decides() {
    local origin_before provider_before file="$LAB_DIR/b.target.html" want
    origin_before=$(origin_requests)
    provider_before=$(provider_pages)
    raw b "$file" 'GET http://origin.lab/ HTTP/1.1\r\nHost: provider.lab\r\n\r\n' || return 1
    want=$(purchase_url b)
    [ "$(status_line "$file")" = "HTTP/1.1 200 OK" ] &&
        [ "$(lab_refresh_target "$file")" = "$want" ] && ! grep -q "$LAB_ORIGIN_TEXT" "$file" ||
        problem "GET http://origin.lab/ with Host: provider.lab answered: $(excerpt "$file")" ||
        return 1
    echo "  GET http://origin.lab/, Host: provider.lab -> the redirect to $want"
    file="$LAB_DIR/b.target.txt"
    raw b "$file" 'CONNECT origin.lab:80 HTTP/1.1\r\nHost: provider.lab:80\r\n\r\n' || return 1
    [[ $(status_line "$file") == "HTTP/1.1 511 "* ]] ||
        problem "CONNECT origin.lab:80 with Host: provider.lab:80 answered: $(excerpt "$file")" ||
        return 1
    echo "  CONNECT origin.lab:80, Host: provider.lab:80 -> $(status_line "$file")"
    [ "$(origin_requests)" = "$origin_before" ] && [ "$(provider_pages)" = "$provider_before" ] ||
        problem "the origin or the provider was asked for a page" || return 1
    echo "  neither the origin nor the provider was asked for a page"
}

# tunnel NAME PORT: CONNECT provider.lab:PORT from NAME, and a request through it if it opens.
tunnel() {
    raw "$1" "$LAB_DIR/$1.tunnel$2" \
        "CONNECT provider.lab:$2 HTTP/1.1\r\nHost: provider.lab:$2\r\n\r\n" \
        "GET /through-$1-$2 HTTP/1.1\r\nHost: provider.lab\r\n\r\n"
}
tunnel_carried() { # NAME PORT
    local file="$LAB_DIR/$1.tunnel$2"
    [ "$(status_line "$file")" = "HTTP/1.0 200 Connection established" ] &&
        grep -q 'Fault origin page' "$file" &&
        grep -q "^GET /through-$1-$2\$" "$LAB_DIR"/listen*.log ||
        problem "$1's CONNECT provider.lab:$2 answered: $(excerpt "$file")" || return 1
    echo "  $1: CONNECT provider.lab:$2 -> $(status_line "$file"); the listener served it"
}

whitelist_tunnels_only_to_443() {
    local before
    before=$(listener_connections)
    tunnel b 22 || return 1
    [[ $(status_line "$LAB_DIR/b.tunnel22") == "HTTP/1.1 511 "* ]] ||
        problem "B's CONNECT provider.lab:22 answered: $(excerpt "$LAB_DIR/b.tunnel22")" ||
        return 1
    [ "$(listener_connections)" = "$before" ] ||
        problem "the listener saw a connection: $(tail -n 1 "$LAB_DIR/listen22.log")" || return 1
    echo "  b: CONNECT provider.lab:22 -> $(status_line "$LAB_DIR/b.tunnel22"); no connection made"
    tunnel b 443 && tunnel_carried b 443 || return 1
    tunnel a 22 && tunnel_carried a 22 || return 1
    grep -h '^connection' "$LAB_DIR"/listen*.log | sed 's/^/  listener: /'
}

wan_value() { sed -n "s/.*\b$1=\([0-9]*\).*/\1/p" "$LAB_DIR/wan-slow.status" 2> /dev/null; }
wan_all_closed() { [ "$(wan_value closed_by_peer)" = 300 ]; }
wan_slots() { lab_established gw '( sport = :8080 and dst 10.99.0.0/24 )'; }

# The Internet side reaches port 8080 on the gateway's outer address: its connections are closed
# at accept, so however many trickle in, none holds a slot.
internet_trickle_takes_no_slot() {
    local pid rc=0
    ip netns exec "${LAB_NS[net]}" python3 "$HERE/slow_client_peer.py" --host "$LAB_GW_WAN" \
        --port 8080 --count 300 --status "$LAB_DIR/wan-slow.status" --max-seconds 60 \
        > "$LAB_DIR/wan-slow.out" 2>&1 &
    pid=$!
    lab_track "$pid"
    lab_wait 10 test -s "$LAB_DIR/wan-slow.status"
    origin_reached a || problem "A could not browse while they connected" || rc=1
    lab_wait 20 wan_all_closed ||
        problem "the gateway closed $(wan_value closed_by_peer) of $(wan_value opened) opened" \
            "($(wan_value failed) failed)" || rc=1
    [ "$(wan_value cut_max_ms)" -lt 2000 ] ||
        problem "one was closed only $(wan_value cut_max_ms) ms after connecting" || rc=1
    [ "$(wan_slots)" = 0 ] || problem "the gateway holds $(wan_slots) of them" || rc=1
    origin_reached a || problem "A could not browse afterwards" || rc=1
    [ "$rc" = 0 ] && echo "  300 connections from 10.99.0.2, each closed within" \
        "$(wan_value cut_max_ms) ms of connecting; none held; A browsed meanwhile"
    lab_stop "$pid"
    return "$rc"
}

gateway_neighbour_is_c() { lab_in gw ip neigh show "$A_IP" dev lan0 | grep -qi "lladdr $MAC_C"; }

# A host that takes A's address by hand while A is away gets what any unknown host gets.
impostor_not_taken_for_a() {
    local file="$LAB_DIR/c.origin.html" code
    [ -n "$A_IP" ] || problem "A has no address" || return 1
    ip -n "${LAB_NS[a]}" link set eth0 down || problem "A's link stays up" || return 1
    lab_add_client c "$MAC_C" "$A_IP" || problem "could not add C at $A_IP" || return 1
    # C announces itself as the owner of the address (a gratuitous ARP); the gateway's kernel
    # believes it, as it would believe C's own first ARP request.
    lab_in c busybox arping -q -U -c 2 -w 2 -I eth0 "$A_IP"
    lab_wait 5 gateway_neighbour_is_c ||
        problem "the gateway's neighbour entry: $(lab_in gw ip neigh show "$A_IP")" || return 1
    code=$(lab_proxy_curl c -o "$file" -w '%{http_code}' http://origin.lab/) || true
    echo "  gateway neighbour entry: $(lab_in gw ip neigh show "$A_IP" dev lan0)"
    [ "$code" = 404 ] && ! grep -q "$LAB_ORIGIN_TEXT" "$file" ||
        problem "C ($MAC_C) at A's $A_IP got $code: $(excerpt "$file")" || return 1
    echo "  C ($MAC_C) at A's $A_IP asked for http://origin.lab/ -> $code, as an unknown host"
}

# After all of it, the listener has seen only the two tunnels allowed.
only_allowed_connections_made() {
    local seen want
    seen=$(grep -h '^connection' "$LAB_DIR"/listen*.log | sort | tr '\n' ';')
    want="connection $LAB_GW_WAN -> $LAB_PROVIDER_ADDR:22;"
    want+="connection $LAB_GW_WAN -> $LAB_PROVIDER_ADDR:443;"
    [ "$seen" = "$want" ] || problem "the listener saw: $seen" || return 1
    kill -0 "$LAB_GATEWAY_PID" 2> /dev/null || problem "the gateway ended" || return 1
    echo "  the listener saw only A's tunnel to :22 and B's to :443; the gateway runs"
}

SECONDS=0
lab_up || { echo "FAIL: could not build the lab"; exit 1; }
lab_start_origin || { echo "FAIL: the web origin did not start"; exit 1; }
lab_start_provider "$LAB_PROVIDER_ID" "$LAB_PROVIDER_PWD" ||
    { echo "FAIL: the provider service did not start"; exit 1; }
lab_net_start listen22 python3 "$HERE/fault_origin_peer.py" --listen 0.0.0.0 --port 22
lab_net_start listen443 python3 "$HERE/fault_origin_peer.py" --listen "$LAB_PROVIDER_ADDR" \
    --port 443
if ! lab_wait 15 lab_listening net -lnt 22 || ! lab_wait 15 lab_listening net -lnt 443; then
    echo "FAIL: the listeners did not start: $(cat "$LAB_DIR"/listen*.log)"
    exit 1
fi
if ! lab_add_client a "$MAC_A" || ! lab_add_client b "$MAC_B"; then
    echo "FAIL: could not add the clients"
    exit 1
fi
lab_start_gateway "$GATEWAY" || { echo "FAIL: the gateway did not start serving"; exit 1; }

step "1. A has bought access and browses; B has not" a_paid_b_not
step "2. hosts with a NUL are answered 400; nothing reaches the address before it" \
    nul_hosts_refused
step "3. the request target decides, not the Host line" target_decides
step "4. the whitelist opens tunnels only to port 443; a paid client's go anywhere" \
    whitelist_tunnels_only_to_443
step "5. 300 trickling connections from the Internet side are closed at once" \
    internet_trickle_takes_no_slot
step "6. a host at A's address, set by hand, is not taken for A" impostor_not_taken_for_a
step "7. the Internet host saw only the connections allowed" only_allowed_connections_made

echo "took $SECONDS s"
if [ "$FAILURES" -ne 0 ]; then
    echo "--- gateway errors (last lines):"
    tail -n 20 "$LAB_DIR/gateway.err"
    echo "FAIL: $FAILURES step(s) failed"
    exit 1
fi
echo "PASS: all steps"
