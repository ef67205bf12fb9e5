#!/usr/bin/env bash
# Builds the Debian source and binary packages from a clean copy of the checkout: the files git
# tracks, as they stand in the working tree, so stray build trees never reach the package. The
# upstream tarball is that copy without debian/.
# Usage: scripts/build-package.sh [output-dir]   (default: build/package; the build dependencies
# come from scripts/install-deps.sh --package)
set -euo pipefail
repo=$(realpath "$(dirname "$0")/..")
out=$(realpath -m "${1:-$repo/build/package}")
cd "$repo"
version=$(dpkg-parsechangelog -S Version)
upstream=${version%-*}
source=flashkit-$upstream

# A clean tree gives HEAD itself, so two builds of one commit start from the same tarball.
# Run through sudo, git would refuse a checkout its caller owns.
git() { command git -c safe.directory="$repo" "$@"; }
# Files that were only touched leave nothing to stash, yet it ends with status 1 then.
status=0
tree=$(git stash create) || status=$?
[ "$status" -le 1 ] || exit "$status"
tree=${tree:-HEAD}
work=$(mktemp -d /tmp/flashkit-build-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
git archive --format=tar --prefix="$source/" "$tree" -- . ':(exclude)debian' |
    xz -T1 >"$work/flashkit_$upstream.orig.tar.xz"
git archive --format=tar --prefix="$source/" "$tree" | tar -x -C "$work"

(cd "$work/$source" && dpkg-buildpackage -us -uc -j"$(nproc)")
mkdir -p "$out"
rm -f "$out"/flashkit*
for file in "$work"/flashkit*; do
    [ -f "$file" ] && mv "$file" "$out/"
done
echo "build-package: $(cd "$out" && echo flashkit*)"
