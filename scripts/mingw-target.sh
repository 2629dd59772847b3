# SPDX-License-Identifier: MIT
# shellcheck shell=bash disable=SC2034 # the variables are for the scripts that source this
# What build-qt-mingw.sh and build-windows.sh agree on about a Windows
# architecture and the Qt built for it. Sourced by both.

# mingw_target ARCH USAGE: for x86_64 or i686, sets arch, bits,
# compiler_package (the Debian package of its cross compiler) and qt_name;
# for anything else prints "usage: bash SCRIPT USAGE" and exits with 2.
mingw_target() {
    arch=$1
    case $arch in
        x86_64) bits=64 compiler_package=g++-mingw-w64-x86-64-posix ;;
        i686) bits=32 compiler_package=g++-mingw-w64-i686-posix ;;
        *)
            echo "usage: bash $0 $2" >&2
            exit 2
            ;;
    esac
    # The Qt's tarball, qt_name.tar.xz, holds the folder qt_name: the one
    # script makes it, the other looks for it under this name.
    qt_name=qt6.4.2-mingw$bits
}

# Qt for Windows runs the host's Qt tools (moc, uic, rcc) of the same
# version, found through the host Qt's CMake files.
qt_host_cmake_dir=/usr/lib/x86_64-linux-gnu/cmake
qt_host_path_flags=(-DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR="$qt_host_cmake_dir")
