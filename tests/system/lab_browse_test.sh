#!/bin/bash
# A LAN client's whole road through the real gateway, and the abuse of that road. Client A takes
# a lease, is sent to its purchase page (plain HTTP and CONNECT), buys a day at the reference
# provider service (provider.lab, open to all by the whitelist) and, after the gateway's refresh,
# browses the origin through the proxy, through CONNECT tunnels (plain and HTTPS) and with
# headless Chromium set up only by the proxy auto-config script; B never pays. The operator's
# password holds "&" and "=": A gets through only if the provider page query carried it intact.
# Abuse: the gateway's own addresses and the LAN as targets, the Internet side at port 8080,
# tunnels to ports the whitelist does not open, and a host that sets A's address by hand.
# Listeners on the Internet host (port 22, and 443 of provider.lab) log every connection the
# gateway makes there. At the end no descriptor left by the clients, and SIGTERM: exit code 0
# and, in a sanitizer build, no report.
# (Heads with a NUL or a Host line naming another host: the in-process tests.)
set -u
. "$(dirname "$0")/scenario.sh"

scenario chromium
REFRESH_URL="$LAB_PROXY/refresh"
setup "the web origin" lab_start_origin
setup "the HTTPS origin" lab_start_tls_origin
setup "the provider service" lab_start_provider
setup "the listener on :22" server_start net listen22 serve internet --tcp=22
setup "the listener on provider.lab:443" server_start net listen443 serve internet \
    --listen="$LAB_PROVIDER_ADDR" --tcp=443
setup "client A" lab_add_client a 02:00:00:00:11:0a
setup "client B" lab_add_client b 02:00:00:00:11:0b
setup "the gateway" lab_start_gateway "$GATEWAY"

lease_and_login() {
    lease a || return 1
    [ "$(leased_ip a)" = 192.168.11.100 ] || problem "A leased '$(leased_ip a)'" || return 1
    lab_wait 20 above 0 provider_pages || problem "no provider page request at start"
}

unpaid_sent_to_purchase() { # NAME
    local file="$LAB_DIR/$1.redirect.html" code
    code=$(lab_proxy_curl "$1" -o "$file" -w '%{http_code}' http://origin.lab/)
    [ "$code" = 200 ] || problem "GET answered '$code'" || return 1
    expect_redirect "$1" "$file" || return 1
    lab_proxy_curl "$1" -i -X CONNECT --request-target origin.lab:80 -H 'Host: origin.lab:80' \
        http://origin.lab/ > "$file.connect" || problem "no answer to CONNECT" || return 1
    [[ $(head -n 1 "$file.connect") == "HTTP/1."[01]" 511 "* ]] ||
        problem "CONNECT answered: $(excerpt "$file.connect")" || return 1
    expect_redirect "$1" "$file.connect" && echo "  GET 200 and CONNECT 511, both to the page" \
        "refreshing to $(lab_purchase_url "$1")"
}

purchase_and_refresh() {
    local file="$LAB_DIR/a.purchasing.html" before start
    lab_proxy_curl a -o "$file" "$(lab_purchase_url a)" && grep -q 'Buy Internet access' "$file" &&
        grep -q "$(lab_client_mac_hex a)" "$file" ||
        problem "not the purchase page for A: $(excerpt "$file")" || return 1
    lab_buy a day || problem "the purchase failed: $(excerpt "$LAB_DIR/a.purchase.html")" ||
        return 1
    [ "$(lab_refresh_target "$LAB_DIR/a.purchase.html")" = "$REFRESH_URL" ] ||
        problem "the confirmation does not lead to $REFRESH_URL" || return 1
    before=$(provider_pages)
    start=$(now_ms)
    lab_proxy_curl a -o /dev/null "$REFRESH_URL" || problem "no answer at $REFRESH_URL" || return 1
    lab_wait 10 above "$before" provider_pages || problem "the refresh loaded no page" || return 1
    lab_wait 20 lab_origin_reached a || problem "A did not reach the origin: $(excerpt \
        "$LAB_DIR/a.origin.html")" || return 1
    echo "  bought a day; A reached the origin $(($(now_ms) - start)) ms after the refresh"
    FDS=$(lab_proc_fd_count "$LAB_GATEWAY_PID")
}

tunnels() {
    lab_proxy_curl a --proxytunnel -o "$LAB_DIR/a.tunnel.html" http://origin.lab/ &&
        grep -q "$LAB_ORIGIN_TEXT" "$LAB_DIR/a.tunnel.html" ||
        problem "no page through CONNECT origin.lab:80" || return 1
    lab_proxy_curl a --cacert "$LAB_ORIGIN_CERT" -o "$LAB_DIR/a.tls.html" https://origin.lab/ &&
        grep -q "$LAB_ORIGIN_TEXT" "$LAB_DIR/a.tls.html" ||
        problem "no page through CONNECT origin.lab:443 (TLS)" || return 1
}

# The proxy never connects to the gateway itself or into the LAN, where B listens on port 80;
# connections from the Internet side are closed at accept: no reply.
no_way_inside() {
    local target code
    server_start b b80 serve lan --tcp=80 || return 1
    for target in http://localhost:8080/x http://127.0.0.1:22/ http://10.99.0.1:8080/x \
        "http://$(leased_ip b)/"; do
        code=$(lab_proxy_curl a -o /dev/null -w '%{http_code}' "$target")
        [ "$code" = 404 ] || problem "$target answered $code, not 404" || return 1
    done
    ! grep -q '^tcp' "$LAB_DIR/b80.log" || problem "B's server saw a connection" || return 1
    for target in "-x http://10.99.0.1:8080 http://origin.lab/" http://10.99.0.1:8080/refresh; do
        # shellcheck disable=SC2086 # two words of curl options
        code=$(lab_in net curl -s --max-time 10 --noproxy '' -o /dev/null -w '%{http_code}' \
            $target)
        [ "$code" = 000 ] || problem "from the Internet side $target answered $code"
    done
}

# connect NAME PORT: the proxy's answer to NAME's CONNECT provider.lab:PORT (behind an open
# tunnel curl then fails its TLS handshake with the listener, which is not the point here).
connect() {
    lab_proxy_curl "$1" -p -o /dev/null -w '%{http_connect}' "https://provider.lab:$2/" 2> /dev/null
}

# Only the two tunnels allowed reach the listeners: B's to :443 and A's to :22.
whitelist_tunnels_only_to_443() {
    local got
    got="$(connect b 22) $(connect b 443) $(connect a 22)"
    [ "$got" = "511 200 200" ] || problem "B's :22 and :443, A's :22 answered $got" || return 1
    got=$(cat "$LAB_DIR"/listen*.log | grep '^tcp' | cut -d ' ' -f 1-4 | sort | tr '\n' ';')
    [ "$got" = "tcp 22 from $LAB_GW_WAN;tcp 443 from $LAB_GW_WAN;" ] ||
        problem "the listeners saw: $got"
}

b_unpaid() { lease b && unpaid_sent_to_purchase b; }

chromium_browses() {
    chromium_shows a http://origin.lab/ "$LAB_ORIGIN_TEXT" &&
        chromium_shows b http://origin.lab/ "Device: <b>$(lab_client_mac_hex b)</b>" \
            --virtual-time-budget=5000
}

gateway_neighbour_is_c() {
    lab_in gw ip neigh show "$(leased_ip a)" dev lan0 | grep -qi "lladdr 02:00:00:00:11:0c"
}

# C announces itself as the owner of A's address while A is away (a gratuitous ARP); the
# gateway's kernel believes it, yet C gets what any unknown host gets.
impostor_not_taken_for_a() {
    local code
    ip -n "${LAB_NS[a]}" link set eth0 down &&
        lab_add_client c 02:00:00:00:11:0c "$(leased_ip a)" || problem "no C at A's address" ||
        return 1
    lab_in c busybox arping -q -U -c 2 -w 2 -I eth0 "$(leased_ip a)"
    lab_wait 5 gateway_neighbour_is_c || problem "no neighbour entry for C" || return 1
    code=$(lab_proxy_curl c -o "$LAB_DIR/c.html" -w '%{http_code}' http://origin.lab/)
    [ "$code" = 404 ] || problem "C at A's address got $code: $(excerpt "$LAB_DIR/c.html")"
}

# The clients' connections are gone: no more descriptors than after step 3. Then SIGTERM.
ends_with_fds_back() {
    lab_wait 15 eval '[ "$(lab_proc_fd_count "$LAB_GATEWAY_PID")" -le $((FDS + 2)) ]' ||
        problem "$(lab_proc_fd_count "$LAB_GATEWAY_PID") descriptors, $FDS after step 3" || return 1
    ends_cleanly
}

step "1. A obtains 192.168.11.100; the gateway logs in to provider.lab at start" lease_and_login
step "2. unpaid A, plain HTTP and CONNECT: sent to its purchase page" unpaid_sent_to_purchase a
step "3. A buys a day at provider.lab; the refresh lets it through" purchase_and_refresh
step "4. B, which has not paid, is still sent to its purchase page" b_unpaid
step "5. CONNECT tunnels carry the origin's page, plain and over TLS" tunnels
step "6. no way to the gateway itself or the LAN; nothing for the Internet side" no_way_inside
step "7. the whitelist opens tunnels only to port 443; a paid client's go anywhere" \
    whitelist_tunnels_only_to_443
step "8. headless Chromium by the auto-config script: A the origin, B its purchase page" \
    chromium_browses
step "9. a host at A's address, set by hand, is not taken for A" impostor_not_taken_for_a
step "10. no descriptor left; SIGTERM: exit code 0 and no sanitizer report" ends_with_fds_back
finish provider.log origin.log
