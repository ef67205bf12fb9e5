#!/usr/bin/env bash
# Builds the Debian source and binary packages from a clean copy of the checkout
# (scripts/build-package.sh), lints them, installs the package on this machine as an operator
# would, proves that its programs carry the distribution's hardening, that the window is an
# ordinary program without capabilities, that only members of the flashkit group can run the
# network helper, which holds exactly the two network capabilities, that a member (not root)
# flashes the installed simulated recorder with it while an outsider is told what to ask for
# (scripts/package-flash-check.sh), and removes the package again. Safe to rerun: it cleans up on
# every exit.
# Usage: scripts/package-check.sh [package-dir]   (as root; package-dir holds what
# scripts/build-package.sh made, to check it without building again)
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then exec sudo -E "$0" "$@"; fi
package_dir=${1:+$(realpath "$1")}
binary=/usr/bin/flashkit
helper=/usr/libexec/flashkit/flashkit-net-helper
group=flashkit
group_marker=/var/lib/flashkit/group-created
member=fkci-member-$$
outsider=fkci-outsider-$$
work=$(mktemp -d /tmp/flashkit-package-check.XXXXXX)
chmod 0755 "$work"
installed=0
window_pid=

say() { echo "package check: $*"; }
fail() {
    echo "package check FAILED: $*" >&2
    exit 1
}
depends_on() {  # depends_on <package>: is it in the package's Depends field?
    [[ ", $depends," == *", $1 "* || ", $depends," == *", $1,"* ]]
}
owner_of() {  # owner_of <file>: the installed package that ships it (merged /usr or not)
    local path
    path=$(realpath "$1")
    dpkg -S "$path" 2>/dev/null || dpkg -S "${path#/usr}" 2>/dev/null || return 1
}
expect_equal() {  # expect_equal <what> <expected> <actual>
    [ "$2" = "$3" ] || fail "$1: expected '$2', got '$3'"
}

# Ends every process of a throwaway user (a session bus a desktop library started for it outlives
# the window) and then the user itself: a leftover process is no failure, a leftover user is.
remove_user() {  # remove_user <user>
    id "$1" >/dev/null 2>&1 || return 0
    pkill -KILL -u "$1" 2>/dev/null || true
    for _ in $(seq 50); do
        pgrep -u "$1" >/dev/null || break
        sleep 0.1
    done
    userdel "$1" 2>/dev/null || true
    if id "$1" >/dev/null 2>&1; then
        echo "package check: user $1 could not be removed" >&2
        return 1
    fi
}

cleanup() {
    local status=$?
    if [ -n "$window_pid" ] && kill -0 "$window_pid" 2>/dev/null; then kill "$window_pid"; fi
    wait 2>/dev/null || true
    for user in "$member" "$outsider"; do
        remove_user "$user" || status=1
    done
    if [ "$installed" = 1 ]; then dpkg --purge flashkit >/dev/null || true; fi
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT

# A copy left by an interrupted run is replaced in CI; on a workstation it may be the operator's own.
if dpkg-query -W flashkit >/dev/null 2>&1; then
    if [ "${CI:-}" != true ]; then
        say "SKIPPED: flashkit is installed on this machine; 'dpkg --purge flashkit' to run this check"
        exit 0
    fi
    say "purging a flashkit package left on this machine"
    dpkg --purge flashkit >/dev/null
fi
group_existed_before=0
if getent group "$group" >/dev/null; then group_existed_before=1; fi

if [ -z "$package_dir" ]; then
    package_dir=$work/package
    say "building the packages from a clean copy of the checkout"
    "$(dirname "$0")/build-package.sh" "$package_dir" >"$work/build.log" 2>&1 ||
        { tail -n 60 "$work/build.log" >&2; fail "the package build failed"; }
fi
one_of() {  # one_of <pattern>: the single file in the package folder that matches it
    # shellcheck disable=SC2206 # the pattern is meant to glob
    local files=("$package_dir"/$1)
    if [ "${#files[@]}" != 1 ] || [ ! -f "${files[0]}" ]; then fail "no single $1 in $package_dir"; fi
    echo "${files[0]}"
}
package=$(one_of 'flashkit_*.deb')
source_package=$(one_of 'flashkit_*.dsc')
changes=$(one_of 'flashkit_*.changes')
chmod 0644 "$package"
say "made $(basename "$package") and $(basename "$source_package")"

# Every error and warning fails; an override in debian/ says why it is right. The .changes file
# brings the .dsc and the .deb it lists; they are named too so none is skipped. Not as root: lintian
# wants an ordinary user.
say "linting the packages"
chmod -R a+rX "$package_dir"
runuser -u nobody -- env HOME=/nonexistent lintian --fail-on error,warning --no-cfg \
    "$changes" "$source_package" "$package" >"$work/lintian.log" 2>&1 ||
    { cat "$work/lintian.log" >&2; fail "lintian reports errors or warnings"; }

depends=$(dpkg-deb --field "$package" Depends)
for needed in adduser libcap2-bin udev qt6-qpa-plugins libqt6widgets6; do
    depends_on "$needed" || fail "Depends lacks $needed: $depends"
done

installed=1
apt-get install -y -qq --no-install-recommends "$package" >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log" >&2; fail "apt-get install of the package failed"; }

# Every line hardening-check can judge from a program must pass. The package build has proved the
# rest (debian/check-compile-flags): control flow integrity, since Debian 12's C library start
# files carry no IBT/SHSTK mark, so the linker marks no program of the release; and the helper's
# fortified functions, since the compiler proved each of its bounded calls safe and so needed none.
say "checking the hardening of the installed programs"
{
    hardening-check --nocfprotection "$binary" /usr/bin/flashkit-cli /usr/bin/flashkit-recorder-sim &&
        hardening-check --nocfprotection --nofortify "$helper"
} >"$work/hardening.log" 2>&1 ||
    { cat "$work/hardening.log" >&2; fail "a program lacks the distribution's hardening"; }

say "checking privileges, owner and mode"
expect_equal "capabilities of the window" "" "$(getcap "$binary")"
expect_equal "owner and mode of the window" "root:root 755" "$(stat -c '%U:%G %a' "$binary")"
dpkg-statoverride --list "$binary" >/dev/null && fail "the window has an owner and mode override"
expect_equal "capabilities of the helper" "$helper cap_net_bind_service,cap_net_admin=ep" \
    "$(getcap "$helper")"
expect_equal "owner and mode of the helper" "root:$group 750" "$(stat -c '%U:%G %a' "$helper")"
expect_equal "recorded override" "root $group 750 $helper" "$(dpkg-statoverride --list "$helper")"
getent group "$group" >/dev/null || fail "group $group was not created"
expect_equal "owner and mode of the helpers' record folder" "root:$group 3770" \
    "$(stat -c '%U:%G %a' /run/flashkit)"
# The helper links nothing of the window: the C and C++ libraries and libseccomp.
for name in $(objdump -p "$helper" | awk '$1 == "NEEDED" { print $2 }'); do
    [[ "$name" =~ ^lib(c|m|gcc_s|stdc\+\+|seccomp)\.so ]] || fail "the helper links $name"
done

# Every Qt, libnl, libudev and libseccomp library the programs link must come with a declared
# package.
for program in "$binary" "$helper"; do
    for name in $(objdump -p "$program" |
        awk '$1 == "NEEDED" && $2 ~ /^lib(Qt6|nl-|udev|seccomp)/ { print $2 }'); do
        library=$(ldd "$program" | awk -v name="$name" '$1 == name { print $3 }')
        owner=$(owner_of "$library" | head -n1 | cut -d: -f1)
        [ -n "$owner" ] || fail "no package owns $name"
        depends_on "$owner" || fail "Depends lacks $owner (for $name)"
    done
done

say "checking the menu entry, metainfo and icons"
desktop-file-validate /usr/share/applications/flashkit.desktop /usr/share/applications/flashkit-bench.desktop
appstreamcli validate --no-net /usr/share/metainfo/com.norvale.flashkit.metainfo.xml >/dev/null
for size in 16 22 24 32 48 64 128 256; do
    [ -f "/usr/share/icons/hicolor/${size}x${size}/apps/flashkit.png" ] || fail "no ${size}px icon"
done
[ -f /usr/share/icons/hicolor/scalable/apps/flashkit.svg ] || fail "no scalable icon"
[ -x /usr/bin/flashkit-recorder-sim ] || fail "the simulated recorder was not installed"

say "checking the terminal front end, the manual pages, --version and the completion"
for program in flashkit flashkit-cli flashkit-recorder-sim; do
    [ -x "/usr/bin/$program" ] || continue
    "/usr/bin/$program" --version | grep -qx "$program [0-9.]*" || fail "$program --version"
    [ -f "/usr/share/man/man1/$program.1.gz" ] || fail "no manual page for $program"
done
[ -x /usr/bin/flashkit-cli ] || fail "flashkit-cli was not installed"
# Like the window, it uploads through the helper.
expect_equal "capabilities of flashkit-cli" "" "$(getcap /usr/bin/flashkit-cli)"
[ -f /usr/share/bash-completion/completions/flashkit-cli ] || fail "no completion for flashkit-cli"

say "starting the window as a member of $group, from the member's home as the menu does"
useradd --system --create-home --home-dir "$work/$member" --shell /usr/sbin/nologin \
    --groups "$group" "$member"
useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$outsider"
# shellcheck disable=SC2016 # $HOME is the member's, expanded by the member's shell
runuser -u "$member" -- env -u XDG_RUNTIME_DIR -u DBUS_SESSION_BUS_ADDRESS QT_QPA_PLATFORM=offscreen \
    dbus-run-session -- sh -c 'cd "$HOME" && exec flashkit' >"$work/window.log" 2>&1 &
for _ in $(seq 100); do
    window_pid=$(pgrep -u "$member" -x flashkit || true)
    [ -n "$window_pid" ] && break
    sleep 0.2
done
[ -n "$window_pid" ] || { cat "$work/window.log" >&2; fail "flashkit did not start for a member"; }
sleep 2
kill -0 "$window_pid" 2>/dev/null || { cat "$work/window.log" >&2; fail "flashkit ended at once"; }
expect_equal "effective capabilities of the member's window" "0000000000000000" \
    "$(awk '/^CapEff:/ { print $2 }' "/proc/$window_pid/status")"
kill "$window_pid"
wait || true
window_pid=

"$(dirname "$0")/package-flash-check.sh" "$member" "$outsider"

say "checking that a non-member may not run the helper"
set +e
runuser -u "$outsider" -- timeout 10 "$helper" >"$work/outsider.log" 2>&1
outsider_status=$?
set -e
expect_equal "exit status for a non-member" 126 "$outsider_status"
grep -q "Permission denied" "$work/outsider.log" || fail "no 'Permission denied': $(cat "$work/outsider.log")"
remove_user "$member" || fail "user $member is left behind"
remove_user "$outsider" || fail "user $outsider is left behind"

say "removing the package"
dpkg -r flashkit >/dev/null
[ ! -e "$binary" ] || fail "$binary is left after removal"
[ ! -e "$helper" ] || fail "$helper is left after removal"
dpkg-statoverride --list "$helper" >/dev/null && fail "the owner and mode override is left after removal"
[ ! -e /run/flashkit ] || fail "/run/flashkit is left after removal"
getent group "$group" >/dev/null || fail "removal (not purge) deleted the group"
dpkg --purge flashkit >/dev/null
installed=0
dpkg-query -W flashkit >/dev/null 2>&1 && fail "flashkit is still known to dpkg after purge"
if [ "$group_existed_before" = 1 ]; then
    getent group "$group" >/dev/null || fail "purge deleted a group it had not created"
else
    getent group "$group" >/dev/null && fail "group $group is left after purge"
fi
[ ! -e "$group_marker" ] || fail "$group_marker is left after purge"
say "passed"
