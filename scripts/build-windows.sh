#!/usr/bin/env bash
# Cross-builds FlashKit for 64-bit Windows on Debian 12 and packs it: flashkit-cli.exe and
# flashkit.exe, both linked statically, a portable zip
# and an NSIS installer, all in DIR (default build/windows).
# Usage: scripts/build-windows.sh [DIR]   (as root, or through sudo, for the packages)
set -euo pipefail
source_dir=$(realpath "$(dirname "$0")/..")
dir=$(realpath -m "${1:-$source_dir/build/windows}")
mkdir -p "$dir"

if [ "$(id -u)" -eq 0 ]; then
    "$source_dir/scripts/install-deps.sh" --windows
fi

# SQLite's single-file source, from Debian's own source package of the release this machine
# runs, through a deb-src list of its own (the machine's apt configuration is left alone).
sqlite="$dir/sqlite"
if [ ! -f "$sqlite/sqlite3.c" ]; then
    fetch=$(mktemp -d)
    trap 'rm -rf "$fetch"' EXIT
    mkdir -p "$fetch/lists/partial" "$fetch/parts" "$fetch/source"
    for sources in /etc/apt/sources.list.d/*.sources; do
        [ -e "$sources" ] && sed 's/^Types: deb$/Types: deb-src/' "$sources" \
            >"$fetch/parts/$(basename "$sources")"
    done
    for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -e "$list" ] && sed -n 's/^deb /deb-src /p' "$list" >"$fetch/parts/$(basename "$list").list"
    done
    apt_options=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$fetch/parts"
                 -o Dir::State::Lists="$fetch/lists" -o Dir::Cache::pkgcache=
                 -o Dir::Cache::srcpkgcache= -o APT::Sandbox::User=root)
    apt-get "${apt_options[@]}" update -qq
    (cd "$fetch/source" && apt-get "${apt_options[@]}" source -qq --download-only sqlite3)
    tar -xf "$fetch"/source/sqlite3_*.orig.tar.xz -C "$fetch/source"
    mkdir -p "$fetch/source/make"
    (cd "$fetch/source/make" && ../sqlite3-*/configure --disable-tcl >configure.log 2>&1 &&
        make sqlite3.c >make.log 2>&1)
    mkdir -p "$sqlite"
    cp "$fetch/source/make/sqlite3.c" "$fetch/source/make/sqlite3.h" "$sqlite/"
fi

export CCACHE_DIR="${CCACHE_DIR:-$HOME/.ccache}"
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$source_dir" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFLASHKIT_SQLITE_DIR="$sqlite" "${launcher[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)" --target flashkit-cli flashkit flashkit_unit_tests window_driver console_run \
    netsh_standin

# The package: the programs without their debugging sections, the Windows README and the
# licence, both with Windows' line ends.
version=$(sed -n 's/^project(FlashKit VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
stage="$dir/package/FlashKit"
rm -rf "$dir/package"
mkdir -p "$stage"
for program in cli/flashkit-cli.exe app/flashkit.exe; do
    x86_64-w64-mingw32-strip -o "$stage/$(basename "$program")" "$dir/$program"
done
sed 's/$/\r/' "$source_dir/packaging/windows/README-Windows.txt" >"$stage/README-Windows.txt"
{
    sed -n '/^License: proprietary$/,$p' "$source_dir/debian/copyright"
    echo
    echo "FlashKit for Windows includes SQLite, which is in the public domain."
} | sed 's/$/\r/' >"$stage/LICENSE.txt"

zip="$dir/FlashKit-$version-windows-x64.zip"
rm -f "$zip"
(cd "$dir/package" && zip -qr "$zip" FlashKit)
makensis -V2 -DVERSION="$version" -DSTAGE="$stage" -DICON="$source_dir/app/win32/flashkit.ico" \
    -DOUTFILE="$dir/FlashKit-$version-windows-x64-setup.exe" \
    "$source_dir/packaging/windows/flashkit.nsi"
echo "Made in $dir:"
ls -1 "$dir"/*.exe "$dir"/cli/flashkit-cli.exe "$dir"/app/flashkit.exe "$zip"
