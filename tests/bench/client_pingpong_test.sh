#!/usr/bin/env bash
# The benchmark's client against its ping-pong server: block counts at the size edges, 16-bit
# block number wrap, the header-block sequence, and that wrong content or a silent server fails.
# Runs itself in a private network namespace with only lo (needs root).
# Usage: client_pingpong_test.sh CLIENT PINGPONG
set -euo pipefail
client=$1
pingpong=$2
if [ "${3:-}" != --in-namespace ]; then exec unshare --net -- "$0" "$client" "$pingpong" --in-namespace; fi

work=$(mktemp -d)
server_pid=
trap '[ -z "$server_pid" ] || kill "$server_pid" 2>/dev/null; rm -rf "$work"' EXIT
ip link set lo up
failures=0

serve() {  # serve [--header-block]
    [ -z "$server_pid" ] || { kill "$server_pid"; wait "$server_pid" || true; }
    "$pingpong" "$@" --idle-exit 20 127.0.0.1:6969 "$work" &
    server_pid=$!
    sleep 0.2
}

expect() {  # expect <what> <wanted output or FAIL> <name> <client options...>
    local what=$1 wanted=$2 name=$3 got
    shift 3
    if got=$("$client" --timeout 10 "$@" 127.0.0.1:6969 "$name" 2>/dev/null); then
        got=${got#seconds=* }
    else
        got=FAIL
    fi
    if [ "$got" != "$wanted" ]; then
        echo "FAIL $what: wanted '$wanted', got '$got'"
        failures=$((failures + 1))
    else
        echo "ok   $what"
    fi
}

: >"$work/empty"
head -c 1000 /dev/urandom >"$work/odd"
head -c 1024 /dev/urandom >"$work/even"
head -c $((65536 * 512 + 100)) /dev/urandom >"$work/wrap"
head -c 1000 /dev/urandom >"$work/other"

serve
expect "empty file: one empty block" "blocks=1 bytes=0" empty --verify "$work/empty"
expect "1000 bytes: full and short block" "blocks=2 bytes=1000" odd --verify "$work/odd"
expect "1024 bytes: an empty block ends it" "blocks=3 bytes=1024" even --verify "$work/even"
expect "past block 65535: numbers wrap" "blocks=65537 bytes=33554532" wrap --verify "$work/wrap"
expect "content differs: fails" FAIL odd --verify "$work/other"
expect "no such file: times out" FAIL missing --timeout 1

serve --header-block
expect "header block, then the file" "blocks=3 bytes=1000" odd --header-block --verify "$work/odd"
expect "header announces another size: fails" FAIL odd --header-block --verify "$work/even"
expect "header block taken as content: fails" FAIL odd --verify "$work/odd"

[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
