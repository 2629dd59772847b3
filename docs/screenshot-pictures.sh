#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes docs/histogram.png and docs/compare.png, README's pictures, from the
# runs kept in docs/runs with the vantrel-cli of the build: the one way to
# make them, so that they show what the current painter draws. No display is
# needed and nothing is measured or sent.
#
#     bash docs/screenshot-pictures.sh [build folder, default build]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cli="${1:-$root/build}/src/cli/vantrel-cli"
runs="$root/docs/runs"
export QT_QPA_PLATFORM=offscreen

# 60 s of "Qt msleep" at 1 ms, SCHED_FIFO 99: the run README's --json and
# --plot example made.
"$cli" --from "$runs/msleep-realtime.json" --plot "$root/docs/histogram.png"
# The same clock at normal priority beside it.
"$cli" --plot "$root/docs/compare.png" --from "$runs/msleep-normal.json" \
    --compare "$runs/msleep-realtime.json"
