#!/usr/bin/env bash
# FlashKit station benchmark, one command (as root, or through sudo):  bench/station-bench.sh
#
# Serves a 3 MiB system image from `flashkit-cli station` to 1, 4 and 16 simulated recorders at
# once on one bridge and prints, per bench size: the wall time of the whole bench and its ratio to
# one recorder alone, the station's CPU seconds per recorder, its peak memory (maximum resident set
# size), and the announcer's period per recorder (median and 99th percentile of the gaps between
# two announcements to one recorder, all recorders pooled).
#
# Every bench is a set of namespaces made for it (ip netns add) and deleted after it, however the
# script ends: a pc (192.168.77.1/24 on its card), a switch holding a Linux bridge, and one
# namespace per recorder, each joined to the bridge by a veth pair, its MAC 02:5e:a1:30:10:NN.
# Nothing is sent in the machine's own namespace.
#
# Per bench size, two runs:
#   transfer  the simulated recorders (--fetch) start first and wait to be announced to; then the
#             station starts with every MAC named and --until-done, under GNU time: its wall time
#             from start to end, user + system CPU and peak memory. Each recorder's file must be
#             the header block and the image, byte for byte.
#   announce  the recorders take 200 announcements each without fetching (--count 200
#             --period-log), then the station is stopped with SIGINT; the periods are computed
#             from the recorders' receive times, so their own scheduling shows in the tail.
# The recorders run on the same CPUs as the station: at 16 they compete with it, so their own CPU
# seconds per recorder are shown too (sim_cpu_s/rec); the bench's wall time cannot fall below
# the station's and the recorders' CPU seconds together over the number of CPUs.
#
# Environment: FK_STATION_SIZES (bench sizes, default "1 4 16", each 1 to 64),
#              FK_BENCH_BUILD (CMake build tree; default build/bench-build, built Release with
#              flashkit-cli and flashkit-recorder-sim when they are missing),
#              FK_BENCH_CACHE (image, logs and raw results; default build/bench-cache).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
if [ "$(id -u)" -ne 0 ]; then exec sudo -E "$0" "$@"; fi

read -r -a sizes <<<"${FK_STATION_SIZES:-1 4 16}"
build=${FK_BENCH_BUILD:-$repo/build/bench-build}
cache=${FK_BENCH_CACHE:-$repo/build/bench-cache}
work=$cache/station
cli=$build/cli/flashkit-cli
sim=$build/tools/recorder-sim/flashkit-recorder-sim
image=$work/station.bin
image_size=$((3 * 1024 * 1024))
announcements=200
tag=fkst$$

say() { printf '%s\n' "$*" >&2; }
die() { say "station-bench: $*"; exit 1; }

for size in "${sizes[@]}"; do
    case "$size" in '' | *[!0-9]*) die "FK_STATION_SIZES holds whole numbers" ;; esac
    if [ "$size" -lt 1 ] || [ "$size" -gt 64 ]; then die "a bench has 1 to 64 recorders, not $size"; fi
done

if [ ! -x "$cli" ] || [ ! -x "$sim" ]; then
    say "building flashkit-cli and flashkit-recorder-sim in $build"
    cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DFLASHKIT_BUILD_TESTS=OFF >/dev/null
    cmake --build "$build" -j"$(nproc)" --target flashkit-cli flashkit-recorder-sim >/dev/null
fi
mkdir -p "$work"

# A system image for the 0x30 family: varied bytes, its trailer (series 05, sub-code 20) last.
python3 - "$image" "$image_size" <<'EOF'
import sys
size = int(sys.argv[2])
body = bytes((i * 13 + i // 509) & 0xFF for i in range(size - 4))
open(sys.argv[1], "wb").write(body + bytes([0, 0, 0x05, 0x20]))
EOF

bench_namespaces() { ip netns list | awk -v t="$tag-" 'index($1, t) == 1 { print $1 }'; }
teardown() {
    local ns
    for ns in $(bench_namespaces); do ip netns del "$ns" 2>/dev/null || true; done
}
trap teardown EXIT

# make_bench N: pc, switch and N recorders.
make_bench() {
    local n=$1 i port
    teardown
    ip netns add "$tag-pc"
    ip netns add "$tag-sw"
    ip -n "$tag-sw" link add br0 type bridge stp_state 0 forward_delay 0
    ip -n "$tag-sw" link set br0 up
    ip link add fkst0 netns "$tag-pc" type veth peer name pc netns "$tag-sw"
    ip -n "$tag-sw" link set pc master br0 up
    ip -n "$tag-pc" link set lo up
    ip -n "$tag-pc" addr add 192.168.77.1/24 dev fkst0
    ip -n "$tag-pc" link set fkst0 up
    for ((i = 1; i <= n; i++)); do
        port=r$i
        ip netns add "$tag-r$i"
        ip link add rec0 netns "$tag-r$i" type veth peer name "$port" netns "$tag-sw"
        ip -n "$tag-sw" link set "$port" master br0 up
        ip -n "$tag-r$i" link set lo up
        ip -n "$tag-r$i" link set rec0 address "$(printf '02:5e:a1:30:10:%02x' "$i")" up
    done
}

mac_arguments() {
    local i
    for ((i = 1; i <= $1; i++)); do printf -- '--mac\n30:10:%02x\n' "$i"; done
}

# transfer_run N: writes "wall cpu peak_kib sim_cpu" to $work/transfer-N and checks every
# recorder's bytes.
transfer_run() {
    local n=$1 i pids=() status=0
    rm -f "$work"/received-* "$work"/time.txt "$work"/sim-time-*
    for ((i = 1; i <= n; i++)); do
        ip netns exec "$tag-r$i" timeout 120 /usr/bin/time -f '%U %S' -o "$work/sim-time-$i" \
            "$sim" --interface rec0 --fetch --expect-kind 1 --output "$work/received-$i" \
            --timeout 100 >"$work/sim-$i.log" 2>&1 &
        pids+=($!)
    done
    mapfile -t macs < <(mac_arguments "$n")
    ip netns exec "$tag-pc" timeout 120 /usr/bin/time -f '%e %U %S %M' -o "$work/time.txt" \
        "$cli" station --card fkst0 "${macs[@]}" --until-done --max "$n" \
        --history-file "$work/history.sqlite3" --system "$image" >"$work/station-$n.log" 2>&1 ||
        status=$?
    for pid in "${pids[@]}"; do wait "$pid" || status=$?; done
    [ "$status" -eq 0 ] || die "the $n-recorder transfer ended with status $status (see $work)"
    python3 - "$image" "$n" "$work" <<'EOF' || die "a recorder's file differs from the image"
import sys
image = open(sys.argv[1], "rb").read()
header = bytearray(512)
header[0:4] = bytes.fromhex("20030409")
header[4:8] = (1).to_bytes(4, "big")
header[12:16] = (1).to_bytes(4, "big")
header[16:20] = len(image).to_bytes(4, "big")
expected = bytes(header) + image
for i in range(1, int(sys.argv[2]) + 1):
    if open(f"{sys.argv[3]}/received-{i}", "rb").read() != expected:
        sys.exit(f"recorder {i}")
EOF
    local sims_cpu
    sims_cpu=$(cat "$work"/sim-time-* | awk '{ s += $1 + $2 } END { printf "%.2f", s }')
    awk -v s="$sims_cpu" '{ printf "%s %.2f %s %s\n", $1, $2 + $3, $4, s }' "$work/time.txt" \
        >"$work/transfer-$n"
}

# announce_run N: writes "median_ms p99_ms" of the pooled periods to $work/announce-N.
announce_run() {
    local n=$1 i pids=() station
    rm -f "$work"/periods-*
    mapfile -t macs < <(mac_arguments "$n")
    ip netns exec "$tag-pc" timeout 120 "$cli" station --card fkst0 "${macs[@]}" --max "$n" \
        --history-file "$work/history.sqlite3" --system "$image" >"$work/announce-$n.log" 2>&1 &
    station=$!
    for ((i = 1; i <= n; i++)); do
        ip netns exec "$tag-r$i" timeout 60 "$sim" --interface rec0 --count "$announcements" \
            --period-log "$work/periods-$i" --timeout 50 >"$work/sim-$i.log" 2>&1 &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do wait "$pid" || die "a recorder missed announcements (see $work)"; done
    kill -INT "$station" 2>/dev/null || true
    wait "$station" || true
    python3 - "$n" "$work" >"$work/announce-$n" <<'EOF'
import statistics, sys
periods = []
for i in range(1, int(sys.argv[1]) + 1):
    stamps = [int(line) for line in open(f"{sys.argv[2]}/periods-{i}")]
    periods += [(b - a) / 1000 for a, b in zip(stamps, stamps[1:])]
periods.sort()
p99 = periods[min(len(periods) - 1, int(0.99 * len(periods)))]
print(f"{statistics.median(periods):.2f} {p99:.2f}")
EOF
}

results=()
for size in "${sizes[@]}"; do
    say "bench of $size recorder(s)"
    make_bench "$size"
    transfer_run "$size"
    read -r wall cpu peak sims_cpu <"$work/transfer-$size"
    make_bench "$size"
    announce_run "$size"
    read -r median p99 <"$work/announce-$size"
    results+=("$size $wall $cpu $peak $sims_cpu $median $p99")
done
teardown

printf '\nflashkit-cli station, %d-byte system image to each recorder, one bridge\n' "$image_size"
printf '%-9s %8s %8s %10s %9s %14s %13s %12s\n' recorders wall_s vs_one cpu_s/rec peak_MiB \
    sim_cpu_s/rec announce_med announce_p99
one=""
for row in "${results[@]}"; do
    read -r size wall cpu peak sims_cpu median p99 <<<"$row"
    [ "$size" -eq 1 ] && one=$wall
    awk -v s="$size" -v w="$wall" -v o="$one" -v c="$cpu" -v p="$peak" -v r="$sims_cpu" \
        -v m="$median" -v q="$p99" \
        'BEGIN { printf "%-9d %8.2f %8s %10.3f %9.1f %14.3f %10.2f ms %9.2f ms\n", s, w,
                 o == "" ? "-" : sprintf("%.2fx", w / o), c / s, p / 1024, r / s, m, q }'
done
