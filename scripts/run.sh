#!/bin/sh
# Installs the packages, builds and installs the gateway, and runs it. Without a display it
# runs headless; messages then go to standard error.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh
cmake -S . -B build
cmake --build build -j"$(nproc)"
cmake --install build
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    export QT_QPA_PLATFORM=offscreen
fi
# The gateway serves the LAN adapter holding 192.168.11.1; a machine without one gets a
# throw-away lab network (namespaces) in which the gateway serves a simulated LAN client.
if ip -4 -o addr show 2>/dev/null | awk '{print $4}' | grep -q '^192\.168\.11\.1/'; then
    exec tarnix-gateway
fi
echo "run: no adapter here holds 192.168.11.1, so the gateway runs in the lab network (lab/demo.sh)"
exec bash lab/demo.sh "$(command -v tarnix-gateway)"
