#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what Vantrel needs on Debian 12 (only what is missing), then
# configures and builds it in build/. Sourced by run.sh and test.sh.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build"

# Package, and why it is needed.
packages=(
    g++                         # the compiler
    cmake                       # the build (3.25 on Debian 12)
    ninja-build                 # runs the build
    qt6-base-dev                # Qt 6: Core, Network, Gui, Widgets, Test, moc and uic
    qt6-qpa-plugins             # Qt's display plugins: X11 (xcb), and offscreen for the window's tests
    fonts-liberation            # a fixed-pitch face for the report that fontconfig gives for "Courier New"
    xvfb                        # a virtual display: 'xvfb-run' starts the window where no desktop is
    xauth                       # ... which xvfb-run needs
    libbenchmark-dev            # Google Benchmark, for bench/
    g++-mingw-w64-x86-64-posix  # cross-builds the Windows OS layer (64-bit) in the tests
    g++-mingw-w64-i686-posix    # ... and for 32-bit Windows
    iproute2                    # 'ip': loopback in the tests' own network namespaces; the two-host test's veth pair
    util-linux                  # 'unshare': those namespaces; 'taskset': the two-host flood test pins the receiver to a CPU
)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$' ||
        missing+=("$package")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    sudo=()
    if [[ $(id -u) -ne 0 ]]; then
        sudo=(sudo)
    fi
    "${sudo[@]}" apt-get update
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --parallel
