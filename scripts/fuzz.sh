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

# A settings file can ask Qt's value parser for any amount of memory (a serialized length of
# gigabytes). On an ordinary PC such a request fails and the parser gives up on the value; here the
# sanitizer's allocator does the same above 2 GiB (it returns null instead of aborting), and
# libFuzzer's own limit sits above that, so only memory actually used counts against the run.
export ASAN_OPTIONS=${ASAN_OPTIONS:-allocator_may_return_null=1:max_allocation_size_mb=2048}

learned=$(mktemp -d)
trap 'rm -rf "$learned"' EXIT
mkdir -p build-fuzz/findings
for target in "${targets[@]}"; do
    echo "== $target: ${seconds} s"
    mkdir -p "$learned/$target"
    # The first directory is where new inputs are written; the repository's seeds come second.
    build-fuzz/fuzz/"$target" -max_total_time="$seconds" -timeout=10 -malloc_limit_mb=4096 \
        -print_final_stats=1 \
        -artifact_prefix="$PWD/build-fuzz/findings/$target-" \
        "$learned/$target" "fuzz/corpus/$target" 2>"$learned/$target.log" || {
        tail -n 60 "$learned/$target.log"
        echo "$target failed: the input is in build-fuzz/findings/" >&2
        exit 1
    }
    grep -E '^stat::number_of_executed_units|^Done' "$learned/$target.log" || true
done
