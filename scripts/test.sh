#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds, and runs every test through CTest: in
# build/; in build-asan/ with AddressSanitizer (LeakSanitizer with it) and
# UndefinedBehaviorSanitizer; and, when run as root, the tests of priorities
# and of the window once more as an ordinary user. Exits non-zero when a test
# fails or no test was built. Arguments go to every ctest run.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/setup.sh" tests

# The scheduler trace reads its tracepoints' formats from tracefs, which a
# desktop's systemd mounts at boot but a bare machine may not: as root,
# mount it, so that the trace is tested rather than skipped.
if [[ $(id -u) -eq 0 && -d /sys/kernel/tracing ]] && ! mountpoint -q /sys/kernel/tracing; then
    mount -t tracefs nodev /sys/kernel/tracing ||
        echo "tracefs could not be mounted: the trace's tests will skip"
fi

# CTest counts a test that skipped some of its cases as passed; say which
# cases were skipped, and why.
run_ctest() {
    local status=0
    ctest --output-on-failure --no-tests=error "$@" || status=$?
    grep -h '^SKIP   :' Testing/Temporary/LastTest.log 2>/dev/null | sed 's/^/  skipped: /' || true
    return "$status"
}

(cd "$build" && run_ctest "$@")

asan="$root/build-asan"
cmake -S "$root" -B "$asan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVANTREL_SANITIZE=address,undefined -DVANTREL_BUILD_BENCH=OFF
cmake --build "$asan" --parallel
(cd "$asan" && run_ctest "$@")

# An ordinary user (nobody, no capabilities) is granted less than root. It
# must reach the build and write CTest's logs, so this pass builds, from a
# copy of the sources, in a folder of its own under /tmp.
if [[ $(id -u) -ne 0 ]]; then
    echo "Running as $(id -un): the tests above already ran without privileges."
    exit 0
fi
user_root=$(mktemp -d /tmp/vantrel-nobody.XXXXXX)
trap 'rm -rf "$user_root"' EXIT
chmod 755 "$user_root"
tar -C "$root" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$user_root" -xf -
cmake -S "$user_root" -B "$user_root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVANTREL_BUILD_BENCH=OFF
cmake --build "$user_root/build" --parallel --target tst_platform tst_window tst_cli vantrel-cli
chown -R nobody:nogroup "$user_root"
echo "As nobody, without capabilities: the tests of priorities and of the window"
(cd "$user_root/build" &&
    setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all \
        env HOME="$user_root" bash -c "$(declare -f run_ctest)"'; run_ctest "$@"' run_ctest \
        -R '^(platform|window|cli)$' "$@")
