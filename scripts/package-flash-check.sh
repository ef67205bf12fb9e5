#!/usr/bin/env bash
# Flashes the simulated recorder with the installed package, as an operator in the flashkit group
# would: a private namespace pair, the installed simulator on the recorder side, the installed
# window on the pc side as MEMBER (not root) on a private X display, driven with mouse and keys.
# While it uploads, the window holds no capability and the network helper it started holds the
# two; a plugin the member put on QT_PLUGIN_PATH gains nothing. The installed flashkit-cli flashes
# it again as MEMBER through the same helper and records it. Then: the window killed while it
# announces leaves no neighbour entry behind (its sockets bound to the upload's card), and OUTSIDER, not in the group, is told at Upload
# (and by flashkit-cli check) what to ask the administrator for.
# Nothing is sent on, or changed in, the machine's own network. Cleans up on every exit; a failure
# keeps a screenshot and the logs in the folder it names.
# Usage: scripts/package-flash-check.sh MEMBER OUTSIDER   (as root, while the package is installed)
set -euo pipefail
member=${1:?usage: $0 MEMBER OUTSIDER}
outsider=${2:?usage: $0 MEMBER OUTSIDER}
binary=/usr/bin/flashkit
helper=/usr/libexec/flashkit/flashkit-net-helper
simulator=/usr/bin/flashkit-recorder-sim
recorder=192.168.77.2  # what the address rule gives the pc side's 192.168.77.1
recorder_mac=02:5e:a1:30:01:01
# The caption shows the first three numbers of the installed package's upstream version.
version=$(dpkg-query -W -f='${Version}' flashkit)
title="FlashKit v$(cut -d. -f1-3 <<<"${version%-*}")"
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
# folder the window starts from, so it is the image the window proposes. Fresh homes: no
# remembered paths.
images=$work/images home=$work/home outsider_home=$work/outsider-home
mkdir "$images" "$home" "$outsider_home"
head -c 200000 /dev/urandom >"$images/fw.bin"
printf '\000\000\005\040' >>"$images/fw.bin"
chown -R "$member:" "$images" "$home"
chown "$outsider:" "$outsider_home"

# The member's own plugin, loaded by the window as it reads its first icon.
plugins=$work/plugins probe_report=$work/plugins/probe-report
mkdir -p "$plugins/imageformats"
probe_source=$(dirname "$0")/../tests/package
# shellcheck disable=SC2046 # pkg-config prints one flag per word
/usr/lib/qt6/libexec/moc $(pkg-config --cflags-only-I Qt6Gui) "$probe_source/probe_plugin.h" \
    -o "$work/moc_probe_plugin.cpp"
# shellcheck disable=SC2046
g++ -std=c++20 -shared -fPIC -DPROBE_REPORT="\"$probe_report\"" -I"$probe_source" \
    $(pkg-config --cflags Qt6Gui) "$probe_source/probe_plugin.cpp" "$work/moc_probe_plugin.cpp" \
    -o "$plugins/imageformats/libfkprobe.so" $(pkg-config --libs Qt6Gui) ||
    fail "the probe plugin did not build"
chown -R "$member:" "$plugins"

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

cap_eff() {  # cap_eff <pid>: its effective capability set, as /proc shows it
    awk '/^CapEff:/ { print $2 }' "/proc/$1/status"
}
helper_of() {  # helper_of <user>: the pid of the user's running network helper, if any
    pgrep -u "$1" -f "^$helper\$" || true
}
recorder_entry() {  # the pc side's neighbour entry that binds the recorder address to its MAC
    ip -n "$pc" neigh show "$recorder" dev "$pclink" | grep -i "lladdr $recorder_mac" || true
}

# start_window <user> <home> <log> [VAR=value...]: the installed window in the pc namespace, on the
# private display, from the images folder. The window gets a session bus of its own that ends with
# it: on an X display, a desktop library would otherwise autolaunch one that outlives the window.
# Sets window_pid, runner_pid, window and the window's X and Y.
start_window() {
    local user=$1 user_home=$2 log=$3
    shift 3
    ip netns exec "$pc" runuser -u "$user" -- env -i -C "$images" PATH=/usr/bin:/bin \
        HOME="$user_home" DISPLAY="$display" QT_QPA_PLATFORM=xcb "$@" \
        dbus-run-session -- flashkit >"$work/$log" 2>&1 &
    runner_pid=$!
    window_pid=
    for _ in $(seq 100); do
        window_pid=$(pgrep -u "$user" -x flashkit || true)
        [ -n "$window_pid" ] && break
        sleep 0.2
    done
    [ -n "$window_pid" ] || fail "flashkit did not start for $user"
    # The title shown ends in the application's name.
    window=$(timeout 30 xdotool search --sync --onlyvisible --name "^$title\$" | head -n1) ||
        fail "no window titled \"$title\" appeared"
    eval "$(xdotool getwindowgeometry --shell "$window")"  # sets X and Y
}
click() {  # click <x> <y>: in window coordinates
    xdotool mousemove "$((X + $1))" "$((Y + $2))" click 1
}
press_upload() {  # types the recorder's MAC octets and clicks Upload
    # The MAC boxes start as FF: select, then type; each box hands on after two characters.
    click $((7 + 294 + 16)) $((127 + 36 + 14))
    sleep 0.3
    xdotool key ctrl+a
    xdotool type --delay 50 300101
    sleep 0.3
    click $((7 + 323 + 69)) $((344 + 27 + 40))
}
close_window() {  # as the session closes it at logout; it must go within a bound
    kill "$window_pid"
    for _ in $(seq 50); do
        kill -0 "$window_pid" 2>/dev/null || break
        sleep 0.2
    done
    kill -0 "$window_pid" 2>/dev/null && fail "the window did not end within 10 s of SIGTERM"
    window_pid=
}

say "flashing the simulated recorder as $member with the installed $binary on $display"
start_window "$member" "$home" window.log QT_PLUGIN_PATH="$plugins"
member_uid=$(id -u "$member")
status_file=/proc/$window_pid/status
# Real, effective, saved and file-system user: all the member's.
[ "$(awk -v uid="$member_uid" '/^Uid:/ { print $2 == uid && $3 == uid && $4 == uid && $5 == uid }' \
    "$status_file")" = 1 ] ||
    fail "the window does not run as $member: $(grep '^Uid:' "$status_file")"
press_upload

# No box may come up: any other window means the window refused the upload. While it uploads,
# the window holds no capability and its helper exactly CAP_NET_BIND_SERVICE (bit 10) and
# CAP_NET_ADMIN (bit 12).
sim_status='' helper_pid=''
for _ in $(seq $((limit * 5))); do
    if [ -z "$helper_pid" ]; then
        helper_pid=$(helper_of "$member")
        if [ -n "$helper_pid" ]; then
            [ "$(cap_eff "$helper_pid")" = 0000000000001400 ] ||
                fail "the helper holds other capabilities: $(cap_eff "$helper_pid")"
            [ "$(awk '/^PPid:/ { print $2 }' "/proc/$helper_pid/status")" = "$window_pid" ] ||
                fail "the helper is not the window's child"
            [ "$(cap_eff "$window_pid")" = 0000000000000000 ] ||
                fail "the uploading window holds capabilities: $(cap_eff "$window_pid")"
        fi
    fi
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
[ -n "$helper_pid" ] || fail "the window started no network helper"
[ -n "$sim_status" ] || fail "the simulated recorder got no full upload within ${limit} s"
[ "$sim_status" = 0 ] || fail "the simulated recorder ended with status $sim_status"
grep -q '^tftp status=complete' "$work/simulator.log" ||
    fail "the simulated recorder reports no complete transfer"
[ "$(stat -c %s "$work/received.bin")" = $((512 + $(stat -c %s "$images/fw.bin"))) ] ||
    fail "the recorder received $(stat -c %s "$work/received.bin") bytes, not header and image"
tail -c +513 "$work/received.bin" | cmp -s - "$images/fw.bin" ||
    fail "the image the recorder received differs from fw.bin"
kill -0 "$window_pid" 2>/dev/null || fail "the window ended during the upload"
say "the member's window flashed the simulated recorder ($(grep '^tftp' "$work/simulator.log" |
    grep -o 'blocks=[0-9]*'))"

[ -s "$probe_report" ] || fail "the window did not load the member's plugin"
for set in CapEff CapPrm; do
    grep -qx "$set:	0000000000000000" "$probe_report" ||
        fail "the member's plugin runs with capabilities: $(cat "$probe_report")"
done
grep -qx 'link add: Operation not permitted' "$probe_report" ||
    fail "the member's plugin was not refused a new link: $(cat "$probe_report")"
ip -n "$pc" link show fkprobe0 >/dev/null 2>&1 && fail "the member's plugin added a link"
close_window
for _ in $(seq 25); do
    [ -z "$(helper_of "$member")" ] && break
    sleep 0.2
done
[ -z "$(helper_of "$member")" ] || fail "the helper outlived the window"
say "the plugin gained nothing, and the helper ended with the window"

# The terminal front end uploads through the same helper, and records the upload in the member's
# history beside the window's.
cli() {  # cli <user> <home> <arguments...>: the installed flashkit-cli in the pc namespace
    local user=$1 user_home=$2
    shift 2
    ip netns exec "$pc" runuser -u "$user" -- env -i -C "$images" PATH=/usr/bin:/bin \
        HOME="$user_home" flashkit-cli "$@"
}
say "flashing the simulated recorder as $member with the installed flashkit-cli"
cli "$member" "$home" check --card "$pclink" --mac 30:01:01 >"$work/cli-check.log" 2>&1 || true
grep -qx "ok   privileges  through the network helper $helper" "$work/cli-check.log" ||
    fail "flashkit-cli check does not see the member's helper: $(cat "$work/cli-check.log")"
ip netns exec "$rec" "$simulator" --interface "$reclink" --fetch --timeout "$limit" \
    --expect-kind 1 --output "$work/received-cli.bin" >"$work/simulator-cli.log" 2>&1 &
sim_pid=$!
cli_status=0
cli "$member" "$home" upload --card "$pclink" --mac 30:01:01 fw.bin --wait 30 \
    >"$work/cli-upload.log" 2>&1 || cli_status=$?
[ "$cli_status" = 0 ] || fail "flashkit-cli upload ended with status $cli_status"
sim_status=0
wait "$sim_pid" || sim_status=$?
sim_pid=
[ "$sim_status" = 0 ] || fail "the simulated recorder ended with status $sim_status"
tail -c +513 "$work/received-cli.bin" | cmp -s - "$images/fw.bin" ||
    fail "the image the recorder received from flashkit-cli differs from fw.bin"
cli_row=$(cli "$member" "$home" history --json | tr -d ' \n' |
    grep -o '{[^{}]*"program":"flashkit-cli"[^{}]*}') || fail "no flashkit-cli row in the history"
sha=$(sha256sum "$images/fw.bin" | cut -d' ' -f1)
case $cli_row in
*"\"sha256\":\"$sha\""*'"outcome":"completed"'*) ;;
*) fail "the history's flashkit-cli row is not the completed upload of fw.bin: $cli_row" ;;
esac
say "flashkit-cli flashed the simulated recorder and recorded it"

say "killing the member's window while it announces"
start_window "$member" "$home" window-killed.log
press_upload
for _ in $(seq 50); do
    [ -n "$(recorder_entry)" ] && break
    sleep 0.2
done
[ -n "$(recorder_entry)" ] || fail "no neighbour entry for the recorder while announcing"
# The sockets the helper passed the window serve the upload's card alone.
ports=$(ip netns exec "$pc" ss -uan 'sport = :67 or sport = :69' | awk 'NR > 1 { print $4 }' | sort)
[ "$ports" = "0.0.0.0%$pclink:67
0.0.0.0%$pclink:69" ] || fail "the upload's sockets are not bound to $pclink alone: $(echo $ports)"
kill -KILL "$window_pid"
window_pid=
for _ in $(seq 25); do
    [ -z "$(recorder_entry)" ] && [ -z "$(helper_of "$member")" ] && break
    sleep 0.2
done
[ -z "$(recorder_entry)" ] || fail "the killed window's neighbour entry is left: $(recorder_entry)"
[ -z "$(helper_of "$member")" ] || fail "the helper outlived the killed window"

say "pressing Upload as $outsider, who is not in the group"
start_window "$outsider" "$outsider_home" window-outsider.log
press_upload
box=$(timeout 10 xdotool search --sync --onlyvisible --name '^Group flashkit needed$' | head -n1) ||
    fail "$outsider got no box naming the group"
[ -z "$(recorder_entry)" ] || fail "$outsider's window made a neighbour entry"
close_window
cli "$outsider" "$outsider_home" check --card "$pclink" >"$work/cli-check-outsider.log" 2>&1 || true
grep -q '^FAIL privileges  this user may not run the network helper .*group flashkit' \
    "$work/cli-check-outsider.log" ||
    fail "flashkit-cli check does not tell $outsider about the group: $(cat "$work/cli-check-outsider.log")"
say "$outsider was told to ask for the group"
