#!/usr/bin/env bash
# The Windows build under wine, inside a private namespace pair made here and deleted on exit:
# the core's unit tests, then flashkit-cli.exe's cards, --card by each of a card's names, check,
# an upload to the simulated recorder (byte for byte, by the broadcast fallback, as wine cannot
# make a neighbour entry), history --json, a station serving the same recorder, flashkit.exe
# driven through its controls by window_driver.exe under Xvfb (an upload aborted, one refused
# for a port held, then one to the same recorder, its layout at 96 and 192 DPI), and the
# installer and uninstaller, and an upload in a console of its own, read back from its screen.
# Needs root.
# Usage: wine_rows.sh WINDOWS_BUILD_DIR RECORDER_SIM
# Exit 0 when every row passes, 77 (skipped) without root, wine or the Windows tree.
set -uo pipefail
windows=$(realpath "${1:?Windows build tree}")
sim=$(realpath "${2:?flashkit-recorder-sim}")
cli="$windows/cli/flashkit-cli.exe"
units="$windows/tests/windows/flashkit_unit_tests.exe"
if [ "$(id -u)" -ne 0 ] || ! command -v wine >/dev/null || [ ! -x "$cli" ]; then
    echo "skipped: needs root, wine and $cli"
    exit 77
fi

tag=$$
pc="fk-wpc-$tag" recorder="fk-wrec-$tag" pcLink="fkwp$tag" recorderLink="fkwr$tag"
work=$(mktemp -d /tmp/flashkit-wine.XXXXXX)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
       WINEARCH=win64 DISPLAY=
failures=0
cleanup() {
    ip netns exec "$pc" wineserver -k >/dev/null 2>&1
    ip netns pids "$recorder" 2>/dev/null | xargs -r kill 2>/dev/null
    ip netns del "$pc" 2>/dev/null
    ip netns del "$recorder" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL $1"
    [ -n "${2:-}" ] && sed 's/^/    /' "$2" | head -40
    failures=$((failures + 1))
}
pass() { echo "ok   $1"; }

ip netns add "$pc" && ip netns add "$recorder" &&
    ip link add "$pcLink" netns "$pc" type veth peer name "$recorderLink" netns "$recorder" &&
    ip -n "$pc" link set lo up && ip -n "$recorder" link set lo up &&
    ip -n "$pc" addr add 192.168.77.1/24 dev "$pcLink" && ip -n "$pc" link set "$pcLink" up &&
    ip -n "$recorder" link set "$recorderLink" address 02:5e:a1:30:01:01 &&
    ip -n "$recorder" link set "$recorderLink" up || { echo "test network setup failed"; exit 1; }

# wine's server and services live in the pc namespace with the program; their output goes to
# files, never a pipe, which they would hold open.
onPc() { timeout "$1" ip netns exec "$pc" "${@:2}"; }
onPc 300 wineboot -i >"$work/wineboot.log" 2>&1 || { fail "wine prefix" "$work/wineboot.log"; exit 1; }
# One server for the whole run: the one wineboot left ends 3 s after its last client, and a
# program started in that moment loses its connection ("recvmsg: Connection reset by peer").
onPc 60 wineserver -w >>"$work/wineboot.log" 2>&1
onPc 10 wineserver -p >>"$work/wineboot.log" 2>&1
winePath() { echo "Z:${1//\//\\}"; }

# The core's unit tests, as on Linux, but for rows of POSIX file semantics that Windows (or wine)
# has not: an open file renamed over or deleted, symbolic links, names that are not UTF-8,
# PATH_MAX of 4096, "/" as the only separator, an unreadable block.
posixOnly="UploadHistoryTest.TheRecordingHostMakesOneRowPerUploadFromTheSessionsReports"
posixOnly+=":TftpEngineTest.FileDeletedMidTransferGivesTheOpenErrorAndSendsNothing"
posixOnly+=":TftpEngineTest.UnreadableBlockEndsInTheSendTimeOutWhateverTheRecorderSends"
posixOnly+=":TftpEngineTest.FileChangedMidTransferIsReportedAndNothingMoreIsSent"
posixOnly+=":SplitPath.TakesPathsWholeUpToTheSystemLimitAndCutsEachPartToTheNameLimit"
posixOnly+=":ImageDirectory.ExistingFileMeansARegularFileThroughLinks"
posixOnly+=":ImageDirectory.DefaultSearchFindsAFileWhoseExtensionMatchesInAnyCase"
posixOnly+=":ImageDirectory.AShownNameWithReplacementsStandsForTheEntryShownSo"
if [ -x "$units" ]; then
    onPc 600 wine "$units" --gtest_brief=1 --gtest_filter="-$posixOnly" >"$work/units.log" 2>&1 && pass "unit tests" || {
        grep -E '^\[  (FAILED|PASSED) ' "$work/units.log" | sort -u >"$work/units-failed.log"
        fail "unit tests" "$work/units-failed.log"
    }
fi

# cards: the card of the pair with its address and the recorder's.
onPc 60 wine "$cli" cards --json >"$work/cards.log" 2>&1
card=$(python3 -c '
import json, sys
for line in open(sys.argv[1]):
    line = line.strip()
    if line.startswith("{"):
        c = json.loads(line)
        if c["address"] == "192.168.77.1/24" and c["recorder_address"] == "192.168.77.2":
            print(c["card"]); break' "$work/cards.log")
[ -n "$card" ] && pass "cards lists $card" || fail "cards" "$work/cards.log"

# --card by the name Windows shows, the GUID in lower case without braces, and the index; an
# unknown name is refused with the cards that can carry an upload.
read -r name index < <(python3 -c '
import json, sys
for line in open(sys.argv[1]):
    if line.startswith("{") and json.loads(line)["card"] == sys.argv[2]:
        c = json.loads(line); print(c["name"], c["index"])' "$work/cards.log" "$card")
named=0
guid=$(echo "$card" | tr -d '{}' | tr 'A-Z' 'a-z')
for given in "$name" "$guid" "$index"; do
    onPc 60 wine "$cli" check --card "$given" --json >"$work/named.log" 2>&1
    grep -q '"check":"link","verdict":"ok"' "$work/named.log" && named=$((named + 1))
done
onPc 60 wine "$cli" check --card "no such card" >"$work/unknown.log" 2>&1
unknown=$?
[ "$named" -eq 3 ] && [ "$unknown" -eq 2 ] &&
    grep -q "No network card 'no such card'.*can carry an upload: $name\." "$work/unknown.log" &&
    pass "--card by name, GUID and index" || fail "--card by name ($named of 3, unknown exit $unknown)" "$work/unknown.log"

# check: every line of the Windows check, ports free, the recorder's address free; wine has no
# call for the neighbour entry, which the privileges line says.
onPc 60 wine "$cli" check --card "$card" --json >"$work/check.log" 2>&1
python3 - "$work/check.log" <<'PY' && pass "check" || fail "check" "$work/check.log"
import json, sys
found = {}
for line in open(sys.argv[1]):
    if line.startswith("{"):
        f = json.loads(line)
        found[f["check"]] = f["verdict"]
want = ["link", "address", "recorder", "port 67", "port 69", "privileges", "firewall"]
sys.exit(0 if all(k in found for k in want) and found["port 67"] == "ok"
         and found["port 69"] == "ok" and found["recorder"] == "ok"
         and found["privileges"] == "FAIL" else 1)
PY

# upload: a system image of 5000 bytes, every byte value in it (text mode would spoil them).
python3 - "$work/fw_wine.bin" <<'PY'
import sys
size = 5000
data = bytearray((i * 13 + i // 509) & 0xFF for i in range(size))
data[-4:] = bytes([0, 0, 5, 0x20])
open(sys.argv[1], "wb").write(data)
PY
ip netns exec "$recorder" timeout 90 "$sim" --interface "$recorderLink" --fetch --expect-kind 1 \
    --timeout 80 --output "$work/received.bin" >"$work/sim.log" 2>&1 &
simPid=$!
history="$work/history.sqlite3"
onPc 120 wine "$cli" upload --card "$card" --mac 30:01:01 --wait 60 \
    --history-file "$(winePath "$history")" "$(winePath "$work/fw_wine.bin")" >"$work/upload.log" 2>&1
uploaded=$?
wait "$simPid"
simmed=$?
if [ "$uploaded" -eq 0 ] && [ "$simmed" -eq 0 ] &&
    [ "$(stat -c %s "$work/received.bin" 2>/dev/null)" = $((512 + 5000)) ] &&
    tail -c 5000 "$work/received.bin" | cmp -s - "$work/fw_wine.bin" &&
    grep -q "Uploading Completed" "$work/upload.log" &&
    grep -q "boot replies go out.*by broadcast" "$work/upload.log" &&
    ! grep -q $'\e' "$work/upload.log"; then
    pass "upload byte for byte by broadcast, no escape sequence into a file"
else
    cat "$work/sim.log" >>"$work/upload.log"
    fail "upload (exit $uploaded, recorder $simmed)" "$work/upload.log"
fi

# history --json: the upload's row, with the image's SHA-256.
onPc 60 wine "$cli" history --json --history-file "$(winePath "$history")" >"$work/history.log" 2>&1
python3 - "$work/history.log" "$(sha256sum "$work/fw_wine.bin" | cut -d' ' -f1)" <<'PY' &&
import json, sys
text = open(sys.argv[1]).read()
rows = json.loads(text[text.index("["):])
sys.exit(0 if len(rows) == 1 and rows[0]["outcome"] == "completed"
         and rows[0]["sha256"] == sys.argv[2] and rows[0]["size"] == 5000 else 1)
PY
    pass "history --json" || fail "history --json" "$work/history.log"

# station: the same recorder named by its MAC, served the same image until it is done.
ip netns exec "$recorder" timeout 90 "$sim" --interface "$recorderLink" --fetch --expect-kind 1 \
    --timeout 80 --output "$work/station.bin" >"$work/sim-station.log" 2>&1 &
simPid=$!
onPc 120 wine "$cli" station --card "$card" --mac 30:01:01 --until-done \
    --history-file "$(winePath "$history")" "$(winePath "$work/fw_wine.bin")" \
    >"$work/station.log" 2>&1
served=$?
wait "$simPid"
simmed=$?
if [ "$served" -eq 0 ] && [ "$simmed" -eq 0 ] && cmp -s "$work/received.bin" "$work/station.bin"; then
    pass "station byte for byte by broadcast"
else
    cat "$work/sim-station.log" >>"$work/station.log"
    fail "station (exit $served, recorder $simmed)" "$work/station.log"
fi

# The window: its texts, a MAC box's upper case and limit, the MAC boxes read back and shown
# whole, no control cut, the Tab order, Ctrl+Tab and Ctrl+PgDn, Enter pressing Upload, Abort, and the system image's
# path remembered in the registry as the window closes; at 96 DPI here, at 192 for the upload.
window="$windows/app/flashkit.exe" driver="$windows/tests/windows/window_driver.exe"
if [ -f "$window" ] && [ -f "$driver" ] && command -v xvfb-run >/dev/null; then
    # wine's desktop takes the display its server starts with: the rows above had none.
    onPc 30 wineserver -k >/dev/null 2>&1
    onPc 120 xvfb-run -a -s "-screen 0 1280x1024x24" wine "$driver" "$(winePath "$window")" \
        "$(winePath "$work/fw_wine.bin")" >"$work/window.log" 2>&1
    cat >"$work/layout.py" <<'PY'
import sys
shown = {}
for line in open(sys.argv[1], encoding="utf-8", errors="replace"):
    name, _, value = line.rstrip("\r\n").partition("=")
    shown.setdefault(name, []).append(value)
# Reading order, from wherever the focus was: card, MAC boxes, tabs, path, Browse, Upload.
order = "100,101,102,103,104,105,106,109"
tabbed = shown.get("tab order", [""])[0]
layout = (shown.get("mac") == ["30 01 01"] and shown.get("mac shown whole") == ["yes"]
          and shown.get("dpi") == [sys.argv[2]] and shown.get("clipped") == [""]
          and len(tabbed) == len(order) and tabbed in order + "," + order
          and shown.get("pages turned") == ["1,0"])
PY
    python3 - "$work/window.log" 96 "$(winePath "$work/fw_wine.bin")" <<'PY' &&
import sys
exec(open(sys.argv[1].rsplit("/", 1)[0] + "/layout.py").read())
texts = ["[ Setup network card ]", "[Select network card in your system]", "[IP Address]",
         "[ Setup MAC address ]", "[DVR MAC address]", "[02 - 5E - A1 -]",
         "[System image file path and name]", "[    &Browse...]", "[ Status of uploading ]"]
ok = (layout and shown.get("caption") == ["FlashKit v1.3.13"]
      and all(t in shown.get("controls", [""])[0] for t in texts)
      and shown.get("typed abc") == ["AB"] and shown.get("typed g") == [""]
      and shown.get("button") == ["&Abort"] and shown.get("after abort") == ["&Upload"]
      and shown.get("status", [""])[-1] == "Uploading Aborted"
      and shown.get("closed") == ["yes"] and shown.get("remembered") == [sys.argv[3]])
sys.exit(0 if ok else 1)
PY
        pass "window driven through its controls at 96 DPI" || fail "window" "$work/window.log"

    # A port another program holds: the box names it, the status line shows its text whole.
    ip netns exec "$pc" timeout 60 python3 -c '
import socket, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("0.0.0.0", 67))
time.sleep(50)' >/dev/null 2>&1 &
    holder=$!
    onPc 120 xvfb-run -a -s "-screen 0 1280x1024x24" wine "$driver" "$(winePath "$window")" \
        "$(winePath "$work/fw_wine.bin")" --port-held >"$work/window-held.log" 2>&1
    kill "$holder" 2>/dev/null
    wait "$holder" 2>/dev/null
    tr -d '\r' <"$work/window-held.log" >"$work/window-held.txt"
    grep -q "^held box=Port 67 is in use by" "$work/window-held.txt" &&
        grep -q "^status=Step 3 bootp socket error: error code ([0-9]*)$" "$work/window-held.txt" &&
        grep -Eq "^status lines=[12]$" "$work/window-held.txt" &&
        grep -q "^status shown whole=yes$" "$work/window-held.txt" &&
        pass "window names a port another program holds" ||
        fail "window, port held" "$work/window-held.log"

    # The window's upload to the simulated recorder, byte for byte as the terminal's, its layout
    # at 192 DPI (read as the server starts).
    onPc 30 wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 192 /f \
        >"$work/dpi.log" 2>&1
    onPc 30 wineserver -k >/dev/null 2>&1
    ip netns exec "$recorder" timeout 100 "$sim" --interface "$recorderLink" --fetch \
        --expect-kind 1 --timeout 90 --output "$work/window.bin" >"$work/sim-window.log" 2>&1 &
    simPid=$!
    onPc 120 xvfb-run -a -s "-screen 0 1280x1024x24" wine "$driver" "$(winePath "$window")" \
        "$(winePath "$work/fw_wine.bin")" --until-done >"$work/window-upload.log" 2>&1
    wait "$simPid"
    simmed=$?
    if [ "$simmed" -eq 0 ] && cmp -s "$work/received.bin" "$work/window.bin" &&
        grep -q "^after upload=&Upload" "$work/window-upload.log" &&
        grep -q "^status=Uploading Completed" "$work/window-upload.log" &&
        python3 -c 'import sys; exec(open(sys.argv[3]).read()); sys.exit(0 if layout else 1)' \
            "$work/window-upload.log" 192 "$work/layout.py"; then
        pass "window upload byte for byte by broadcast, its layout at 192 DPI"
    else
        cat "$work/sim-window.log" >>"$work/window-upload.log"
        fail "window upload (recorder $simmed)" "$work/window-upload.log"
    fi
fi

# The console: an upload in a console of its own, as from a prompt, read back from the console
# by console_run.exe once it ended: the progress row redrawn in place (one row, not one a
# redraw, none wrapped), no escape sequence shown as text, the image byte for byte.
runner="$windows/tests/windows/console_run.exe"
if [ -f "$runner" ] && command -v xvfb-run >/dev/null; then
    head -c 300000 /dev/urandom >"$work/fw_console.bin"
    printf '\0\0\5\040' | dd of="$work/fw_console.bin" bs=1 seek=299996 conv=notrunc 2>/dev/null
    onPc 30 wineserver -k >/dev/null 2>&1
    ip netns exec "$recorder" timeout 100 "$sim" --interface "$recorderLink" --fetch \
        --expect-kind 1 --timeout 90 --output "$work/console.bin" >"$work/sim-console.log" 2>&1 &
    simPid=$!
    onPc 150 xvfb-run -a -s "-screen 0 1280x1024x24" wine "$runner" \
        "$(winePath "$work/console.txt")" "$(winePath "$cli")" upload --card "$card" \
        --mac 30:01:01 --wait 60 --history-file "$(winePath "$history")" \
        "$(winePath "$work/fw_console.bin")" >"$work/console.log" 2>&1
    ran=$?
    wait "$simPid"
    simmed=$?
    if [ "$ran" -eq 0 ] && [ "$simmed" -eq 0 ] &&
        [ "$(stat -c %s "$work/console.bin" 2>/dev/null)" = $((512 + 300000)) ] &&
        tail -c 300000 "$work/console.bin" | cmp -s - "$work/fw_console.bin" &&
        grep -q "^Uploading Completed" "$work/console.txt" &&
        [ "$(grep -c '%' "$work/console.txt")" -eq 1 ] &&
        grep -q '^\[#*\] 100% ' "$work/console.txt" &&
        ! grep -q $'\e\|\[K\|\[J' "$work/console.txt"; then
        pass "console: the progress row redrawn in place, no escape shown"
    else
        cat "$work/console.txt" "$work/sim-console.log" >>"$work/console.log"
        fail "console (exit $ran, recorder $simmed)" "$work/console.log"
    fi
fi

# The installer, silent, twice into the prefix, then the uninstaller: the programs, the README
# and the licence, the Start menu's four shortcuts for all users, the uninstall entry's values,
# one firewall rule per program however often it ran (netsh stood in for, as wine's knows no
# firewall); the uninstaller leaves none of its own and keeps the user's history and paths.
setup=$(ls "$windows"/FlashKit-*-windows-x64-setup.exe 2>/dev/null | head -1)
standin="$windows/tests/windows/netsh_standin.exe"
if [ -f "$setup" ] && [ -f "$standin" ]; then
    drive="$WINEPREFIX/drive_c"
    folder="$drive/Program Files/FlashKit" menu="$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/FlashKit"
    key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\FlashKit'
    onPc 30 wineserver -k >/dev/null 2>&1
    # wine would run its own netsh before a file in its place.
    cp "$standin" "$drive/windows/system32/netsh.exe"
    export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;netsh.exe=n"
    kept="$drive/users/$(id -un)/AppData/Local/FlashKit/history.sqlite3"
    mkdir -p "$(dirname "$kept")" && echo history >"$kept"
    onPc 60 wine reg add 'HKCU\Software\Norvale\FlashPilot\Files' /v SystemFile /d 'C:\fw.bin' /f \
        >"$work/setup.log" 2>&1
    for run in 1 2; do onPc 120 wine "$setup" /S >>"$work/setup.log" 2>&1; done
    onPc 60 wineserver -w
    onPc 60 wine reg query "$key" >"$work/key.log" 2>&1
    python3 - "$folder" "$menu" "$work/key.log" "$drive/netsh-rules.txt" <<'PY' >>"$work/setup.log" 2>&1 &&
import os, sys
folder, menu, key, rules = sys.argv[1:]
files = sorted(os.listdir(folder))
shortcuts = sorted(os.listdir(menu))
values = open(key, encoding="utf-8", errors="replace").read()
ruled = sorted(open(rules, encoding="utf-8-sig").read().splitlines())
readme = open(os.path.join(folder, "README-Windows.txt"), "rb").read().split(b"\n")
print(files, shortcuts, ruled, values, sep="\n")
install = "C:\\Program Files\\FlashKit\\"
ok = (files == ["LICENSE.txt", "README-Windows.txt", "flashkit-cli.exe", "flashkit.exe", "uninstall.exe"]
      and shortcuts == ["FlashKit README.lnk", "FlashKit command prompt.lnk", "FlashKit.lnk",
                        "Uninstall FlashKit.lnk"]
      and all(v in values for v in ["Publisher", "DisplayIcon", "EstimatedSize", "InstallLocation",
                                    "UninstallString", "DisplayVersion"])
      and ruled == [install + "flashkit-cli.exe", install + "flashkit.exe"]
      and all(line.endswith(b"\r") and len(line) <= 81 for line in readme[:-1]))
sys.exit(0 if ok else 1)
PY
        pass "installer twice: files, shortcuts, uninstall entry, one firewall rule a program" ||
        fail "installer" "$work/setup.log"
    onPc 60 wine "$folder/uninstall.exe" /S >"$work/uninstall.log" 2>&1
    onPc 60 wineserver -w
    onPc 60 wine reg query "$key" >"$work/key-after.log" 2>&1
    keyGone=$?
    onPc 60 wine reg query 'HKCU\Software\Norvale\FlashPilot\Files' >"$work/paths.log" 2>&1
    if [ ! -e "$folder" ] && [ ! -e "$menu" ] && [ "$keyGone" -ne 0 ] &&
        [ -z "$(tr -d '\r\n\357\273\277' <"$drive/netsh-rules.txt")" ] &&
        [ -f "$kept" ] && grep -q 'C:\\fw.bin' "$work/paths.log"; then
        pass "uninstaller: nothing of its own left, history and paths kept"
    else
        cat "$work/key-after.log" "$drive/netsh-rules.txt" >>"$work/uninstall.log"
        ls -R "$folder" "$menu" >>"$work/uninstall.log" 2>&1
        fail "uninstaller" "$work/uninstall.log"
    fi
fi

exit $((failures > 0))
