#!/usr/bin/env bash
# FlashKit station benchmark, one command (as root, or through sudo):  bench/station-bench.sh
#
# Serves a 3 MiB system image from `flashkit-cli station` to 1, 4, 16 and 64 (a card's limit)
# simulated recorders at once on one bridge, and the same bytes from two peer TFTP servers, and
# prints per bench size and server: the wall time, the server's CPU per block served (from the
# server's start to its end: for the station, its announcing before the recorders start too),
# the recorders' CPU, the station's peak memory (maximum resident set size), and the announcer's
# period per recorder (median and 99th percentile of the gaps between two announcements to one
# recorder, all recorders pooled).
#
# Every bench is a set of namespaces made for it (ip netns add) and deleted after it, however the
# script ends: a pc (192.168.77.1/24 on its card), a switch holding a Linux bridge, and one
# namespace per recorder, each joined to the bridge by a veth pair, its MAC 02:5e:a1:30:10:NN.
# Nothing is sent in the machine's own namespace.
#
# Per bench size, the station and two peers, Debian's tftpd-hpa (a process per client) and
# dnsmasq (one process), serve the same clients the same bytes (the header block and the image):
#   transfer  the station starts with every MAC named and --until-done, under GNU time; once it
#             is announcing (1.5 s later), the simulated recorders (--fetch) start and fetch.
#   tftpd-hpa, dnsmasq
#             the peer starts under GNU time, serving a file of the header block and the image;
#             then the same simulated recorders fetch it as plain TFTP clients (--plain-tftp, each
#             with its own address, no BOOTP); the peer is stopped once they are done.
#   Each row is the run with the median wall time of FK_BENCH_REPS runs (default 3), the
#   servers' runs taken in turn: wall time (the clients' start, with the server up, to the last
#   client's end), the server's CPU per block served, and the wall time against the machine's
#   CPU floor, (server + recorders CPU seconds) / cores, below which no run on these cores can
#   end. Each recorder's file must be the header block and the image, byte for byte; the
#   station's peak memory (maximum resident set size) is shown too.
# And per bench size, the station's announcements:
#   announce  the recorders take 200 announcements each without fetching (--count 200
#             --period-log), then the station is stopped with SIGINT; the periods are computed
#             from the recorders' receive times, so their own scheduling shows in the tail.
# The recorders run on the same CPUs as the station: at 16 and 64 they compete with it, so their
# own CPU seconds per recorder are shown too (sim_cpu_s/rec); the bench's wall time cannot fall
# below the station's and the recorders' CPU seconds together over the number of CPUs.
#
# Environment: FK_STATION_SIZES (bench sizes, default "1 4 16 64", each 1 to 64), FK_BENCH_REPS,
#              FK_BENCH_BUILD (CMake build tree; default build/bench-build, built Release with
#              flashkit-cli and flashkit-recorder-sim when they are missing),
#              FK_BENCH_CACHE (image, peers, logs and raw results; default build/bench-cache).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
if [ "$(id -u)" -ne 0 ]; then exec sudo -E "$0" "$@"; fi

read -r -a sizes <<<"${FK_STATION_SIZES:-1 4 16 64}"
build=${FK_BENCH_BUILD:-$repo/build/bench-build}
cache=${FK_BENCH_CACHE:-$repo/build/bench-cache}
work=$cache/station
cli=$build/cli/flashkit-cli
sim=$build/tools/recorder-sim/flashkit-recorder-sim
image=$work/station.bin
serve_dir=$work/serve
served=$serve_dir/station.fk
peers=$cache/peers
peer_libs=$peers/usr/lib/x86_64-linux-gnu:$peers/lib/x86_64-linux-gnu
cores=$(nproc)
accounting=/sys/fs/cgroup/cpuacct/flashkit-station-bench-$$
image_size=$((3 * 1024 * 1024))
announcements=200
station_settle=1.5
repeats=${FK_BENCH_REPS:-3}
tag=fkst$$

say() { printf '%s\n' "$*" >&2; }
die() { say "station-bench: $*"; exit 1; }

[ -d "${accounting%/*}" ] || die "the peers' CPU is counted by cgroup v1's cpuacct, which is not mounted"
case "$repeats" in '' | *[!0-9]* | 0) die "FK_BENCH_REPS is a whole number from 1" ;; esac
for size in "${sizes[@]}"; do
    case "$size" in '' | *[!0-9]*) die "FK_STATION_SIZES holds whole numbers" ;; esac
    if [ "$size" -lt 1 ] || [ "$size" -gt 64 ]; then die "a bench has 1 to 64 recorders, not $size"; fi
done

if [ ! -x "$cli" ] || [ ! -x "$sim" ]; then
    say "building flashkit-cli and flashkit-recorder-sim in $build"
    cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DFLASHKIT_BUILD_TESTS=OFF >/dev/null
    cmake --build "$build" -j"$(nproc)" --target flashkit-cli flashkit-recorder-sim >/dev/null
fi
mkdir -p "$work" "$serve_dir"
# shellcheck source=bench/peers.sh
source "$repo/bench/peers.sh"
fetch_peers

# A system image for the 0x30 family: varied bytes, its trailer (series 05, sub-code 20) last.
python3 - "$image" "$image_size" "$served" <<'EOF'
import sys
size = int(sys.argv[2])
body = bytes((i * 13 + i // 509) & 0xFF for i in range(size - 4))
image = body + bytes([0, 0, 0x05, 0x20])
open(sys.argv[1], "wb").write(image)
# What every recorder must receive, and what the peers serve: the header block, then the image.
header = bytearray(512)
header[0:4] = bytes.fromhex("20030409")
header[4:8] = (1).to_bytes(4, "big")
header[12:16] = (1).to_bytes(4, "big")
header[16:20] = len(image).to_bytes(4, "big")
open(sys.argv[3], "wb").write(bytes(header) + image)
EOF
# The peers serve only world-readable files, through searchable folders.
chmod 755 "$cache" "$work" "$serve_dir"
chmod 644 "$served"
blocks=$(($(stat -c %s "$served") / 512 + 1))

bench_namespaces() { ip netns list | awk -v t="$tag-" 'index($1, t) == 1 { print $1 }'; }
teardown() {
    local ns
    for ns in $(bench_namespaces); do ip netns del "$ns" 2>/dev/null || true; done
    if [ -d "$accounting" ]; then rmdir "$accounting" 2>/dev/null || true; fi
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

# check_received N: every recorder's file is the header block and the image, byte for byte.
check_received() {
    local i
    for ((i = 1; i <= $1; i++)); do
        cmp -s "$served" "$work/received-$i" || die "recorder $i's file differs from the image"
    done
}

sims_cpu() { cat "$work"/sim-time-* | awk '{ s += $1 + $2 } END { printf "%.2f", s }'; }

# fetch_all N OPTION...: N simulated recorders fetch at once, each with the options given (and,
# for a plain TFTP client, an address of its own); start and end are the first one's start and
# the last one's end. The status of the last that failed, or 0.
fetch_all() {
    local n=$1 i pids=() status=0 own=()
    shift
    start=$(date +%s.%N)
    for ((i = 1; i <= n; i++)); do
        [ "$1" = --plain-tftp ] && own=(--address "192.168.77.$((10 + i))")
        ip netns exec "$tag-r$i" timeout 120 /usr/bin/time -f '%U %S' -o "$work/sim-time-$i" \
            "$sim" --interface rec0 "$@" "${own[@]}" --output "$work/received-$i" --timeout 100 \
            >"$work/sim-$i.log" 2>&1 &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do wait "$pid" || status=$?; done
    end=$(date +%s.%N)
    return "$status"
}

# transfer_run N: writes "wall cpu peak_kib sim_cpu" to $work/transfer-N and checks every
# recorder's bytes. The station is up and announcing before the recorders start, as a peer is
# before its clients: the wall time is the clients' start to the last one's end for every row.
transfer_run() {
    local n=$1 status=0 station start end
    rm -f "$work"/received-* "$work"/time.txt "$work"/sim-time-*
    mapfile -t macs < <(mac_arguments "$n")
    ip netns exec "$tag-pc" timeout 120 /usr/bin/time -f '%e %U %S %M' -o "$work/time.txt" \
        "$cli" station --card fkst0 "${macs[@]}" --until-done --max "$n" \
        --history-file "$work/history.sqlite3" --system "$image" >"$work/station-$n.log" 2>&1 &
    station=$!
    # Its start and the probe before its first entries (up to 0.5 s) are over by then.
    sleep "$station_settle"
    fetch_all "$n" --fetch --expect-kind 1 || status=$?
    wait "$station" || status=$?
    [ "$status" -eq 0 ] || die "the $n-recorder transfer ended with status $status (see $work)"
    check_received "$n"
    awk -v a="$start" -v b="$end" -v s="$(sims_cpu)" \
        '{ printf "%.2f %.2f %s %s\n", b - a, $2 + $3, $4, s }' "$work/time.txt" \
        >"$work/transfer-$n"
}

# peer_run PEER N: writes "wall cpu sim_cpu" to $work/PEER-N and checks every recorder's bytes.
peer_run() {
    local peer=$1 n=$2 status=0 server start end
    local -a command
    rm -f "$work"/received-* "$work"/sim-time-*
    peer_command "$peer" 192.168.77.1 "$serve_dir"
    # tftpd-hpa's children outlive what GNU time can count: the peer and all it starts run in a
    # CPU accounting group of their own
    mkdir -p "$accounting"
    echo 0 >"$accounting/cpuacct.usage"
    # (joined before entering the namespace, whose own /sys shows no groups).
    sh -c 'echo $$ >"$1/tasks" && shift && exec "$@"' sh "$accounting" \
        ip netns exec "$tag-pc" "${command[@]}" >"$work/$peer-$n.log" 2>&1 &
    server=$!
    for _ in $(seq 50); do
        [ -n "$(ip netns exec "$tag-pc" ss -Hlun 'sport = :69')" ] && break
        sleep 0.1
    done
    fetch_all "$n" --plain-tftp 192.168.77.1 --file "$(basename "$served")" || status=$?
    kill -TERM "$server" 2>/dev/null || true
    wait "$server" || true
    [ "$status" -eq 0 ] || die "$peer: a recorder's fetch ended with status $status (see $work)"
    check_received "$n"
    awk -v a="$start" -v b="$end" -v s="$(sims_cpu)" \
        '{ printf "%.2f %.3f %s\n", b - a, $1 / 1e9, s }' "$accounting/cpuacct.usage" \
        >"$work/$peer-$n"
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

# median_run FILE...: the line of the run with the median wall time (each file's first field).
median_run() {
    local -a lines
    mapfile -t lines < <(cat "$@" | sort -n -k1,1)
    printf '%s\n' "${lines[$((${#lines[@]} / 2))]}"
}

results=()
for size in "${sizes[@]}"; do
    say "bench of $size recorder(s), $repeats run(s) of each server"
    # Interleaved, so that what the machine does meanwhile falls on every server alike.
    for ((run = 1; run <= repeats; run++)); do
        make_bench "$size"
        transfer_run "$size"
        mv "$work/transfer-$size" "$work/transfer-$size.run$run"
        for peer in tftpd-hpa dnsmasq; do
            make_bench "$size"
            peer_run "$peer" "$size"
            mv "$work/$peer-$size" "$work/$peer-$size.run$run"
        done
    done
    read -r wall cpu peak sims_cpu < <(median_run "$work/transfer-$size".run*)
    make_bench "$size"
    announce_run "$size"
    read -r median p99 <"$work/announce-$size"
    results+=("station $size $wall $cpu $sims_cpu $peak $median $p99")
    for peer in tftpd-hpa dnsmasq; do
        read -r wall cpu sims_cpu < <(median_run "$work/$peer-$size".run*)
        results+=("$peer $size $wall $cpu $sims_cpu - - -")
    done
    rm -f "$work"/*-"$size".run*
done
teardown

printf '\n%d-byte system image (%d blocks with the header) to each recorder, one bridge, %d cores\n' \
    "$image_size" "$blocks" "$cores"
printf '%-10s %9s %7s %8s %9s %12s %14s %9s %13s %12s\n' server recorders wall_s floor_s vs_floor \
    cpu_us/block sim_cpu_s/rec peak_MiB announce_med announce_p99
for row in "${results[@]}"; do
    read -r server size wall cpu sims_cpu peak median p99 <<<"$row"
    awk -v v="$server" -v s="$size" -v w="$wall" -v c="$cpu" -v r="$sims_cpu" -v p="$peak" \
        -v m="$median" -v q="$p99" -v b="$blocks" -v k="$cores" \
        'BEGIN { floor = (c + r) / k
                 printf "%-10s %9d %7.2f %8.2f %8.2fx %12.2f %14.3f %9s %13s %12s\n", v, s, w,
                        floor, w / floor, c * 1e6 / (s * b), r / s,
                        p == "-" ? "-" : sprintf("%.1f", p / 1024),
                        m == "-" ? "-" : m " ms", q == "-" ? "-" : q " ms" }'
done
