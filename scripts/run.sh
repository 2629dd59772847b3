#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what building and running Vantrel needs (only what is missing),
# builds the two programs, and starts the window.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/setup.sh" run

# Without a display the program says what to do instead.
exec "$build/src/app/vantrel" "$@"
