#!/usr/bin/env bash
# Installs everything FlashKit needs to build, run and test on Debian 12.
# Usage: scripts/install-deps.sh [--run|--package|--windows|--test]   (as root, or through sudo)
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then exec sudo -E "$0" "$@"; fi
export DEBIAN_FRONTEND=noninteractive
runtime=(qt6-base-dev qt6-multimedia-dev libnl-route-3-dev libnl-3-dev libudev-dev libseccomp-dev
         libsqlite3-dev libcli11-dev nlohmann-json3-dev libssl-dev
         cmake g++ make pkg-config libcap2-bin iproute2 fonts-liberation2)
testing=(libgtest-dev libgmock-dev clang libclang-rt-14-dev xvfb xauth
         qt6-qpa-plugins tftp-hpa curl procps xdotool imagemagick
         dbus-x11 at-spi2-core gir1.2-atspi-2.0 python3 python3-gi)
# The package's own build dependencies come from debian/control; these build, check and lint it.
packaging=(build-essential dpkg-dev debhelper git xz-utils lintian devscripts desktop-file-utils
           appstream)
# The Windows build (scripts/build-windows.sh): the cross compiler, wine to run what it makes,
# tclsh for SQLite's single-file source, and the zip and the installer.
windows=(g++-mingw-w64-x86-64-posix wine wine64 tcl nsis zip xz-utils)
pkgs=("${runtime[@]}")
if [ "${1:-}" = "--windows" ]; then pkgs=("${windows[@]}" cmake make); fi
if [ "${1:-}" = "--package" ]; then pkgs+=("${packaging[@]}"); fi
if [ "${1:-}" = "--test" ]; then pkgs+=("${testing[@]}" "${packaging[@]}" "${windows[@]}"); fi
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${pkgs[@]}"
if [ "${1:-}" = "--package" ] || [ "${1:-}" = "--test" ]; then
    apt-get build-dep -y -qq --no-install-recommends "$(realpath "$(dirname "$0")/..")"
fi
