#!/bin/bash
# Shows the gateway at work without a real LAN: builds the lab network (lab.sh), starts the
# gateway and a web origin in it, lets one LAN client take a lease and prints that lease, then
# keeps the lab up until Ctrl+C (SIGINT) or SIGTERM, and tears everything down.
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
for need in ip ss python3 timeout busybox; do
    command -v "$need" > /dev/null ||
        { echo "demo: $need is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
done

. "$(dirname "$0")/lab.sh"

lab_up
lab_start_origin
lab_add_client pc1 02:00:00:00:11:01
echo "demo: starting $gateway in namespace ${LAB_NS[gw]}"
lab_start_gateway "$gateway"
echo "demo: the gateway serves DHCP on 192.168.11.1:67 and the proxy on 192.168.11.1:8080"

if lab_udhcpc pc1; then
    echo "demo: LAN client pc1 (${LAB_MAC[pc1]}) obtained this lease:"
    lab_show_lease "$LAB_DIR/pc1.udhcpc.lease"
else
    echo "demo: LAN client pc1 got no lease; its log:" >&2
    tail -n 10 "$LAB_DIR/pc1.udhcpc.log" >&2
fi

cat <<EOF

demo: the lab stays up until Ctrl+C. To look around (as root):
  ip netns exec ${LAB_NS[pc1]} bash       # a shell on LAN client pc1
  ip netns exec ${LAB_NS[pc1]} env http_proxy=http://192.168.11.1:8080 busybox wget -qO- http://origin.lab/
  gateway output: $LAB_DIR/gateway.out and gateway.err
EOF

# Waits in short sleeps so Ctrl+C is handled at once; lab.sh's traps tear down on the way out.
while kill -0 "$LAB_GATEWAY_PID" 2> /dev/null; do
    sleep 1
done
echo "demo: the gateway ended; its last errors:" >&2
tail -n 10 "$LAB_DIR/gateway.err" >&2
exit 1
