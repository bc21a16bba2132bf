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
exec tarnix-gateway
