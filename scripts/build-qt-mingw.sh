#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds Qt 6.4.2 (qtbase: Core, Gui, Widgets, Network, Test, the Windows
# platform plugin and styles) for 64- or 32-bit Windows with Debian's
# mingw-w64 compiler, from Debian's own qt6-base source package, and packs it
# as a tarball that scripts/build-windows.sh unpacks. Debian 12 ships no Qt for
# mingw-w64; this is how one is made. About half an hour on two cores (64-bit),
# run at the lowest priority.
#
# usage: bash scripts/build-qt-mingw.sh [x86_64|i686] [OUTDIR]
#        -> OUTDIR/qt6.4.2-mingw64.tar.xz or OUTDIR/qt6.4.2-mingw32.tar.xz
#
# OUTDIR defaults to build-qt/ in the repository, which also holds the source
# and the build. Needs no root once the packages below are installed. Qt's
# CMake files find their own folder, so the result can be unpacked anywhere.
# Environment: JOBS (default 2), QT_SOURCE_DIR (a folder that already holds
# qt6-base_6.4.2+dfsg.orig.tar.xz, instead of fetching it).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/mingw-target.sh"
source "$root/scripts/install-missing.sh"
mingw_target "${1:-x86_64}" "[x86_64|i686] [OUTDIR]"
out=$(mkdir -p "${2:-$root/build-qt}" && cd "${2:-$root/build-qt}" && pwd)
work=$out
prefix=$work/$qt_name
build=$work/build-$arch
version=6.4.2+dfsg-10
orig=qt6-base_6.4.2+dfsg.orig.tar.xz
jobs=${JOBS:-2}

# Package, and why it is needed.
packages=(
    "$compiler_package" # the cross compiler for this architecture
    qt6-base-dev        # the host Qt of the same version: Qt's build uses its CMake files
    qt6-base-dev-tools  # ... and its moc, uic and rcc
    cmake ninja-build   # the build
    xz-utils            # the tarball
    dpkg-dev            # 'apt-get source' unpacks with it
)
install_missing "${packages[@]}"

# Debian's source of the host Qt's version; the orig tarball is upstream's
# qtbase with the parts Debian cannot ship taken out.
src=$work/qtbase-everywhere-src-6.4.2
if [[ ! -d $src ]]; then
    if [[ -n ${QT_SOURCE_DIR:-} && -f $QT_SOURCE_DIR/$orig ]]; then
        cp "$QT_SOURCE_DIR/$orig" "$work/"
    elif [[ ! -f $work/$orig ]] &&
        ! (cd "$work" && apt-get source --download-only "qt6-base=$version"); then
        cat >&2 <<EOF
Could not fetch Debian's qt6-base source package ($version).
'apt-get source' needs deb-src lines: in /etc/apt/sources.list.d/debian.sources
write 'Types: deb deb-src', run 'apt-get update', and run this again; or put
$orig in a folder and name it in QT_SOURCE_DIR.
EOF
        exit 1
    fi
    tar -xJf "$work/$orig" -C "$work"
fi

# Left out: what the programs do not use, and tablet events, whose WinTab
# header Debian's source does not carry. Release, shared: the DLLs beside the
# program. The toolchain file's path is recorded in Qt's own one; a project
# always passes its own as QT_CHAINLOAD_TOOLCHAIN_FILE.
cmake -S "$src" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-$arch.cmake" \
    "${qt_host_path_flags[@]}" \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release \
    -DQT_QMAKE_TARGET_MKSPEC=win32-g++ -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
    -DBUILD_SHARED_LIBS=ON \
    -DFEATURE_opengl=OFF -DFEATURE_dbus=OFF -DFEATURE_sql=OFF -DFEATURE_printsupport=OFF \
    -DFEATURE_concurrent=OFF -DFEATURE_openssl=OFF -DFEATURE_vulkan=OFF -DFEATURE_xml=OFF \
    -DFEATURE_pkg_config=OFF -DFEATURE_tabletevent=OFF -DINPUT_opengl=no
nice -n 19 cmake --build "$build" --parallel "$jobs"
rm -rf "$prefix"
cmake --install "$build"
tar -C "$work" -cJf "$out/$qt_name.tar.xz" "$qt_name"
echo "$out/$qt_name.tar.xz"
