#!/bin/bash
# Shows the gateway at work without a real LAN: builds the lab network (lab.sh) with a web
# origin and the reference provider service (provider.lab), starts the gateway, and walks one
# LAN client down the whole road: its lease, the proxy auto-config script, the page sending it to
# the purchase page, the purchase, the gateway's refresh, then browsing through the gateway. One
# line per step; then the lab stays up until Ctrl+C (SIGINT) or SIGTERM and is torn down.
#
# Usage: lab/demo.sh [GATEWAY-BINARY]   (as root; default: tarnix-gateway on PATH)
set -euo pipefail

gateway=${1:-$(command -v tarnix-gateway || true)}
if [ -z "$gateway" ] || [ ! -x "$gateway" ]; then
    echo "demo: no gateway program (give its path as the first argument)" >&2
    exit 1
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "demo: the lab builds network namespaces and needs root" >&2
    exit 1
fi
for need in ip ss python3 timeout busybox curl; do
    command -v "$need" > /dev/null ||
        { echo "demo: $need is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
done

. "$(dirname "$0")/lab.sh"

say() { echo "demo: $*"; }
# The text of FILE's first element TAG that holds text only.
text_of() { grep -o "<$2>[^<]*</$2>" "$1" | head -n 1 | sed 's/<[^>]*>//g'; }
ms_since() { echo $((($(date +%s%N) - $1) / 1000000)); }

# Each step reports and returns non-zero on failure; the next steps are then skipped.
lease_step() {
    if ! lab_udhcpc pc1; then
        say "LAN client pc1 got no lease; its log:" >&2
        tail -n 10 "$LAB_DIR/pc1.udhcpc.log" >&2
        return 1
    fi
    say "1. lease: LAN client pc1 (${LAB_MAC[pc1]}) obtained this lease:"
    lab_show_lease "$LAB_DIR/pc1.udhcpc.lease"
}

pac_step() {
    local file="$LAB_DIR/wpad.js" http=""
    if ! lab_in pc1 curl -sS --max-time 10 --noproxy '*' -o "$file" "$LAB_PROXY/wpad"; then
        say "2. proxy auto-config: $LAB_PROXY/wpad could not be fetched" >&2
        return 1
    fi
    if command -v node > /dev/null; then
        # shellcheck disable=SC2016 # JavaScript, not shell
        http=$(node -e '
            const text = require("fs").readFileSync(process.argv[1], "utf8");
            const find = new Function(text + "\nreturn FindProxyForURL;")();
            console.log(`http: -> ${find("http://origin.lab/", "origin.lab")}, ` +
                `ftp: -> ${find("ftp://x/", "x")}`);
        ' "$file" 2>&1 || true)
    fi
    say "2. proxy auto-config: $LAB_PROXY/wpad fetched, $(wc -c < "$file") bytes${http:+; $http}"
}

redirect_step() {
    local file="$LAB_DIR/pc1.redirect.html" code
    code=$(lab_proxy_curl pc1 -o "$file" -w '%{http_code}' http://origin.lab/) || true
    PURCHASE_URL=$(lab_refresh_target "$file" 2> /dev/null || true)
    if [ -z "$PURCHASE_URL" ]; then
        say "3. not paid yet: http://origin.lab/ did not lead to a purchase page (status $code)" >&2
        return 1
    fi
    say "3. not paid yet: http://origin.lab/ -> $code, a page that refreshes to $PURCHASE_URL"
}

purchase_step() {
    local page="$LAB_DIR/pc1.purchasing.html" done="$LAB_DIR/pc1.purchase.html"
    if ! lab_proxy_curl pc1 -o "$page" "$PURCHASE_URL" || ! grep -q 'Buy Internet access' "$page"
    then
        say "4. purchase: the purchase page at $LAB_PROVIDER_HOST could not be opened" >&2
        return 1
    fi
    if ! lab_buy pc1 day; then
        say "4. purchase: the purchase at $LAB_PROVIDER_HOST failed" >&2
        return 1
    fi
    REFRESH_URL=$(lab_refresh_target "$done")
    say "4. purchase: the purchase page opened (provider.lab is open to all); bought \"day\":" \
        "$(text_of "$done" p)"
}

refresh_and_browse_step() {
    local start file="$LAB_DIR/pc1.origin.html" code
    start=$(date +%s%N)
    code=$(lab_proxy_curl pc1 -o /dev/null -w '%{http_code}' "$REFRESH_URL") || true
    say "5. refresh: the confirmation led to $REFRESH_URL (answer $code); the gateway reloads" \
        "the provider page"
    if ! lab_wait 20 lab_origin_reached pc1; then
        say "6. browsing: pc1 still cannot reach http://origin.lab/ 20 s after the refresh" >&2
        return 1
    fi
    say "6. browsing: pc1 reached http://origin.lab/ through the gateway $(ms_since "$start") ms" \
        "after the refresh: \"$(text_of "$file" h1)\""
    if lab_proxy_curl pc1 --proxytunnel -o "$file" http://origin.lab/ &&
        grep -q "$LAB_ORIGIN_TEXT" "$file"; then
        say "   and through a CONNECT tunnel (curl --proxytunnel): \"$(text_of "$file" h1)\""
    fi
    if command -v chromium > /dev/null &&
        lab_chromium_dump pc1 http://origin.lab/ > "$file" && grep -q "$LAB_ORIGIN_TEXT" "$file"
    then
        say "   and with headless Chromium set up by the auto-config script:" \
            "\"$(text_of "$file" h1)\""
    fi
}

lab_up
lab_start_origin
lab_start_provider "$LAB_PROVIDER_ID" "$LAB_PROVIDER_PWD"
lab_add_client pc1 02:00:00:00:11:01
say "starting $gateway in namespace ${LAB_NS[gw]}"
lab_start_gateway "$gateway"
say "the gateway serves DHCP on 192.168.11.1:67 and the proxy on 192.168.11.1:8080, as operator" \
    "$LAB_PROVIDER_ID of the provider service at $LAB_PROVIDER_HOST"

PURCHASE_URL=""
REFRESH_URL=""
if ! { lease_step && pac_step && redirect_step && purchase_step && refresh_and_browse_step; }
then
    say "the road stopped there; gateway messages: $LAB_DIR/gateway.err" >&2
fi

cat <<EOF

demo: the lab stays up until Ctrl+C. To look around (as root):
  ip netns exec ${LAB_NS[pc1]} bash       # a shell on LAN client pc1
  ip netns exec ${LAB_NS[pc1]} curl -x $LAB_PROXY http://origin.lab/
  gateway output: $LAB_DIR/gateway.out and gateway.err; provider service: $LAB_DIR/provider.log
EOF

# Waits in short sleeps so Ctrl+C is handled at once; lab.sh's traps tear down on the way out.
while kill -0 "$LAB_GATEWAY_PID" 2> /dev/null; do
    sleep 1
done
echo "demo: the gateway ended; its last errors:" >&2
tail -n 10 "$LAB_DIR/gateway.err" >&2
exit 1
