#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Proves the Windows OS layer compiles and links: cross-builds it with a small
# driver for 64- and 32-bit Windows, through the project's own CMake
# (VANTREL_OS_LAYER_ONLY) and its mingw-w64 toolchain files, then checks the
# executables import the Win32 and winmm calls the layer makes.
#
# usage: bash cross-build.sh <repo-src-dir> <out-dir>
set -euo pipefail

if [[ $# -ne 2 ]]; then
    echo "usage: bash $0 <repo-src-dir> <out-dir>" >&2
    exit 2
fi

repo=$(cd "$1" && pwd)
mkdir -p "$2"
out=$(cd "$2" && pwd)

# What the executables must import, as "DLL function".
expected_imports=(
    "KERNEL32.DLL QueryPerformanceCounter"
    "KERNEL32.DLL CreateWaitableTimerW"
    "KERNEL32.DLL SetWaitableTimer"
    "KERNEL32.DLL WaitForSingleObject"
    "KERNEL32.DLL SetPriorityClass"
    "KERNEL32.DLL SetThreadPriority"
    "WINMM.DLL timeBeginPeriod"
    "WINMM.DLL timeEndPeriod"
)
# The static runtime imports some of these itself (WaitForSingleObject, for
# one), so the exe alone cannot show the layer calls them; its own object is
# checked too: every call it makes must be an import reference there.
layer_calls=(
    QueryPerformanceFrequency QueryPerformanceCounter
    CreateWaitableTimerW SetWaitableTimer WaitForSingleObject CloseHandle Sleep
    SetPriorityClass GetCurrentProcess SetThreadPriority GetCurrentThread
    GetPriorityClass GetThreadPriority GetThreadTimes SetConsoleCtrlHandler CreateEventW SetEvent
    GetModuleHandleW GetProcAddress GetSystemInfo
    timeBeginPeriod timeEndPeriod
)

# Every Windows toolchain piece needed for one target, and the Debian package
# that provides it.
tool_package() {
    case "$1" in
        x86_64-w64-mingw32-g++-posix) echo g++-mingw-w64-x86-64-posix ;;
        i686-w64-mingw32-g++-posix) echo g++-mingw-w64-i686-posix ;;
        x86_64-w64-mingw32-*) echo binutils-mingw-w64-x86-64 ;;
        i686-w64-mingw32-*) echo binutils-mingw-w64-i686 ;;
    esac
}

# Prints "DLL function" for every import of a PE file, DLL names upper-cased
# (the import table keeps whatever case the import library used).
list_imports() {
    "$1" -p "$2" | awk '
        /^[[:space:]]*DLL Name:/ { dll = toupper($3); next }
        /^[[:space:]]*$/ { dll = "" ; next }
        dll != "" && $1 ~ /^[0-9a-fA-F]+$/ && NF >= 3 && $2 ~ /^[0-9]+$/ { print dll, $3 }
    '
}

failed=0
fail() {
    echo "FAIL: $*" >&2
    failed=1
}

for arch in x86_64 i686; do
    cxx=$arch-w64-mingw32-g++-posix
    objdump=$arch-w64-mingw32-objdump
    nm=$arch-w64-mingw32-nm
    exe=$out/os-driver-$arch.exe
    objdir=$out/obj-$arch

    echo "== $arch"
    missing=0
    for tool in "$cxx" "$objdump" "$nm"; do
        if ! command -v "$tool" >/dev/null; then
            echo "FAIL: $tool not found; install the Debian package $(tool_package "$tool")" >&2
            missing=1
        fi
    done
    if [[ $missing -ne 0 ]]; then
        failed=1
        continue
    fi
    echo "compiler: $(command -v "$cxx") ($("$cxx" -dumpversion))"

    echo "+ cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-$arch.cmake -DVANTREL_OS_LAYER_ONLY=ON"
    if ! cmake -S "$repo" -B "$objdir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-$arch.cmake" \
        -DVANTREL_OS_LAYER_ONLY=ON >"$objdir.log" 2>&1 ||
        ! cmake --build "$objdir" >>"$objdir.log" 2>&1; then
        cat "$objdir.log" >&2
        fail "$arch: building the driver"
        continue
    fi
    cp "$objdir/tests/windows/os-driver.exe" "$exe"
    echo "built $exe ($(stat -c %s "$exe") bytes)"
    layer_object=$(find "$objdir/src/platform" -name 'platform_windows.cpp.obj' | head -n 1)

    # On i686 the import symbols carry the stdcall decoration: __imp__Name@N.
    layer_refs=$("$nm" -u "$layer_object")
    for name in "${layer_calls[@]}"; do
        if ! grep -Eq "^[[:space:]]*U __imp__?${name}(@[0-9]+)?$" <<<"$layer_refs"; then
            fail "$arch: platform_windows.o does not call $name"
        fi
    done
    echo "platform_windows.o references all ${#layer_calls[@]} expected imports"

    imports=$(list_imports "$objdump" "$exe")
    if [[ -z $imports ]]; then
        fail "$arch: no import table read from $exe"
        continue
    fi
    for entry in "${expected_imports[@]}"; do
        if grep -qxF "$entry" <<<"$imports"; then
            echo "import ok: $entry"
        else
            fail "$arch: $exe does not import ${entry#* } from ${entry%% *}"
        fi
    done

    dlls=$(cut -d' ' -f1 <<<"$imports" | sort -u | tr '\n' ' ')
    echo "DLLs: $dlls"
    # -static should leave no MinGW runtime DLL behind.
    for dll in $dlls; do
        if [[ $dll == LIB*.DLL ]]; then
            fail "$arch: $exe still needs $dll"
        fi
    done
done

if [[ $failed -ne 0 ]]; then
    echo "cross-build: FAILED" >&2
    exit 1
fi
echo "cross-build: both drivers built and import what the layer calls"
