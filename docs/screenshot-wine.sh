#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Takes docs/window-wine.png: the Windows build's window under Wine on a
# virtual display, "Win32 Periodic" at 2 ms, a few seconds after Start. Needs
# wine64, xdotool and imagemagick, and a folder laid out as docs/wine.md says.
# Sends nothing: "Send UDP" stays unticked.
#
#     xvfb-run -a -s "-screen 0 640x780x24" bash docs/screenshot-wine.sh <folder with vantrel.exe>
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VANTREL_WINE_DISPLAY=$DISPLAY bash "$root/tests/windows/run-under-wine.sh" "$1/vantrel.exe" &
app=$!
trap 'kill $app 2>/dev/null; wait $app || true' EXIT
window=$(xdotool search --sync --name "^Qt Vantrel$" | head -n 1)
sleep 2
# Wine centres the window; with no window manager it has no frame.
xdotool windowmove "$window" 0 0 windowsize "$window" 613 760
sleep 1

# Wine's Tahoma lays the form out smaller than Linux does.
xdotool mousemove 185 46 click --repeat 3 1 type 2                # Clock Rate (msec): 2
xdotool mousemove 160 72 click 1 sleep 0.5 key Down Down Return   # Clock Mode: Win32 Periodic
sleep 0.5
xdotool mousemove 60 203 click 1                                  # Start
sleep "${2:-5}"
import -window root -crop 613x760+0+0 "$root/docs/window-wine.png"
