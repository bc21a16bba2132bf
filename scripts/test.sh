#!/bin/sh
# Installs the packages, builds with warnings as errors and runs every test, system tests in
# network namespaces included (those need root).
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh
cmake -S . -B build -DTARNIX_WERROR=ON
cmake --build build -j"$(nproc)"
cd build
ctest --output-on-failure -j2
