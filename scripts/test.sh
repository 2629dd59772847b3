#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through CTest.
# Exits non-zero when a test fails or no test was built.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

cd "$build"
ctest --output-on-failure --no-tests=error "$@"
