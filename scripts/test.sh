#!/usr/bin/env bash
# Installs what the tests need, builds FlashKit plainly and with sanitizers, and runs every test.
# End-to-end tests make their own network namespaces, so this runs as root (or through sudo).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then exec sudo -E "$0" "$@"; fi
scripts/install-deps.sh --test

jobs=$(nproc)
build() {  # build <dir> <sanitizer>
    cmake -S . -B "$1" -DFLASHKIT_SANITIZE="$2" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$1" -j"$jobs"
}

export QT_QPA_PLATFORM=offscreen
build build ""
ctest --test-dir build --output-on-failure -j"$jobs"

# AddressSanitizer + UndefinedBehaviorSanitizer over the whole suite.
CC=clang CXX=clang++ build build-asan address
ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs"

# ThreadSanitizer over the tests where threads meet: the session and end to end.
CC=clang CXX=clang++ build build-tsan thread
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -L 'session|e2e'

# The Debian package: install it, check who may run it and with which privileges, remove it.
scripts/package-check.sh build
