#!/usr/bin/env bash
# Tries FlashKit against the simulated recorder, all on this machine: two private network
# namespaces joined by a veth pair, the simulator on one side and FlashKit (on the current
# DISPLAY) on the other. Nothing is sent on, or changed in, the machine's own network.
#
# Usage: sudo scripts/try-with-simulator.sh [--check|--terminal] [build-dir]
#   --check     set up, start the simulator, tear down again, without FlashKit (no display needed)
#   --terminal  instead of the window, a shell on the PC's side with flashkit-cli on its PATH; the
#               upload history of the try-out is kept apart (XDG_STATE_HOME in the scratch folder)
# SIM_OPTIONS adds simulator options, e.g. a fault to watch: SIM_OPTIONS="--lose-ack 3".
# In FlashKit: choose the card named below, type the MAC octets 30 01 01, choose one of the two
# sample images the script names (or an image of your own), Upload.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then exec sudo -E "$0" "$@"; fi

check=0 terminal=0
if [ "${1:-}" = "--check" ]; then check=1; shift; fi
if [ "${1:-}" = "--terminal" ]; then terminal=1; shift; fi
build=${1:-build}
app=$build/app/flashkit
cli=$build/cli/flashkit-cli
sim=$build/tools/recorder-sim/flashkit-recorder-sim
[ -x "$sim" ] || { echo "No simulator at $sim; build first: cmake --build $build" >&2; exit 2; }
[ "$check" = 1 ] || [ "$terminal" = 1 ] || [ -x "$app" ] ||
    { echo "No FlashKit at $app; build first" >&2; exit 2; }
[ "$terminal" = 0 ] || [ -x "$cli" ] || { echo "No flashkit-cli at $cli; build first" >&2; exit 2; }

tag=$$
pc=fk-pc-$tag rec=fk-rec-$tag pclink=fkp$tag reclink=fkr$tag
work=$(mktemp -d)
simpid=

cleanup() {
    if [ -n "$simpid" ] && kill -0 "$simpid" 2>/dev/null; then kill "$simpid" 2>/dev/null || true; fi
    ip netns del "$pc" 2>/dev/null || true
    ip netns del "$rec" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# shellcheck source=scripts/test-network.sh
source scripts/test-network.sh
make_test_network "$pc" "$rec" "$pclink" "$reclink"

read -r -a simoptions <<<"${SIM_OPTIONS:-}"
ip netns exec "$rec" "$sim" --interface "$reclink" --fetch --timeout "${SIM_TIMEOUT:-900}" \
    --output "$work/received.bin" "${simoptions[@]}" >"$work/sim.out" 2>"$work/sim.err" &
simpid=$!

echo "Simulated recorder waiting on $reclink (MAC 02:5E:A1:30:01:01)."
if [ "$check" = 1 ]; then
    sleep 1
    kill -0 "$simpid" 2>/dev/null || { cat "$work/sim.err" >&2; exit 1; }
    echo "Setup works; tearing down."
    exit 0
fi

# Samples: a system image whose trailer (series 05, sub-code 20) fits a recorder 30 01 01, and a
# data image, which gets no check.
head -c 200000 /dev/urandom >"$work/sample.bin"
printf '\000\000\005\040' >>"$work/sample.bin"
head -c 50000 /dev/urandom >"$work/sample.fnt"
if [ "$terminal" = 1 ]; then
    echo "A shell on the PC's side; the card is $pclink. Try, then 'exit':"
    echo "  flashkit-cli check --card $pclink --mac 30:01:01"
    echo "  flashkit-cli upload --card $pclink --mac 30:01:01 $work/sample.bin"
    echo "  flashkit-cli history"
    ip netns exec "$pc" env PATH="$(realpath "$build/cli"):$PATH" XDG_STATE_HOME="$work/state" \
        bash || true
else
    echo "In FlashKit choose the card $pclink (192.168.77.1), type 30 01 01, choose"
    echo "$work/sample.bin (System Image) or $work/sample.fnt (Data Image), Upload."
    ip netns exec "$pc" "$app" || true
fi

# A finished upload has ended the simulator already; otherwise give it a moment, then stop it.
for _ in $(seq 1 30); do kill -0 "$simpid" 2>/dev/null || break; sleep 0.1; done
kill "$simpid" 2>/dev/null || true
status=0
wait "$simpid" || status=$?
simpid=
if [ "$status" = 143 ]; then
    echo "Simulated recorder: stopped before an upload reached its end."
else
    echo "Simulated recorder (exit status $status):"
fi
cat "$work/sim.out" "$work/sim.err"
if [ -s "$work/received.bin" ]; then
    echo "It received $(stat -c %s "$work/received.bin") bytes (header block and image)."
fi
