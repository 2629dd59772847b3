#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Takes docs/window-wine.png: the Windows build's window under Wine on a
# virtual display, "Win32 Periodic" at 2 ms, a few seconds after Start, the
# size of docs/window.png. Needs what scripts/setup.sh installs and a Windows
# build (bash scripts/build-windows.sh). Sends nothing: "Send UDP" stays
# unticked; its network namespace keeps port 1667 its own.
#
#     unshare --net bash docs/screenshot-wine.sh [folder with vantrel.exe] [seconds]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
folder=${1:-$root/build-win64/vantrel}
ip link set lo up 2>/dev/null || true

# The display: Xvfb picks a free one and names it on the descriptor given.
# Taller than the picture: Wine keeps a window off the screen's last rows.
exec {numbers}< <(exec Xvfb -displayfd 1 -screen 0 640x800x24 -nolisten tcp)
xvfb=$!
read -r -u "$numbers" number
export DISPLAY=:$number
VANTREL_WINE_DISPLAY=$DISPLAY bash "$root/tests/windows/run-under-wine.sh" "$folder/vantrel.exe" &
app=$!
trap 'kill $app 2>/dev/null; wait $app 2>/dev/null || true; kill $xvfb' EXIT
window=$(xdotool search --sync --name "^Qt Vantrel$" | head -n 1)
sleep 2
# Wine centres the window; with no window manager it has no frame.
xdotool windowmove "$window" 0 0 windowsize "$window" 613 760
sleep 1

# By keyboard, in the form's tab order: a click on the form's margin leaves
# the focus on the report; then rate, process, thread, mode, Start.
xdotool mousemove 20 10 click 1
xdotool key Tab type 2                     # Clock Rate (msec): 2
xdotool key Tab Tab Tab type W             # Clock Mode: Win32 Periodic
xdotool key Tab space                      # Start
sleep "${2:-5}"
import -window root -crop 613x760+0+0 "$root/docs/window-wine.png"
