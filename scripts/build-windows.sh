#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds Vantrel for Windows on Debian with the mingw-w64 cross compiler and a
# Qt built for it, and lays the programs out in one folder that runs as it is
# (on Windows, or here under Wine): vantrel.exe, vantrel-cli.exe, the Qt DLLs,
# platforms/qwindows.dll, styles/qwindowsvistastyle.dll and the compiler's
# runtime DLLs. The layout is declared once, in cmake/WindowsRuntime.cmake.
#
# usage: bash scripts/build-windows.sh [x86_64|i686] [BUILD_DIR]
#        -> BUILD_DIR/vantrel/ (BUILD_DIR defaults to build-win64 or build-win32)
#
# The Qt comes as a tarball (qt6.4.2-mingw64.tar.xz, or -mingw32 for i686),
# looked for in VANTREL_QT_TARBALL, build-qt/ (where build-qt-mingw.sh makes
# one) and ../shared/toolchains/ beside the repository, and unpacked into
# BUILD_DIR once. Needs no root. Exit status 77 (a skip for CTest) when the
# compiler or the Qt is missing, with what to do about it.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/mingw-target.sh"
mingw_target "${1:-x86_64}" "[x86_64|i686] [BUILD_DIR]"
build=${2:-$root/build-win$bits}
mkdir -p "$build"
build=$(cd "$build" && pwd)
qt=$build/$qt_name
out=$build/vantrel

if ! command -v "$arch-w64-mingw32-g++-posix" >/dev/null; then
    echo "No $arch-w64-mingw32-g++-posix: install the Debian package $compiler_package" \
        "(bash scripts/setup.sh does)." >&2
    exit 77
fi
# moc, uic and rcc come from the host's Qt of the same version.
if [[ ! -f $qt_host_cmake_dir/Qt6CoreTools/Qt6CoreToolsConfig.cmake ]]; then
    echo "No host Qt tools: install qt6-base-dev (bash scripts/setup.sh does)." >&2
    exit 77
fi

if [[ ! -f $qt/lib/cmake/Qt6/qt.toolchain.cmake ]]; then
    tarball=
    for candidate in "${VANTREL_QT_TARBALL:-}" "$root/build-qt/$qt_name.tar.xz" \
        "$root/../shared/toolchains/$qt_name.tar.xz"; do
        if [[ -n $candidate && -f $candidate ]]; then
            tarball=$candidate
            break
        fi
    done
    if [[ -z $tarball ]]; then
        cat >&2 <<MSG
No Qt for $arch Windows: $qt_name.tar.xz is neither in VANTREL_QT_TARBALL,
nor in $root/build-qt/, nor in ../shared/toolchains/ beside the repository.
Debian has no Qt for mingw-w64; make one from Debian's own Qt source (half
an hour to an hour on two cores; README says what it needs):
    bash scripts/build-qt-mingw.sh $arch
then run this again.
MSG
        exit 77
    fi
    echo "Unpacking $tarball into $build"
    rm -rf "$qt"
    tar -xJf "$tarball" -C "$build"
fi

# Qt's toolchain file finds its own folder and chains to ours: the path of
# the one Qt was built with is recorded inside, and is not here.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$qt/lib/cmake/Qt6/qt.toolchain.cmake" \
    -DQT_CHAINLOAD_TOOLCHAIN_FILE="$root/cmake/mingw-w64-$arch.cmake" \
    "${qt_host_path_flags[@]}" \
    -DVANTREL_BUILD_TESTS=OFF -DVANTREL_BUILD_BENCH=OFF
nice cmake --build "$build" --parallel "${JOBS:-2}"
rm -rf "$out"
cmake --install "$build" --prefix "$out" --strip
echo "Windows ($arch) build laid out in $out"
