#!/bin/sh
# Installs the packages, builds with warnings as errors and runs every test: the in-process
# tests once more under AddressSanitizer and UndefinedBehaviorSanitizer, the lab's whole road
# with that build of the gateway and its leak check at exit, the whole suite (system tests in
# network namespaces included: those need root), and each fuzz target for TARNIX_FUZZ_SECONDS
# (60 unless set).
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh
jobs=$(nproc)

cmake -S . -B build-asan -DTARNIX_WERROR=ON -DTARNIX_SANITIZE=ON
cmake --build build-asan -j"$jobs" --target tarnix_tests tarnix-gateway
# The in-process tests leave the toolkit's objects alive until exit by design: no leak check.
ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs" -E '^system\.'
# A real gateway is checked for leaks when it ends on SIGTERM, after a client's whole road.
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    LSAN_OPTIONS="suppressions=$(pwd)/tests/system/lsan.supp:print_suppressions=0" \
    ctest --test-dir build-asan --output-on-failure --no-tests=error -R '^system\.lab_browse_test$'

cmake -S . -B build -DTARNIX_WERROR=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

bash fuzz/run.sh "${TARNIX_FUZZ_SECONDS:-60}"
