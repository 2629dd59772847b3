#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs a Windows program under Wine in a prefix made for this run alone and
# removed after it, so no run sees what an earlier one left. Headless: no
# display unless VANTREL_WINE_DISPLAY names one (an Xvfb, for the window).
# The program's DLLs must lie beside it or on WINEPATH.
#
# usage: bash run-under-wine.sh <exe> [args...]
# Exit status: the program's own; 77 (a skip for CTest) with a one-line reason
# when the Wine it needs is missing or cannot make a prefix; 2 for bad usage.
set -uo pipefail

if [[ $# -lt 1 ]]; then
    echo "usage: bash $0 <exe> [args...]" >&2
    exit 2
fi
exe=$1
shift
if [[ ! -f $exe ]]; then
    echo "run-under-wine: no such file: $exe" >&2
    exit 2
fi

skip() {
    echo "SKIP: $*"
    exit 77
}

# The PE header's machine field says which Wine can load the program.
pe_offset=$(od -An -tu4 -j60 -N4 "$exe" | tr -d ' ')
machine=$(od -An -tx2 -j$((pe_offset + 4)) -N2 "$exe" 2>/dev/null | tr -d ' ')
case $machine in
    8664)
        # Debian keeps the 64-bit loader out of PATH; other systems name it
        # wine64, or (new WoW64 builds) plain wine.
        loader=$(command -v wine64 || true)
        [[ -z $loader && -x /usr/lib/wine/wine64 ]] && loader=/usr/lib/wine/wine64
        [[ -z $loader ]] && skip "wine64 not found (Debian: apt-get install wine64)"
        ;;
    014c)
        loader=$(command -v wine32 || true)
        [[ -z $loader && -x /usr/lib/wine/wine ]] && loader=/usr/lib/wine/wine
        [[ -z $loader ]] &&
            skip "32-bit Wine not found (Debian: dpkg --add-architecture i386; apt-get install wine32:i386)"
        ;;
    *)
        echo "run-under-wine: $exe is not a Windows x86_64 or i386 program" >&2
        exit 2
        ;;
esac
server=$(command -v wineserver || true)
[[ -z $server && -x /usr/lib/wine/wineserver ]] && server=/usr/lib/wine/wineserver
[[ -z $server ]] && skip "wineserver not found"

prefix=$(mktemp -d "${TMPDIR:-/tmp}/wine-prefix.XXXXXX")
export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
cleanup() {
    # Ends only this prefix's server and the programs it still runs.
    "$server" -k 2>/dev/null
    rm -rf "$prefix"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if [[ -n ${VANTREL_WINE_DISPLAY:-} ]]; then
    export DISPLAY=$VANTREL_WINE_DISPLAY
else
    unset DISPLAY WAYLAND_DISPLAY
fi

# Without the .NET and HTML runtimes' DLLs a fresh prefix would offer to
# download them, which on a display waits for a click.
if ! WINEDLLOVERRIDES="mscoree=;mshtml=" "$loader" wineboot --init >/dev/null 2>&1; then
    skip "Wine could not make a prefix in $prefix"
fi
# Debian's Wine does not load its own fonts (fonts-wine) from where it
# installs them. Without Tahoma, the face behind the dialog font Qt starts
# from, every Qt program gets whichever family the host lists first, which can
# be one that leaves line edits blank. Windows keeps fonts in C:\windows\Fonts.
wine_fonts=(/usr/share/wine/fonts/*.ttf)
if [[ -e ${wine_fonts[0]} ]]; then
    cp "${wine_fonts[@]}" "$prefix/drive_c/windows/Fonts/"
fi

# In the background so that a signal to this script is taken at once (bash
# defers traps until a foreground child ends); the exit trap then ends the
# program with its prefix.
"$loader" "$exe" "$@" &
wait $!
