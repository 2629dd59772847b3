#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs a test inside a network namespace of its own with only loopback up, so
# nothing the test sends can reach a real network, whatever address it names.
# Exits 77 (a skip for CTest) where no namespace can be made.
set -eu

if unshare --net true 2>/dev/null; then
    isolate="unshare --net"
elif unshare --net --map-root-user true 2>/dev/null; then
    isolate="unshare --net --map-root-user"
else
    echo "SKIP: cannot create a network namespace here (unshare --net is not permitted)"
    exit 77
fi
if ! command -v ip >/dev/null 2>&1; then
    echo "SKIP: 'ip' (package iproute2) is missing; it brings loopback up in the namespace"
    exit 77
fi

exec $isolate sh -c 'ip link set lo up && exec "$@"' sh "$@"
