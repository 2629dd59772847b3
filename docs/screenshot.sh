#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Takes docs/window.png: the window on a virtual display, "Win32 Periodic" at
# 2 ms, a few seconds after Start. Needs xdotool and imagemagick besides what
# scripts/setup.sh installs. Sends nothing: "Send UDP" stays unticked.
#
#     xvfb-run -a -s "-screen 0 613x760x24" bash docs/screenshot.sh
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# README's run command: installs what is missing, builds, starts the window.
bash "$root/scripts/run.sh" &
app=$!
trap 'kill $app 2>/dev/null' EXIT
window=$(xdotool search --sync --name "^Qt Vantrel$" | head -n 1)
# Taller than the form's 425 pixels, so that the whole table shows.
xdotool windowsize "$window" 613 760
sleep 1

# With no window manager the window sits at the top left, as the form lays it out.
xdotool mousemove 205 53 click --repeat 3 1 type 2        # Clock Rate (msec): 2
xdotool mousemove 178 81 click 1 sleep 0.5 key Down Down Return # Clock Mode: Win32 Periodic
xdotool mousemove 67 221 click 1                          # Start
sleep "${1:-5}"
import -window root "$root/docs/window.png"
