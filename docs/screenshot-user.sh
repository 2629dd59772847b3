#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Takes docs/window-user.png: the window as an ordinary user (nobody, no
# capabilities) sees it a few seconds after Start with the form's defaults,
# the status bar saying what the scheduler did not grant. Run as root after
# bash scripts/setup.sh; needs xdotool and imagemagick besides what setup.sh
# installs. Its own virtual display has no access control, so that nobody
# can reach it; nothing else is started on it.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
display=:91
Xvfb "$display" -screen 0 613x760x24 -nolisten tcp &
server=$!
trap 'kill $app $server 2>/dev/null' EXIT
export DISPLAY=$display
sleep 1
setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all \
    env HOME=/tmp "$root/build/src/app/vantrel" &
app=$!
window=$(xdotool search --sync --name "^Qt Vantrel$" | head -n 1)
xdotool windowsize "$window" 613 760
sleep 1
xdotool mousemove 67 221 click 1 # Start, with the defaults
sleep "${1:-4}"
import -window root "$root/docs/window-user.png"
