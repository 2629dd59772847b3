#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The highest datagram rate the receive-driven clocks keep up with: vantrel-cli
# at period 0 ("Qt msleep", then "QTimer Event") receives while bench_receive
# sends 64-byte datagrams to 127.0.0.1:1667 at rising rates. Per rate: sent,
# delivered to the socket, the receiver's ticks and the kernel's UDP drops
# (/proc/net/snmp), inside a network namespace of its own with only loopback.
#
#   bash bench/receive-rate.sh [seconds-per-rate]       (default 5; as root)
#
# VANTREL_RATES overrides the rates (per second, blank-separated);
# VANTREL_CLI and VANTREL_SENDER the programs (default under build/).
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
seconds=${1:-5}
need_whole "bash bench/receive-rate.sh [whole seconds per rate, default 5]" "$seconds"
read -r -a rates <<< "${VANTREL_RATES:-1000 2000 5000 10000 20000 50000 100000 200000 400000}"

cli=${VANTREL_CLI:-$repo/build/src/cli/vantrel-cli}
sender=${VANTREL_SENDER:-$repo/build/bench/bench_receive}
need_programs receive-rate "(or set VANTREL_CLI / VANTREL_SENDER)" "$cli" "$sender"

# Everything below runs in a namespace of its own: the counters are this
# test's alone, and nothing sent can leave the machine.
own_netns "receive-rate: skipped: no network namespace can be made here (needs root or user namespaces)" "$@"
if ! ip link set lo up 2> /dev/null; then
    echo "receive-rate: skipped: loopback cannot be brought up in the new namespace"
    exit 0
fi

out=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-receive.XXXXXX")
worker="?" # what the receiver's thread was granted, from its latest JSON

# InDatagrams InErrors RcvbufErrors of this namespace, IPv4 and IPv6 summed
# (the worker listens on IPv4 only; builds before it listened on both).
udp_counters() {
    awk '$1 == "Udp:" {
            if (!named) { for (i = 2; i <= NF; i++) name[i] = $i; named = 1 }
            else for (i = 2; i <= NF; i++) v[name[i]] += $i
         }
         $1 ~ /^Udp6/ { v[substr($1, 5)] += $2 }
         END { print v["InDatagrams"] + 0, v["InErrors"] + 0, v["RcvbufErrors"] + 0 }' /proc/net/snmp /proc/net/snmp6
}

# The rate the sender kept, from its report.
sender_rate() {
    awk 'match($0, /[0-9]+\/s achieved/) { print substr($0, RSTART, RLENGTH - 9) }' "$out/sender.log"
}

port_bound() { awk 'FNR > 1 && $2 ~ /:0683$/ { found = 1 } END { exit !found }' /proc/net/udp /proc/net/udp6; }

# One mode at one rate: prints a row and sets verdict to "each a tick" (every
# datagram queued and each its own tick), "all queued" (none dropped, fewer
# ticks), "drops" (dropped, or not all queued) or "sender short" (none
# dropped, but the sender fell more than 1 % behind the rate).
measure() {
    local mode=$1 rate=$2 json=$out/receiver.json pid sent d0 e0 b0 d1 e1 b1 ticks kept bursts largest flood
    "$cli" --mode "$mode" --period 0 --process Realtime --thread "Time Critical" \
        --json "$json" > "$out/receiver.log" 2>&1 &
    pid=$!
    for _ in $(seq 100); do
        port_bound && break
        sleep 0.05
    done
    if ! port_bound; then
        kill -INT "$pid" 2> /dev/null || true
        wait "$pid" || true
        echo "receive-rate: the receiver did not bind port 1667:" >&2
        cat "$out/receiver.log" >&2
        exit 1
    fi
    sleep 0.3 # past the probe bind vantrel-cli makes before its worker binds
    read -r d0 e0 b0 < <(udp_counters)
    "$sender" "$rate" "$seconds" > "$out/sender.log" 2>&1 || true
    sleep 0.5 # the receiver drains what is queued
    read -r d1 e1 b1 < <(udp_counters)
    kill -INT "$pid"
    wait "$pid" || true
    sent=$(awk '$1 == "sent" { print $2 }' "$out/sender.log")
    kept=$(sender_rate)
    bursts=$(awk '$1 == "sent" { for (i = 2; i < NF; i++) if ($(i + 1) == "bursts,") print $i }' "$out/sender.log")
    largest=$(awk '$1 == "sent" { for (i = 2; i < NF; i++) if ($i == "largest") { v = $(i + 1); sub(/,$/, "", v); print v } }' "$out/sender.log")
    ticks=$(json_field "$json" tickCount)
    flood=$(json_field "$json" floodRate)
    [[ -z $flood || $flood == null ]] && flood=no || flood=yes
    worker="$(json_field "$json" policy) $(json_field "$json" priority)"
    if [[ -z $sent ]] || ((b1 - b0 > 0 || e1 - e0 > 0 || d1 - d0 != sent)); then
        verdict="drops"
    elif [[ -z $kept ]] || ! awk -v k="${kept%/s}" -v r="$rate" 'BEGIN { exit !(k >= 0.99 * r) }'; then
        verdict="sender short"
    elif [[ $ticks == "$sent" ]]; then
        verdict="each a tick"
    else
        verdict="all queued"
    fi
    printf '%-13s %8s %9s %9s %7s %10s %9s %8s %8s %9s %7s   %s\n' "$mode" "$rate" "${sent:-?}" \
        "${bursts:-?}" "${largest:-?}" $((d1 - d0)) "${ticks:-?}" $((b1 - b0)) $((e1 - e0)) \
        "${kept:-?}" "$flood" "$verdict"
}

echo "Kernel $(uname -r), $(nproc) cores; $seconds s per rate; receiver and sender in a network namespace of their own"
echo "Receiver: $cli --mode <mode> --period 0 --process Realtime --thread \"Time Critical\" --json <file>"
echo "Sender:   $sender <rate> $seconds"
echo "in bursts = how many goes the sender sent them in (one each when on time); datagrams of one"
echo "  burst arrive together and may make one tick: a receiver's wake-up is one tick however many wait;"
echo "  largest = the largest burst: one over 256 (the receive queue's 64-byte datagrams) can overflow"
echo "  the queue faster than the receiver drains it, whatever its clock"
echo "delivered = InDatagrams, datagrams the kernel queued to the receiver's socket;"
echo "ticks = the receiver's tickCount; drops = RcvbufErrors, errors = InErrors; flooded = the"
echo "  receiver held itself to its processor budget (its JSON's floodRate)"
for mode in "Qt msleep" "QTimer Event"; do
    echo
    printf '%-13s %8s %9s %9s %7s %10s %9s %8s %8s %9s %7s   %s\n' mode rate/s sent "in bursts" largest delivered ticks drops errors achieved flooded verdict
    # The highest rate that, and every rate below it, passed: one lucky
    # rate above a failure says more about the noise than the receiver.
    every=none queued=none every_failed=no queued_failed=no
    for rate in "${rates[@]}"; do
        measure "$mode" "$rate"
        [[ $verdict == "each a tick" ]] || every_failed=yes
        [[ $verdict == "each a tick" || $verdict == "all queued" ]] || queued_failed=yes
        [[ $every_failed == yes ]] || every=$rate/s
        [[ $queued_failed == yes ]] || queued=$rate/s
    done
    echo "\"$mode\", worker $worker: highest rate that, with every rate below it, had no kernel"
    echo "  drops and ticks == sent: $every; no kernel drops and every datagram queued: $queued"
done
echo "Files in $out"
