#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds, and runs every test through CTest twice:
# in build/, and in build-asan/ with AddressSanitizer (LeakSanitizer with it)
# and UndefinedBehaviorSanitizer. Exits non-zero when a test fails or no test
# was built. Arguments go to both ctest runs.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

(cd "$build" && ctest --output-on-failure --no-tests=error "$@")

asan="$root/build-asan"
cmake -S "$root" -B "$asan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVANTREL_SANITIZE=address,undefined -DVANTREL_BUILD_BENCH=OFF
cmake --build "$asan" --parallel
(cd "$asan" && ctest --output-on-failure --no-tests=error "$@")
