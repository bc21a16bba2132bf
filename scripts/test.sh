#!/bin/sh
# Installs the packages, builds with warnings as errors and runs every test: the in-process
# tests once more under AddressSanitizer and UndefinedBehaviorSanitizer, then the whole suite,
# system tests in network namespaces included (those need root).
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh
jobs=$(nproc)

cmake -S . -B build-asan -DTARNIX_WERROR=ON -DTARNIX_SANITIZE=ON
cmake --build build-asan -j"$jobs" --target tarnix_tests
# Leaks are checked separately: the toolkit keeps allocations until exit by design.
ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs" -E '^system\.'

cmake -S . -B build -DTARNIX_WERROR=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"
