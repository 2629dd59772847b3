#!/usr/bin/env bash
# Proves the Windows OS layer compiles and links: cross-builds it with a small
# driver for 64- and 32-bit Windows using Debian's mingw-w64 toolchains, then
# checks the executables import the Win32 and winmm calls the layer makes.
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

sources=(
    src/platform/platform.cpp
    src/platform/platform_windows.cpp
    tests/windows/driver.cpp
)
flags=(-std=c++17 -O2 -Wall -Wextra -Wpedantic -Werror "-I$repo/src")
# -static folds libstdc++, libgcc and winpthreads in, so the .exe needs only
# DLLs every Windows has.
linkflags=(-static)
libs=(-lwinmm)

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
    GetPriorityClass GetThreadPriority SetConsoleCtrlHandler CreateEventW SetEvent
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

    mkdir -p "$objdir"
    rm -f "$exe" "$objdir"/*.o
    objects=()
    compiled=1
    for source in "${sources[@]}"; do
        object=$objdir/$(basename "${source%.cpp}").o
        echo "+ $cxx ${flags[*]} -c $repo/$source -o $object"
        if ! "$cxx" "${flags[@]}" -c "$repo/$source" -o "$object"; then
            fail "$arch: compiling $source"
            compiled=0
        fi
        objects+=("$object")
    done
    if [[ $compiled -eq 0 ]]; then
        continue
    fi

    echo "+ $cxx ${linkflags[*]} -o $exe ${objects[*]} ${libs[*]}"
    if ! "$cxx" "${linkflags[@]}" -o "$exe" "${objects[@]}" "${libs[@]}"; then
        fail "$arch: linking $exe"
        continue
    fi
    echo "built $exe ($(stat -c %s "$exe") bytes)"

    # On i686 the import symbols carry the stdcall decoration: __imp__Name@N.
    layer_refs=$("$nm" -u "$objdir/platform_windows.o")
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
