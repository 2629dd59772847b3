#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what Vantrel needs on Debian 12 (only what is missing), then
# configures and builds it in build/.
#
#   setup.sh run     what building and running the two programs needs; builds
#                    only them (sourced so by run.sh)
#   setup.sh [tests] that, and the test bench, the benchmarks and the package
#                    tools; builds everything (sourced so by test.sh)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build"
setup_for=${1:-tests}
if [[ $setup_for != run && $setup_for != tests ]]; then
    echo "usage: setup.sh [run|tests]" >&2
    exit 2
fi

# Package, and why it is needed: building and running the two programs.
run_packages=(
    g++                         # the compiler
    cmake                       # the build (3.25 on Debian 12)
    ninja-build                 # runs the build
    make                        # ... and the plain 'cmake -S . -B build', which writes Makefiles
    qt6-base-dev                # Qt 6: Core, Network, Gui, Widgets, Test, moc and uic
    libxkbcommon-dev            # XKB, which Qt6Gui's CMake package looks for: without it CMake warns "Could NOT find XKB"
    qt6-qpa-plugins             # Qt's display plugins: X11 (xcb); offscreen for the window's tests and vantrel-cli's pictures
    qt6-svg-dev                 # Qt Svg: the histogram picture written as SVG (vantrel-cli --plot, the window's Save Run)
    fonts-liberation            # a fixed-pitch face for the report that fontconfig gives for "Courier New"
    xvfb                        # a virtual display: 'xvfb-run' starts the window where no desktop is
    xauth                       # ... which xvfb-run needs
)

# The test bench, the benchmarks and the package's tools.
test_packages=(
    libbenchmark-dev            # Google Benchmark, for bench/
    g++-mingw-w64-x86-64-posix  # cross-builds the Windows OS layer (64-bit) in the tests
    g++-mingw-w64-i686-posix    # ... and for 32-bit Windows
    iproute2                    # 'ip': loopback in the tests' own network namespaces; the two-host test's veth pair
    util-linux                  # 'unshare': those namespaces; 'setpriv': the package test runs the installed program as another user; 'taskset': the two-host flood test pins the receiver to a CPU
    help2man                    # makes vantrel-cli's manual page from its --help at build time
    dpkg-dev                    # dpkg-shlibdeps: the Debian package's Depends, from the libraries the programs link
    file                        # ... CPack's Debian generator finds the programs to hand dpkg-shlibdeps with it
    man-db                      # 'man': the package test reads both installed manual pages
    desktop-file-utils          # desktop-file-validate: the package test checks the menu entry
    prometheus                  # the Prometheus test scrapes vantrel-cli --serve with the real server
    wine64                      # runs the Windows build in the tests (tests/windows): the OS-layer driver, both programs
    fonts-wine                  # ... Wine's own fonts, Tahoma among them: Qt's dialog font on Windows
    libxrender1                 # ... the X extensions Wine's display driver loads, for the window on Xvfb
    libxi6                      # ...
    libxrandr2                  # ...
    libxcursor1                 # ...
    libxcomposite1              # ...
    libxinerama1                # ...
    libxfixes3                  # ...
    libxxf86vm1                 # ...
    xdotool                     # drives the Windows build's window in its test
    xclip                       # ... reads its report back through the clipboard
    imagemagick                 # ... and takes its picture ('import'); docs/screenshot*.sh too
)

packages=("${run_packages[@]}")
if [[ $setup_for == tests ]]; then
    packages+=("${test_packages[@]}")
fi

source "$root/scripts/install-missing.sh"
install_missing "${packages[@]}"
# Debian's prometheus starts a server of its own (all interfaces, port
# 9090) where systemd runs; the test starts its own on loopback, so one
# installed for the test alone is stopped and left disabled.
if [[ " ${newly_installed[*]} " == *" prometheus "* && -d /run/systemd/system ]]; then
    as_root systemctl disable --now prometheus || true
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
if [[ $setup_for == run ]]; then
    cmake --build "$build" --parallel --target vantrel vantrel-cli
else
    cmake --build "$build" --parallel
fi
