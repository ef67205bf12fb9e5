#!/usr/bin/env bash
# The benchmark's FlashKit servers (engine alone and the window path) against its client: each
# serves transfer after transfer from one process, byte for byte after the header block, and
# announces every 30 ms on the recorder's card meanwhile, as the announcement timer sees it; and
# the window on an X server with an accessibility listener, as the benchmark's window-a11y row.
# Runs itself in a private network namespace with lo and a veth pair (needs root); the client and
# the announcement capture run on the pair's other end, in a namespace of its own, as the recorder
# at the address the announcements give it: FlashKit serves no other.
# Usage: flashkit_servers_test.sh CLIENT ENGINE ANNOUNCE WINDOW
set -euo pipefail
client=$1
engine=$2
announce=$3
window=$4
if [ "${5:-}" != --in-namespace ]; then
    exec unshare --net -- "$0" "$client" "$engine" "$announce" "$window" --in-namespace
fi

work=$(mktemp -d)
server_pid=
recorder=fk-bench-rec-$$
trap '[ -z "$server_pid" ] || kill "$server_pid" 2>/dev/null; ip netns del "$recorder" 2>/dev/null
      rm -rf "$work"' EXIT
ip link set lo up
ip netns add "$recorder"
ip link add fkbench0 type veth peer name fkbench1 netns "$recorder"
ip -n "$recorder" link set fkbench1 address 02:5e:a1:1a:2b:3c
ip addr add 192.168.77.1/24 dev fkbench0
ip link set fkbench0 up
ip -n "$recorder" link set lo up
ip -n "$recorder" addr add 192.168.77.2/24 dev fkbench1
ip -n "$recorder" link set fkbench1 up
on_recorder() { ip netns exec "$recorder" "$@"; }
failures=0

check() {  # check <what> <wanted> <got>
    if [ "$3" != "$2" ]; then
        echo "FAIL $1: wanted '$2', got '$3'"
        failures=$((failures + 1))
    else
        echo "ok   $1"
    fi
}

# Starts a server and waits (at most 10 s) until it listens on port 69.
serve() {
    "$@" &
    server_pid=$!
    local tries
    for tries in $(seq 100); do
        [ -n "$(ss -Hlun 'sport = :69')" ] && return
        sleep 0.1
    done
    echo "FAIL server did not listen: $*"
    exit 1
}

stop() {
    kill -TERM "$server_pid"
    local status=0
    wait "$server_pid" || status=$?
    server_pid=
    return "$status"
}

fetch() {  # fetch <image>: the client's block and byte counts, or FAIL
    local got
    if got=$(on_recorder "$client" --timeout 10 --header-block --verify "$1" 192.168.77.1 "$(basename "$1")"); then
        echo "${got#seconds=* }"
    else
        echo FAIL
    fi
}

head -c 1000 /dev/urandom >"$work/odd.bin"
head -c 1024 /dev/urandom >"$work/even.fnt"

serve "$engine" --card fkbench0 --idle-exit 20 "$work/odd.bin"
# The replies begin once the recorder's entry stands, after its probe (half a second at most).
for tries in $(seq 20); do
    ip neigh show 192.168.77.2 dev fkbench0 | grep -q lladdr && break
    sleep 0.1
done
check "engine: a capture of 1 s sees about 33 announcements, 30 ms apart" "yes" \
    "$(on_recorder "$announce" --seconds 1 fkbench1 | awk '{ split($1, r, "="); split($2, m, "=")
        print (r[2] >= 25 && r[2] <= 40 && m[2] > 25 && m[2] < 35) ? "yes" : $0 }')"
check "engine: first transfer" "blocks=3 bytes=1000" "$(fetch "$work/odd.bin")"
check "engine: a new upload serves the next one" "blocks=3 bytes=1000" "$(fetch "$work/odd.bin")"
status=0
stop || status=$?
check "engine: ends cleanly on SIGTERM" 0 "$status"

# A name other than the boot file is an error on the status line: the server says so and ends.
serve "$engine" --card fkbench0 --idle-exit 20 "$work/odd.bin"
on_recorder "$client" --timeout 1 --header-block 192.168.77.1 other.bin >/dev/null 2>&1 || true
status=0
wait "$server_pid" 2>/dev/null || status=$?
server_pid=
check "engine: a wrong name ends it with status 1" 1 "$status"

serve env XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state" \
    QT_QPA_PLATFORM=offscreen "$window" --report "$work/report" "$work/even.fnt"
check "window: first transfer (a full last block, then an empty one)" "blocks=4 bytes=1024" \
    "$(fetch "$work/even.fnt")"
sleep 0.3
check "window: the press after completion serves the next one" "blocks=4 bytes=1024" \
    "$(fetch "$work/even.fnt")"
sleep 0.3
status=0
stop || status=$?
check "window: ends cleanly on SIGTERM" 0 "$status"
check "window: the report counts both transfers and shows memory" "transfers=2 memory" \
    "$(sed -n 's/.*\(transfers=[0-9]*\).*hwm_end_kb=[1-9].*/\1 memory/p' "$work/report")"

# The cases where the window could wait for a sound, with cues of their real length: Upload at a
# completion, Abort while a failed start blinks with its error cue, closing at a completion.
serve env XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state" \
    QT_QPA_PLATFORM=offscreen "$window" --cue-cases --report "$work/cue-report" "$work/even.fnt"
check "window with cues: first transfer" "blocks=4 bytes=1024" "$(fetch "$work/even.fnt")"
# Upload again, Abort, the failed start and its Abort 1.2 s later, Upload once more.
sleep 2
check "window with cues: the next upload after the error serves" "blocks=4 bytes=1024" \
    "$(fetch "$work/even.fnt")"
status=0
wait "$server_pid" || status=$?
server_pid=
check "window with cues: closes by itself at the second completion" 0 "$status"
check "window with cues: the event loop is never held 50 ms or more" "yes" \
    "$(sed -n 's/.*cue_stall_ms=\([0-9.]*\).*/\1/p' "$work/cue-report" |
        awk '{ print ($1 < 50) ? "yes" : $1 }')"

# The window on an X server of its own with the accessibility bridge on, and the benchmark's
# listener: it walks the window's tree before the transfer and reads the transfer's events.
# Skipped where the desktop pieces are not installed (scripts/install-deps.sh --test has them).
listener=$(dirname "$0")/../../bench/a11y_listener.py
if command -v Xvfb >/dev/null && command -v dbus-run-session >/dev/null &&
    /usr/bin/python3 -c 'import gi; gi.require_version("Atspi", "2.0")' 2>/dev/null; then
    # Xvfb, the bus and the listener run under dbus-run-session and end with it.
    a11y_check() {
        local xvfb listener_pid display tries
        Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$work/display" 2>/dev/null &
        xvfb=$!
        for tries in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
        display=:$(head -n1 "$work/display")
        env XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state" QT_QPA_PLATFORM=xcb \
            DISPLAY="$display" QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$window" --report "$work/a11y-report" \
            "$work/even.fnt" 2>/dev/null &
        local window_pid=$!
        for tries in $(seq 100); do [ -n "$(ss -Hlun 'sport = :69')" ] && break; sleep 0.1; done
        /usr/bin/python3 "$listener" --pid "$window_pid" --ready "$work/ready" --timeout 60 \
            >"$work/heard" 2>/dev/null &
        listener_pid=$!
        for tries in $(seq 150); do [ -s "$work/ready" ] && break; sleep 0.1; done
        sleep 0.3
        echo "transfer: $(fetch "$work/even.fnt")"
        sleep 0.3
        kill -TERM "$window_pid" "$listener_pid" 2>/dev/null
        wait "$window_pid" "$listener_pid" 2>/dev/null
        kill -TERM "$xvfb"
        wait "$xvfb" 2>/dev/null
        echo "walked: $(cat "$work/ready" 2>/dev/null)"
        echo "heard: $(cat "$work/heard")"
    }
    export -f a11y_check fetch on_recorder
    export work window client listener recorder
    dbus-run-session -- bash -c a11y_check >"$work/a11y" 2>/dev/null || true
    check "window on X with a listener: the transfer" "blocks=4 bytes=1024" \
        "$(sed -n 's/^transfer: //p' "$work/a11y")"
    check "window on X with a listener: it walked the window's tree" "yes" \
        "$(sed -n 's/^walked: objects=\([0-9]*\)$/\1/p' "$work/a11y" |
            awk '{ print ($1 >= 20) ? "yes" : $0 }')"
    check "window on X with a listener: it read the transfer's text and value events" "yes" \
        "$(sed -n 's/^heard: events=\([0-9]*\)$/\1/p' "$work/a11y" |
            awk '{ print ($1 >= 3) ? "yes" : $0 }')"
else
    echo "skip window on X with a listener: Xvfb, dbus or gir1.2-atspi-2.0 missing"
fi

[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
