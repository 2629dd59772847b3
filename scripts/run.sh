#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds, and starts Vantrel.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

# Without a display the program says what to do instead.
exec "$build/src/app/vantrel" "$@"
