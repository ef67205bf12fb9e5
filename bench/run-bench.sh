#!/usr/bin/env bash
# FlashKit benchmark, one command (as root, or through sudo):  bench/run-bench.sh
#
# Serves a 32,000,000-byte image in lock-step 512-byte blocks to one client that acknowledges at
# once (flashkit-bench-client), from each server in turn, and prints a table: median and min-max
# seconds, blocks per second, and the ratios between servers. Every server runs unpinned and with
# server and client pinned to CPU 0, FK_BENCH_REPS times (default 5), alternating: each round runs
# every server in both modes before the next round starts.
#
# Phases:
#   1. prepare (the machine's own namespace, no traffic of ours): install build dependencies if
#      missing, build the bench programs, fetch the peers with `apt-get download` and unpack them
#      with `dpkg -x` into the cache (no daemon is installed or started), make the image.
#   2. measure: the script runs itself again under `unshare --net`, in a private network namespace
#      that dies with it. There it brings up lo and a veth pair fkbench0/fkbench1 (192.168.77.1/24
#      on fkbench0); fkbench1 is the recorder's end, in a namespace of its own (ip netns add,
#      deleted at the end) with 192.168.77.2, the address the announcements give: the client and
#      the announcement capture run there, since FlashKit serves no other address. Every server
#      listens on 192.168.77.1:69, the card's address, as FlashKit's sockets serve that card alone,
#      and every client's traffic crosses the veth pair. The pair gives the namespace a
#      non-loopback card, which in.tftpd's address lookup wants and FlashKit's window needs for its
#      card list and its BOOTP announcements.
#
# Servers (the list `servers` below; start commands in start_server, client flags in client_flags):
#   tftpd-hpa  Debian's in.tftpd, foreground, a new port per transfer.
#   dnsmasq    Debian's dnsmasq, TFTP only, --tftp-single-port (every DATA from port 69).
#   pingpong   flashkit-bench-pingpong --header-block: the ping-pong limit, the least a one-port
#              lock-step server can do (recvfrom, pread, sendto per block, the file opened once),
#              on FlashKit's block sequence (header block, then the image from block 2).
#   engine     flashkit-bench-engine: FlashKit's upload engine alone, no window
#              (bench/flashkit_engine_server.cpp). It runs the real upload session for a recorder
#              on fkbench0 (BOOTP announcer on port 67, TFTP on port 69, both on that card), serves
#              "$image" as the boot file "$image_name" and starts a new upload after each one
#              completes. Client flags: --header-block.
#   window     flashkit-bench-window: the whole window path, offscreen
#              (bench/flashkit_window_driver.cpp). It builds the real window with stand-ins for
#              message boxes, file dialogs and sound, picks the card 192.168.77.1, types the MAC
#              octets of fkbench1, chooses "$image" on the Data Image tab and presses Upload,
#              again after each "Uploading Completed". Its uploads are recorded in a history
#              of its own in the cache, as the operator's window records them. Client flags:
#              --header-block.
#   window-x   the same window on a real X server (Xvfb, started once for the run), no
#              accessibility.
#   window-a11y       window-x with the accessibility bridge on (QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1;
#              the measurement then runs in a private session bus, dbus-run-session, whose
#              at-spi2-core bus launcher and registry start on the first request) and a listener
#              as a screen reader is one (bench/a11y_listener.py): before the client starts, it
#              has walked the window's whole accessible tree and subscribed to every object
#              event; it reads each event as it comes.
#   window-a11y-slow  the same with a listener that takes 20 ms over each event (a busy screen
#              reader): the events wait for it in the bus.
#              Xvfb, the buses and the listener are never pinned: they stand for the desktop.
# Both announce to fkbench1's MAC at 192.168.77.2 while they wait for a read request; those
# replies leave through fkbench0 and never reach the client on lo.
# Sections after the table:
#   announce   for engine and window: the BOOTP reply period over 10 s captured on fkbench1
#              (flashkit-bench-announce: median, 99th percentile and largest deviation from
#              30 ms) and the whole process's CPU time meanwhile (/proc/PID/stat utime+stime).
#   window     per window run, from the driver's report: start to window shown, the longest
#              event-loop gap while a transfer ran, VmHWM and VmRSS at the press and after;
#              for the accessibility rows the objects the listener walked and the events it read.
#
# Environment: FK_BENCH_REPS (runs per server and mode, at least 1; default 5),
#              FK_BENCH_SERVERS (the servers to measure, in order; default all of them),
#              FK_BENCH_CACHE (peers, image, logs, raw results; default build/bench-cache),
#              FK_BENCH_BUILD (CMake build tree; default build/bench-build).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
if [ "$(id -u)" -ne 0 ]; then exec sudo -E "$0" "$@"; fi

reps=${FK_BENCH_REPS:-5}
cache=${FK_BENCH_CACHE:-$repo/build/bench-cache}
build=${FK_BENCH_BUILD:-$repo/build/bench-build}
image_size=32000000
image_name=bench.bin
serve_dir=$cache/serve
image=$serve_dir/$image_name
peers=$cache/peers
peer_libs=$peers/usr/lib/x86_64-linux-gnu:$peers/lib/x86_64-linux-gnu
client=$build/bench/flashkit-bench-client
pingpong=$build/bench/flashkit-bench-pingpong
engine=$build/bench/flashkit-bench-engine
announce=$build/bench/flashkit-bench-announce
window=$build/bench/flashkit-bench-window
window_runs=$cache/window-runs.tsv
listener=$repo/bench/a11y_listener.py
slow_event_ms=20
results=$cache/last-run.tsv
address=192.168.77.1

read -r -a servers <<<"${FK_BENCH_SERVERS:-tftpd-hpa dnsmasq pingpong engine window window-x window-a11y window-a11y-slow}"
modes=(unpinned pinned)
# Ratios of median blocks per second, numerator first; a pair is shown once both were measured.
ratios=("engine tftpd-hpa" "engine dnsmasq" "engine pingpong" "window engine" "window-x engine"
        "window-a11y engine" "window-a11y-slow engine" "window-x window" "window-a11y window-x"
        "pingpong tftpd-hpa" "pingpong dnsmasq")

say() { printf '%s\n' "$*" >&2; }
die() { say "run-bench: $*"; exit 1; }

case "$reps" in '' | *[!0-9]* | 0) die "FK_BENCH_REPS must be a whole number of at least 1" ;; esac

# ---------------------------------------------------------------- phase 1: prepare

ensure_build_dependencies() {
    local pkg
    for pkg in cmake g++ make pkg-config qt6-base-dev qt6-multimedia-dev libnl-route-3-dev \
               libudev-dev iproute2 util-linux; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed'; then
            "$repo/scripts/install-deps.sh" --run
            return
        fi
    done
}

build_programs() {
    say "building the bench programs in $build"
    cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DFLASHKIT_BUILD_TESTS=OFF >/dev/null
    cmake --build "$build" -j"$(nproc)" --target flashkit-bench-client flashkit-bench-pingpong \
        flashkit-bench-engine flashkit-bench-announce flashkit-bench-window >/dev/null
}

# shellcheck source=bench/peers.sh
source "$repo/bench/peers.sh"

make_image() {
    mkdir -p "$serve_dir"
    # in.tftpd serves only world-readable files; the folders on the way must be searchable.
    chmod 755 "$cache" "$serve_dir"
    if [ "$(stat -c %s "$image" 2>/dev/null || echo 0)" -ne "$image_size" ]; then
        say "making the $image_size-byte image"
        head -c "$image_size" /dev/urandom >"$image.part"
        mv "$image.part" "$image"
    fi
    chmod 644 "$image"
}

# Which of the desktop pieces the chosen servers need: an X server, and a session bus with the
# accessibility bus and a listener.
wants_x() {
    local server
    for server in "${servers[@]}"; do case "$server" in window-x | window-a11y*) return 0 ;; esac; done
    return 1
}
wants_a11y() {
    local server
    for server in "${servers[@]}"; do case "$server" in window-a11y*) return 0 ;; esac; done
    return 1
}

check_desktop_tools() {
    if wants_x && ! command -v Xvfb >/dev/null; then
        die "the window-x rows need Xvfb: scripts/install-deps.sh --test"
    fi
    if wants_a11y && { ! command -v dbus-run-session >/dev/null ||
        ! /usr/bin/python3 -c 'import gi; gi.require_version("Atspi", "2.0")' 2>/dev/null; }; then
        die "the window-a11y rows need dbus, at-spi2-core and gir1.2-atspi-2.0: scripts/install-deps.sh --test"
    fi
}

prepare() {
    mkdir -p "$cache"
    ensure_build_dependencies
    check_desktop_tools
    build_programs
    fetch_peers
    make_image
}

# ---------------------------------------------------------------- phase 2: measure

server_pid=
server_args=()  # extra arguments for the next server started
xvfb_pid=
display_name=
listener_pid=

recorder_ns=fk-bench-rec-$$

set_up_namespace() {
    ip link set lo up
    ip netns add "$recorder_ns"
    ip link add fkbench0 type veth peer name fkbench1 netns "$recorder_ns"
    ip -n "$recorder_ns" link set fkbench1 address 02:5e:a1:1a:2b:3c
    ip addr add 192.168.77.1/24 dev fkbench0
    ip link set fkbench0 up
    ip -n "$recorder_ns" link set lo up
    ip -n "$recorder_ns" addr add 192.168.77.2/24 dev fkbench1
    ip -n "$recorder_ns" link set fkbench1 up
}

# The command that serves "$image" on $address:69, in the array `command`.
server_command() {
    case "$1" in
    tftpd-hpa | dnsmasq) peer_command "$1" "$address" "$serve_dir" ;;
    pingpong)
        command=("$pingpong" --header-block --idle-exit 60 "$address:69" "$serve_dir") ;;
    engine)
        command=("$engine" --card fkbench0 --idle-exit 60 "$image") ;;
    window | window-x | window-a11y | window-a11y-slow)
        local -a desktop=(QT_QPA_PLATFORM=offscreen)
        case "$1" in
        window-x) desktop=(QT_QPA_PLATFORM=xcb DISPLAY="$display_name") ;;
        window-a11y*)
            desktop=(QT_QPA_PLATFORM=xcb DISPLAY="$display_name" QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1) ;;
        esac
        # Its remembered image paths and its upload history go to the cache, not to root's.
        command=(env -u QT_LINUX_ACCESSIBILITY_ALWAYS_ON XDG_CONFIG_HOME="$cache/window-config"
                 XDG_STATE_HOME="$cache/window-state"
                 "${desktop[@]}" "$window" --host-address 192.168.77.1
                 --report "$cache/window-report" "${server_args[@]}" "$image") ;;
    *) die "no start command for server $1" ;;
    esac
}

client_flags() {
    case "$1" in
    pingpong | engine | window*) printf '%s\n' --header-block ;;
    esac
}

# Starts a server in its own process group, so that stopping it also stops the children a forking
# server made, and waits (at most 5 s) until port 69 is bound. A window with the accessibility
# bridge on may wait longer: at start-up Qt asks the accessibility registry for its listeners and
# waits for the answer, which a registry busy with the previous window can hold up for seconds.
start_server() {  # start_server <server> <pin prefix...>
    local server=$1 tries limit=50
    shift
    local -a command
    server_command "$server"
    case "$server" in window-a11y*) limit=300 ;; esac
    setsid "$@" "${command[@]}" >>"$cache/$server.log" 2>&1 &
    server_pid=$!
    for tries in $(seq "$limit"); do
        if [ -n "$(ss -Hlun "sport = :69")" ]; then
            [ "$tries" -le 50 ] || say "  $server took $((tries / 10)) s to start"
            return
        fi
        kill -0 "$server_pid" 2>/dev/null || die "$server did not start; see $cache/$server.log"
        sleep 0.1
    done
    die "$server did not bind port 69 within $((limit / 10)) s; see $cache/$server.log"
}

stop_server() {
    [ -n "$server_pid" ] || return 0
    local tries
    kill -TERM -- "-$server_pid" 2>/dev/null || true
    for tries in $(seq 50); do
        kill -0 "$server_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL -- "-$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=
}

# An X server for the whole run, on a display number it picks itself; gone with the run.
start_x_server() {
    local tries
    : >"$cache/xvfb-display"
    Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$cache/xvfb-display" \
        >>"$cache/xvfb.log" 2>&1 &
    xvfb_pid=$!
    for tries in $(seq 100); do
        if [ -s "$cache/xvfb-display" ]; then
            display_name=:$(head -n1 "$cache/xvfb-display")
            return
        fi
        sleep 0.1
    done
    die "Xvfb did not start within 10 s; see $cache/xvfb.log"
}

# The listener on the window just started; it is ready once it walked the tree and subscribed.
start_listener() {  # start_listener <server>
    local tries
    local -a slow=()
    [ "$1" = window-a11y-slow ] && slow=(--slow-ms "$slow_event_ms")
    rm -f "$cache/listener-ready"
    /usr/bin/python3 "$listener" --pid "$server_pid" --ready "$cache/listener-ready" "${slow[@]}" \
        >"$cache/listener-out" 2>>"$cache/listener.log" &
    listener_pid=$!
    for tries in $(seq 150); do
        if [ -s "$cache/listener-ready" ]; then
            # The window learns of the new subscription from the registry's signal.
            sleep 0.3
            return
        fi
        kill -0 "$listener_pid" 2>/dev/null || die "the listener ended; see $cache/listener.log"
        sleep 0.1
    done
    die "the listener was not ready within 15 s; see $cache/listener.log"
}

stop_listener() {
    [ -n "$listener_pid" ] || return 0
    kill -TERM "$listener_pid" 2>/dev/null || true
    wait "$listener_pid" 2>/dev/null || true
    listener_pid=
}

run_one() {  # run_one <server> <mode> <round>
    local server=$1 mode=$2 round=$3 output seconds blocks heard=
    local -a pin=() flags
    [ "$mode" = pinned ] && pin=(taskset -c 0)
    mapfile -t flags < <(client_flags "$server")
    start_server "$server" "${pin[@]}"
    case "$server" in window-a11y*) start_listener "$server" ;; esac
    if ! output=$("${pin[@]}" ip netns exec "$recorder_ns" "$client" --timeout 60 "${flags[@]}" --verify "$image" \
                      "$address" "$image_name"); then
        die "$server ($mode, round $round): the transfer failed; see $cache/$server.log"
    fi
    stop_server
    if [ -n "$listener_pid" ]; then
        stop_listener
        heard=" $(cat "$cache/listener-ready") $(cat "$cache/listener-out")"
    fi
    case "$server" in
    window*)
        printf '%s\t%s\t%s\t%s\n' "$server" "$mode" "$round" \
            "$(cat "$cache/window-report")$heard" >>"$window_runs" ;;
    esac
    seconds=$(sed -n 's/.*seconds=\([0-9.]*\).*/\1/p' <<<"$output")
    blocks=$(sed -n 's/.*blocks=\([0-9]*\).*/\1/p' <<<"$output")
    printf '%s\t%s\t%s\t%s\t%s\n' "$server" "$mode" "$round" "$seconds" "$blocks" >>"$results"
    say "  $server $mode round $round: ${seconds} s, $blocks blocks"
}

# User plus system CPU time of a process, in clock ticks.
cpu_ticks() {
    sed 's/^.*) //' "/proc/$1/stat" | awk '{ print $12 + $13 }'
}

# The BOOTP announcements of a FlashKit server that waits for its recorder: their period over
# 10 s on the recorder's card, and the CPU the whole server process used meanwhile.
measure_announce() {  # measure_announce <server>
    local server=$1 ticks_before ticks_after start end capture
    # The window driver's own 10 ms stall probe is no part of the window's CPU use.
    [ "$server" = window ] && server_args=(--no-stall-probe)
    start_server "$server"
    server_args=()
    sleep 0.5
    ticks_before=$(cpu_ticks "$server_pid")
    start=$(date +%s.%N)
    capture=$(ip netns exec "$recorder_ns" "$announce" --seconds 10 fkbench1) ||
        die "$server: no BOOTP announcements captured; see $cache/$server.log"
    end=$(date +%s.%N)
    ticks_after=$(cpu_ticks "$server_pid")
    stop_server
    awk -v s="$server" -v c="$capture" -v t0="$ticks_before" -v t1="$ticks_after" \
        -v hz="$(getconf CLK_TCK)" -v w0="$start" -v w1="$end" 'BEGIN {
            printf "  %-8s %s cpu=%.2f%% of one core\n", s, c, (t1 - t0) / hz / (w1 - w0) * 100
        }'
}

# The window driver's reports, one per window run: start-up, event-loop stalls, memory.
print_window_runs() {
    printf '\nWindow process, per run (start to window shown; longest event-loop gap while a\n'
    printf 'transfer ran, 10 ms probe; VmHWM and VmRSS at the Upload press and after the transfer;\n'
    printf 'CPU of the GUI thread and of the whole process from the press to the stop; for the\n'
    printf 'accessibility rows the objects the listener walked and the events it read):\n'
    awk -F '\t' '{
        delete v
        n = split($4, kv, " ")
        for (i = 1; i <= n; i++) { split(kv[i], p, "="); v[p[1]] = p[2] }
        heard = ("events" in v) ? sprintf("  objects %3d events %6d", v["objects"], v["events"]) : ""
        printf "  %-16s %-8s round %-2s shown %6.1f ms  stall %5.1f ms  HWM %6d -> %6d kB  RSS %6d -> %6d kB  CPU gui %5.1f process %6.1f ms%s\n",
               $1, $2, $3, v["shown_ms"], v["max_stall_ms"], v["hwm_start_kb"], v["hwm_end_kb"],
               v["rss_start_kb"], v["rss_end_kb"], v["gui_cpu_ms"], v["process_cpu_ms"], heard
    }' "$window_runs"
}

print_table() {
    awk -F '\t' -v order="${servers[*]}" -v modes="${modes[*]}" -v ratios="$(printf '%s,' "${ratios[@]}")" '
        function median(key, n,   i, j, t, v) {
            for (i = 1; i <= n; i++) v[i] = s[key, i]
            for (i = 2; i <= n; i++)
                for (j = i; j > 1 && v[j - 1] > v[j]; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
            lo[key] = v[1]; hi[key] = v[n]
            return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
        }
        { key = $1 SUBSEP $2; s[key, ++n[key]] = $4; b[key] = $5 }
        END {
            ns = split(order, srv, " "); nm = split(modes, md, " ")
            printf "%-17s %-9s %5s %10s  %-17s %8s %10s\n", "server", "cpu", "runs", "median s",
                   "min-max s", "blocks", "blocks/s"
            for (m = 1; m <= nm; m++)
                for (i = 1; i <= ns; i++) {
                    key = srv[i] SUBSEP md[m]
                    if (!n[key]) continue
                    med = median(key, n[key]); bps[key] = b[key] / med
                    printf "%-17s %-9s %5d %10.4f  %7.4f-%-9.4f %8d %10.0f\n", srv[i], md[m],
                           n[key], med, lo[key], hi[key], b[key], bps[key]
                }
            print ""
            print "Ratios of median blocks/s (unpinned, pinned):"
            nr = split(ratios, pair, ",")
            for (r = 1; r <= nr; r++) {
                if (pair[r] == "") continue
                split(pair[r], ab, " ")
                line = sprintf("  %-28s", ab[1] " / " ab[2])
                for (m = 1; m <= nm; m++) {
                    ka = ab[1] SUBSEP md[m]; kb = ab[2] SUBSEP md[m]
                    line = line ((ka in bps && kb in bps) ? sprintf("  %6.2f", bps[ka] / bps[kb]) \
                                                           : "     n/a")
                }
                print line
            }
        }' "$results"
}

cleanup() {
    stop_listener
    stop_server
    ip netns del "$recorder_ns" 2>/dev/null || true
    if [ -n "$xvfb_pid" ]; then
        kill -TERM "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
}

measure() {
    # Never measure in the machine's own namespace: the servers would answer on its loopback.
    if [ "$(readlink /proc/self/ns/net)" = "$(readlink /proc/1/ns/net)" ]; then
        die "refusing to measure outside a private network namespace"
    fi
    # The accessibility rows get a session bus of their own, gone with the run. What the bus
    # and the daemons it starts print goes to stderr; the table comes back to stdout (fd 3).
    if wants_a11y && [ -z "${FK_BENCH_PRIVATE_BUS:-}" ]; then
        exec dbus-run-session -- env FK_BENCH_PRIVATE_BUS=1 "$0" --in-namespace 3>&1 >&2
    fi
    if [ -n "${FK_BENCH_PRIVATE_BUS:-}" ]; then exec >&3 3>&-; fi
    trap cleanup EXIT
    trap 'exit 130' INT TERM
    set_up_namespace
    if wants_x; then start_x_server; fi
    : >"$results"
    : >"$window_runs"
    rm -f "$cache/window-report"
    say "measuring: ${servers[*]} x ${modes[*]} x $reps rounds"
    local round mode server
    for round in $(seq "$reps"); do
        for mode in "${modes[@]}"; do
            for server in "${servers[@]}"; do run_one "$server" "$mode" "$round"; done
        done
    done
    printf 'FlashKit benchmark: %d-byte image in lock-step 512-byte blocks over lo in a private\n' \
        "$image_size"
    printf 'network namespace; %d runs per row; pinned = server and client on CPU 0 (taskset -c 0).\n' \
        "$reps"
    if wants_x; then
        printf 'window-x*: on Xvfb; window-a11y*: accessibility bridge on, a listener that walked the\n'
        printf 'tree and reads every object event (-slow: %d ms per event); desktop never pinned.\n' \
            "$slow_event_ms"
    fi
    printf 'Machine: %s, %s CPUs, kernel %s, load %s\n\n' \
        "$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1)" "$(nproc)" \
        "$(uname -r)" "$(cut -d' ' -f1-3 /proc/loadavg)"
    print_table
    local announcers=() server
    for server in "${servers[@]}"; do
        case "$server" in engine | window) announcers+=("$server") ;; esac
    done
    if [ "${#announcers[@]}" -gt 0 ]; then
        printf '\nBOOTP announcements over 10 s on the recorder card (period target 30 ms; median\n'
        printf 'period, 99th percentile and largest |period - 30 ms|), CPU of the whole process:\n'
        for server in "${announcers[@]}"; do measure_announce "$server"; done
    fi
    if [ -s "$window_runs" ]; then print_window_runs; fi
    say ""
    say "raw results: $results"
}

case "${1:-}" in
"")
    prepare
    exec unshare --net -- "$0" --in-namespace
    ;;
--in-namespace) measure ;;
*) die "usage: bench/run-bench.sh   (no arguments; see the comment at the top)" ;;
esac
