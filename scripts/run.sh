#!/usr/bin/env bash
# Installs what is missing, builds, and starts Vantrel.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

if [[ -x "$build/src/app/vantrel" ]]; then
    exec "$build/src/app/vantrel" "$@"
fi
echo
echo "Built the measurement engine and its OS layer. Vantrel has no window yet,"
echo "so there is nothing to start: run 'bash scripts/test.sh' to see the engine"
echo "measure, or 'build/bench/bench_tick' for the cost of one tick."
