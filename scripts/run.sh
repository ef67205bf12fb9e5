#!/usr/bin/env bash
# Installs what FlashKit needs, builds and installs its Debian package, and starts the window as
# the user who ran sudo, now a member of the flashkit group: the window holds no privilege, the
# package's network helper holds the two an upload needs. Run as root by root itself, there is no
# such user and the window runs as root.
# Usage: sudo scripts/run.sh   (as root, where sudo is not installed: scripts/run.sh)
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
    exec sudo --preserve-env=DISPLAY,XAUTHORITY,WAYLAND_DISPLAY,XDG_RUNTIME_DIR "$0" "$@"
fi
repo=$(realpath "$(dirname "$0")/..")
cd "$repo"
user=${SUDO_USER:-}
if [ "$user" = root ] || ! id "$user" >/dev/null 2>&1; then user=''; fi

scripts/install-deps.sh --package
# Built by the checkout's owner, so the clone holds no files only root may remove.
owner=$(stat -c %U "$repo")
echo "run.sh: building the package as $owner (several minutes)"
package_dir=$repo/build/package
runuser -u "$owner" -- scripts/build-package.sh "$package_dir"
package=$(find "$package_dir" -maxdepth 1 -name 'flashkit_*.deb' | head -n1)
# --reinstall: a rebuild of the same version still replaces what is installed.
apt-get install -y -qq --reinstall --no-install-recommends "$package"

if [ -z "$user" ]; then
    echo "run.sh: started by root itself, not through sudo: there is no user to start the window" \
        "as, so it runs as root, holding every privilege itself."
    exec /usr/bin/flashkit
fi
adduser --quiet "$user" flashkit
echo "run.sh: $user is in the flashkit group: in effect for the window started now, and for" \
    "FlashKit from the menu after $user next logs in."
# runuser reads the groups afresh, the new one included, and gives the user's own HOME; the
# display variables sudo kept are passed on, and the user's runtime folder is found again.
runtime_dir=/run/user/$(id -u "$user")
if [ -d "$runtime_dir" ]; then export XDG_RUNTIME_DIR=$runtime_dir; else unset XDG_RUNTIME_DIR; fi
exec runuser -u "$user" -- /usr/bin/flashkit
