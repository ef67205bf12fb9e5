#!/usr/bin/env bash
# Installs what the tests need, builds FlashKit plainly and with sanitizers, runs every test,
# checks the Debian package and runs each fuzz target for a minute.
# End-to-end tests make their own network namespaces, so this runs as root (or through sudo).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then exec sudo -E "$0" "$@"; fi
scripts/install-deps.sh --test

jobs=$(nproc)
build() {  # build <dir> <sanitizer> [target...]: no targets builds everything
    local dir=$1 sanitizer=$2
    shift 2
    cmake -S . -B "$dir" -DFLASHKIT_SANITIZE="$sanitizer" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$dir" -j"$jobs" ${1:+--target "$@"}
}
# Sanitizer trees build the test programs only (the e2e tests bring the simulated recorder);
# the window program and the benchmark programs come from the plain tree.
all_tests=(flashkit_unit_tests flashkit_gui_tests flashkit_session_tests flashkit_netns_tests
           flashkit_e2e_tests)
threaded_tests=(flashkit_session_tests flashkit_netns_tests flashkit_e2e_tests)

# The Windows tree (flashkit-cli.exe, flashkit.exe, the core's unit tests, the zip and the installer), which the
# plain tree's `windows` row runs under wine.
scripts/build-windows.sh build/windows

export QT_QPA_PLATFORM=offscreen
build build ""
ctest --test-dir build --output-on-failure -j"$jobs"

# AddressSanitizer + UndefinedBehaviorSanitizer (and LeakSanitizer) over the whole suite but the
# benchmark's own check and the Windows build's.
CC=clang CXX=clang++ build build-asan address "${all_tests[@]}"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs" -LE 'bench|windows'

# ThreadSanitizer over the tests where threads meet: the session, the window's network side and
# end to end.
CC=clang CXX=clang++ build build-tsan thread "${threaded_tests[@]}"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build-tsan --output-on-failure -L 'session|netns|e2e'

# The Debian package, built from a clean copy of the checkout: lint it, install it, check its
# hardening, who may run it and with which privileges, flash the simulated recorder with it as a
# member of the flashkit group, remove it.
scripts/package-check.sh

# Every parser of outside input under libFuzzer, a minute each.
scripts/fuzz.sh 60
