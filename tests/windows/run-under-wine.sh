#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs a Windows program under Wine, headless: no display unless
# VANTREL_WINE_DISPLAY names one (an Xvfb, for the window). The program's DLLs
# must lie beside it or on WINEPATH.
#
# usage: bash run-under-wine.sh <exe> [args...]
#        bash run-under-wine.sh --make-prefix <dir>
#        bash run-under-wine.sh --remove-prefix <dir>
#
# The prefix is VANTREL_WINE_PREFIX when that names one made by
# --make-prefix (a test run makes one and shares it: a fresh prefix takes 5 to
# 20 s), else one made for this run alone and removed after it.
#
# Wine's server makes every socket a Windows program opens, in the server's
# own network namespace; and one server serves each prefix. So any server of
# the prefix is ended first, and the program starts a new one in this
# namespace: a test that isolates its network isolates its Windows program's.
# Two runs must not share a prefix at the same time.
#
# Ctrl-C (SIGINT) is passed on to the program, which Wine hands to it as a
# console Ctrl-C; SIGTERM ends it with its server.
# Exit status: the program's own; 77 (a skip for CTest) with a one-line reason
# when the Wine it needs is missing or cannot make a prefix; 2 for bad usage.
set -uo pipefail

usage() {
    echo "usage: bash $0 <exe> [args...] | --make-prefix <dir> | --remove-prefix <dir>" >&2
    exit 2
}
skip() {
    echo "SKIP: $*"
    exit 77
}

find_server() {
    server=$(command -v wineserver || true)
    [[ -z $server && -x /usr/lib/wine/wineserver ]] && server=/usr/lib/wine/wineserver
    [[ -z $server ]] && skip "wineserver not found (Debian: apt-get install wine64)"
}

# The 64-bit loader: Debian keeps it out of PATH; other systems name it
# wine64, or (new WoW64 builds) plain wine.
find_loader64() {
    loader=$(command -v wine64 || true)
    [[ -z $loader && -x /usr/lib/wine/wine64 ]] && loader=/usr/lib/wine/wine64
    [[ -z $loader ]] && skip "wine64 not found (Debian: apt-get install wine64)"
}

# Debian's Wine keeps a prefix's server socket in a folder of its own under
# TMPDIR, named in the prefix's "wineserver" file; it goes with the prefix.
remove_prefix() {
    local name=
    [[ -r $1/wineserver ]] && name=$(<"$1/wineserver")
    if [[ $name =~ ^wine-[A-Za-z0-9]{6}$ ]]; then
        rm -rf "${TMPDIR:-/tmp}/$name"
    fi
    rm -rf "$1"
}

# Makes a prefix at $1 with Wine's own fonts in it; skips when it cannot.
make_prefix() {
    WINEPREFIX=$1 "$loader" wineboot --init >/dev/null 2>&1 ||
        skip "Wine could not make a prefix in $1"
    # Windows has "Courier New", the face the report asks for; Wine has
    # none, and its stand-in is not fixed pitch. Liberation Mono has Courier
    # New's metrics, and fontconfig gives it for that name on Linux too.
    if [[ -f /usr/share/fonts/truetype/liberation/LiberationMono-Regular.ttf ]]; then
        WINEPREFIX=$1 "$loader" reg add 'HKCU\Software\Wine\Fonts\Replacements' \
            /v 'Courier New' /d 'Liberation Mono' /f >/dev/null 2>&1
    fi
    # wineboot leaves its server running for a while, in this namespace.
    WINEPREFIX=$1 "$server" -k 2>/dev/null
    WINEPREFIX=$1 "$server" -w 2>/dev/null
    # Debian's Wine does not load its own fonts (fonts-wine) from where it
    # installs them. Without Tahoma, the face behind the dialog font Qt starts
    # from, every Qt program gets whichever family the host lists first, which
    # can be one that leaves line edits blank. Windows keeps fonts in
    # C:\windows\Fonts.
    local fonts=(/usr/share/wine/fonts/*.ttf)
    if [[ -e ${fonts[0]} ]]; then
        cp "${fonts[@]}" "$1/drive_c/windows/Fonts/"
    fi
}

export WINEDEBUG=${WINEDEBUG:--all}
# Without the .NET and HTML runtimes' DLLs a fresh prefix would offer to
# download them, which on a display waits for a click.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree=;mshtml=}

[[ $# -ge 1 ]] || usage
if [[ $1 == --remove-prefix ]]; then
    [[ $# -eq 2 ]] || usage
    remove_prefix "$2"
    exit 0
fi
if [[ $1 == --make-prefix ]]; then
    [[ $# -eq 2 ]] || usage
    unset DISPLAY WAYLAND_DISPLAY
    find_loader64
    find_server
    remove_prefix "$2"
    mkdir -p "$2"
    make_prefix "$(cd "$2" && pwd)"
    echo "Wine prefix made in $2"
    exit 0
fi

exe=$1
shift
[[ -f $exe ]] || {
    echo "run-under-wine: no such file: $exe" >&2
    exit 2
}

# The PE header's machine field says which Wine can load the program.
pe_offset=$(od -An -tu4 -j60 -N4 "$exe" | tr -d ' ')
machine=$(od -An -tx2 -j$((pe_offset + 4)) -N2 "$exe" 2>/dev/null | tr -d ' ')
case $machine in
    8664)
        find_loader64
        ;;
    014c)
        find_loader64 # makes the prefix
        loader32=$(command -v wine32 || true)
        [[ -z $loader32 && -x /usr/lib/wine/wine ]] && loader32=/usr/lib/wine/wine
        [[ -z $loader32 ]] &&
            skip "32-bit Wine not found (Debian: dpkg --add-architecture i386; apt-get update; apt-get install wine32:i386)"
        ;;
    *)
        echo "run-under-wine: $exe is not a Windows x86_64 or i386 program" >&2
        exit 2
        ;;
esac
find_server

own_prefix=
if [[ -n ${VANTREL_WINE_PREFIX:-} && -f $VANTREL_WINE_PREFIX/system.reg ]]; then
    export WINEPREFIX=$VANTREL_WINE_PREFIX
else
    own_prefix=$(mktemp -d "${TMPDIR:-/tmp}/wine-prefix.XXXXXX")
    export WINEPREFIX=$own_prefix
    (unset DISPLAY WAYLAND_DISPLAY && make_prefix "$own_prefix") || exit $?
fi

if [[ -n ${VANTREL_WINE_DISPLAY:-} ]]; then
    export DISPLAY=$VANTREL_WINE_DISPLAY
else
    unset DISPLAY WAYLAND_DISPLAY
fi

# Ends only this prefix's server and the programs it still runs.
cleanup() {
    "$server" -k 2>/dev/null
    "$server" -w 2>/dev/null
    [[ -z $own_prefix ]] || remove_prefix "$own_prefix"
}
trap cleanup EXIT
"$server" -k 2>/dev/null
"$server" -w 2>/dev/null

[[ $machine == 014c ]] && loader=$loader32
# In the background so that a signal to this script is taken at once (bash
# defers traps until a foreground child ends).
"$loader" "$exe" "$@" &
child=$!
interrupted=0
trap 'interrupted=1; kill -INT "$child" 2>/dev/null' INT
trap 'exit 143' TERM
while :; do
    interrupted=0
    wait "$child"
    status=$?
    ((interrupted)) || break # else the wait was cut short by the Ctrl-C
done
exit "$status"
