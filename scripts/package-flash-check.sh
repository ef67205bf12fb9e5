#!/usr/bin/env bash
# Flashes the simulated recorder with the installed package, as an operator in the flashkit group
# would: a private namespace pair, the installed simulator on the recorder side, the installed
# window on the pc side as MEMBER (not root) on a private X display, driven with mouse and keys.
# Nothing is sent on, or changed in, the machine's own network. Cleans up on every exit; a failure
# keeps a screenshot and the logs in the folder it names.
# Usage: scripts/package-flash-check.sh MEMBER   (as root, while the package is installed)
set -euo pipefail
member=${1:?usage: $0 MEMBER}
binary=/usr/bin/flashkit
simulator=/usr/bin/flashkit-recorder-sim
title='FlashKit v1.3.13'
limit=60  # seconds for the whole upload, simulator included

tag=$$
pc=fkpkg-pc-$tag rec=fkpkg-rec-$tag pclink=fkpp$tag reclink=fkpr$tag
work=$(mktemp -d /tmp/flashkit-flash-check.XXXXXX)
chmod 0755 "$work"
keep=${FLASHKIT_CHECK_FAILURES:-/tmp}/flashkit-flash-check-failure-$tag
xvfb_pid=''
sim_pid=''
runner_pid=''
window_pid=''
display=''

say() { echo "package check: $*"; }

# Keeps what shows the failure, after the screen is captured while the window is still up.
keep_evidence() {
    mkdir -p "$keep"
    if [ -n "$display" ]; then
        DISPLAY=$display import -window root "$keep/screen.png" 2>/dev/null || true
        DISPLAY=$display xdotool search --onlyvisible --name . getwindowname %@ \
            >"$keep/windows.txt" 2>/dev/null || true
    fi
    cp "$work"/*.log "$keep"/ 2>/dev/null || true
    echo "package check: evidence kept in $keep (screen.png, windows.txt, logs)" >&2
    for log in "$keep"/*.log "$keep/windows.txt"; do
        [ -s "$log" ] && { echo "--- $(basename "$log")"; cat "$log"; } >&2
    done
    return 0
}
fail() {
    echo "package check FAILED: $*" >&2
    keep_evidence
    exit 1
}
stop() {  # stop <pid>: end one process this script started, and reap it
    if [ -n "$1" ] && kill -0 "$1" 2>/dev/null; then kill "$1" 2>/dev/null || true; fi
}

cleanup() {
    local status=$?
    stop "$window_pid"
    stop "$runner_pid"
    stop "$sim_pid"
    stop "$xvfb_pid"
    wait 2>/dev/null || true
    ip netns del "$pc" 2>/dev/null || true
    ip netns del "$rec" 2>/dev/null || true
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Both sides live in namespaces of their own; the recorder's card has its MAC and no address.
# shellcheck source=scripts/test-network.sh
source "$(dirname "$0")/test-network.sh"
make_test_network "$pc" "$rec" "$pclink" "$reclink"

# A system image whose trailer (series 05, sub-code 20) fits the recorder 30 01 01, alone in the
# folder the window starts from, so it is the image the window proposes. A fresh home: no
# remembered paths.
images=$work/images home=$work/home
mkdir "$images" "$home"
head -c 200000 /dev/urandom >"$images/fw.bin"
printf '\000\000\005\040' >>"$images/fw.bin"
chown -R "$member:" "$images" "$home"

ip netns exec "$rec" "$simulator" --interface "$reclink" --fetch --timeout "$limit" \
    --expect-kind 1 --output "$work/received.bin" >"$work/simulator.log" 2>&1 &
sim_pid=$!

# A private X server, inside the pc namespace; it listens on a local socket only.
exec 3>"$work/display"
ip netns exec "$pc" Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp \
    >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
exec 3>&-
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
done
[ -s "$work/display" ] || fail "Xvfb did not start"
display=:$(head -n1 "$work/display")
export DISPLAY=$display

# The window gets a session bus of its own that ends with it: on an X display, a desktop library
# would otherwise autolaunch one for the member that outlives the window.
say "flashing the simulated recorder as $member with the installed $binary on $display"
ip netns exec "$pc" runuser -u "$member" -- env -i -C "$images" PATH=/usr/bin:/bin HOME="$home" \
    DISPLAY="$display" QT_QPA_PLATFORM=xcb dbus-run-session -- flashkit >"$work/window.log" 2>&1 &
runner_pid=$!
for _ in $(seq 100); do
    window_pid=$(pgrep -u "$member" -x flashkit || true)
    [ -n "$window_pid" ] && break
    sleep 0.2
done
[ -n "$window_pid" ] || fail "flashkit did not start for $member"

member_uid=$(id -u "$member")
status_file=/proc/$window_pid/status
# Real, effective, saved and file-system user: all the member's.
[ "$(awk -v uid="$member_uid" '/^Uid:/ { print $2 == uid && $3 == uid && $4 == uid && $5 == uid }' \
    "$status_file")" = 1 ] ||
    fail "the window does not run as $member: $(grep '^Uid:' "$status_file")"
# CAP_NET_BIND_SERVICE is bit 10 and CAP_NET_ADMIN bit 12: nothing more, nothing less.
[ "$(awk '/^CapEff:/ { print $2 }' "$status_file")" = 0000000000001400 ] ||
    fail "the member's window holds other capabilities: $(grep '^CapEff:' "$status_file")"

# The title shown ends in the application's name.
window=$(timeout 30 xdotool search --sync --onlyvisible --name "^$title\$" | head -n1) ||
    fail "no window titled \"$title\" appeared"
eval "$(xdotool getwindowgeometry --shell "$window")"  # sets X and Y
click() {  # click <x> <y>: in window coordinates
    xdotool mousemove "$((X + $1))" "$((Y + $2))" click 1
}

# The MAC boxes start as FF: select, then type; each box hands on after two characters.
click $((7 + 294 + 16)) $((127 + 36 + 14))
sleep 0.3
xdotool key ctrl+a
xdotool type --delay 50 300101
sleep 0.3
click $((7 + 323 + 69)) $((344 + 27 + 40))

# No box may come up: any other window means the window refused the upload.
sim_status=
for _ in $(seq $((limit * 5))); do
    if ! kill -0 "$sim_pid" 2>/dev/null; then
        sim_status=0
        wait "$sim_pid" || sim_status=$?
        sim_pid=
        break
    fi
    others=$(xdotool search --onlyvisible --name . 2>/dev/null | grep -vx "$window" || true)
    if [ -n "$others" ]; then
        fail "the window showed a box instead of uploading: $(for box in $others; do
            xdotool getwindowname "$box"
        done | paste -sd '|')"
    fi
    sleep 0.2
done
[ -n "$sim_status" ] || fail "the simulated recorder got no full upload within ${limit} s"
[ "$sim_status" = 0 ] || fail "the simulated recorder ended with status $sim_status"
grep -q '^tftp status=complete' "$work/simulator.log" ||
    fail "the simulated recorder reports no complete transfer"
[ "$(stat -c %s "$work/received.bin")" = $((512 + $(stat -c %s "$images/fw.bin"))) ] ||
    fail "the recorder received $(stat -c %s "$work/received.bin") bytes, not header and image"
tail -c +513 "$work/received.bin" | cmp -s - "$images/fw.bin" ||
    fail "the image the recorder received differs from fw.bin"
kill -0 "$window_pid" 2>/dev/null || fail "the window ended during the upload"

# Closed as the session would close it at logout; it must go within a bound.
kill "$window_pid"
for _ in $(seq 50); do
    kill -0 "$window_pid" 2>/dev/null || break
    sleep 0.2
done
kill -0 "$window_pid" 2>/dev/null && fail "the window did not end within 10 s of SIGTERM"
window_pid=
say "the member's window flashed the simulated recorder ($(grep '^tftp' "$work/simulator.log" |
    grep -o 'blocks=[0-9]*'))"
