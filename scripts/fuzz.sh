#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz and runs each one for the given seconds
# (default 60). Fails on the first crash, leak, sanitizer report or broken invariant; the input
# that did it is left in build-fuzz/findings. The seed corpora in fuzz/corpus are only read: what
# the fuzzer learns goes to a temporary directory that is removed afterwards.
# An input that takes over 10 s counts as a hang and fails the run too.
# Usage: scripts/fuzz.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
targets=(fuzz_tftp_engine fuzz_hex_byte fuzz_path_split fuzz_settings_read fuzz_bootp_reply)

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DFLASHKIT_FUZZ=ON -DFLASHKIT_BUILD_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]}"

learned=$(mktemp -d)
trap 'rm -rf "$learned"' EXIT
mkdir -p build-fuzz/findings
for target in "${targets[@]}"; do
    echo "== $target: ${seconds} s"
    mkdir -p "$learned/$target"
    # The first directory is where new inputs are written; the repository's seeds come second.
    build-fuzz/fuzz/"$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$PWD/build-fuzz/findings/$target-" \
        "$learned/$target" "fuzz/corpus/$target" 2>"$learned/$target.log" || {
        tail -n 60 "$learned/$target.log"
        echo "$target failed: the input is in build-fuzz/findings/" >&2
        exit 1
    }
    grep -E '^stat::number_of_executed_units|^Done' "$learned/$target.log" || true
done
