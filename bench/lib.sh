#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# What the bench scripts share; they source it.

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Exits 2 with usage line $1 unless every further argument is a whole number.
need_whole() {
    local usage=$1 n
    shift
    for n in "$@"; do
        if ! [[ $n =~ ^[1-9][0-9]*$ ]]; then
            echo "usage: $usage" >&2
            exit 2
        fi
    done
}

# Exits 1 unless the programs after script name $1 and hint $2 (or "") exist.
need_programs() {
    local name=$1 hint=$2 program
    shift 2
    for program in "$@"; do
        if [[ ! -x $program ]]; then
            echo "$name: $program not found; run 'bash scripts/setup.sh' first${hint:+ $hint}" >&2
            exit 1
        fi
    done
}

# Runs the calling script again with its arguments in a network namespace of
# its own, so nothing sent can leave the machine. With a message $1, a user
# namespace is tried too, and if neither can be made the run is skipped with
# it (exit 0); with "", a failing unshare fails the script.
own_netns() {
    local skipped=$1 how
    shift
    [[ ${VANTREL_NETNS:-} == 1 ]] && return 0
    if [[ -z $skipped ]]; then
        VANTREL_NETNS=1 exec unshare --net bash "$0" "$@"
    fi
    for how in "unshare --net" "unshare --user --map-root-user --net"; do
        if $how true 2> /dev/null; then
            VANTREL_NETNS=1 exec $how bash "$0" "$@"
        fi
    done
    echo "$skipped"
    exit 0
}

# First "key": value in a JSON file written by vantrel-cli (one key a line).
json_field() {
    awk -v key="\"$2\":" '$1 == key { v = $2; sub(/,$/, "", v); gsub(/"/, "", v); print v; exit }' "$1"
}
