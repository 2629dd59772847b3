#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Arrival intervals from the kernel's receive stamps against a kernel capture
# of the same datagrams: bench_receive sends 64-byte datagrams to
# 127.0.0.1:1667 with gaps of 1, 2, 3 and 5 ms in turn, vantrel-cli ("Qt
# msleep", period 0, FIFO 99) receives them, and tcpdump captures them on
# loopback, all in a network namespace of this script's own. Per interval,
# it compares the capture with
#   - the arrival interval by the kernel's stamps (--intervals, 2nd column),
#   - the tick interval, the receiver's own wake-ups (1st column),
# and the shares of the 0.1 ms bins (L1 distance, in points of %).
#
#   bash bench/arrival.sh [seconds] [rounds]   (default 10 and 1; as root)
#
# Goal: per-interval difference p99 at most 5 us; bin shares within 1 % (L1).
# VANTREL_CLI and VANTREL_SENDER name the programs (default under build/).
# tcpdump (Debian's tcpdump) is installed when missing.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
seconds=${1:-10}
rounds=${2:-1}
need_whole "bash bench/arrival.sh [whole seconds, default 10] [rounds, default 1]" "$seconds" "$rounds"
cli=${VANTREL_CLI:-$repo/build/src/cli/vantrel-cli}
sender=${VANTREL_SENDER:-$repo/build/bench/bench_receive}
need_programs arrival "(or set VANTREL_CLI / VANTREL_SENDER)" "$cli" "$sender"
if [[ $(id -u) -ne 0 ]]; then
    echo "arrival: needs root: a network namespace, a capture and SCHED_FIFO" >&2
    exit 1
fi
if ! command -v tcpdump > /dev/null; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq tcpdump > /dev/null
fi

# Everything below in a namespace of its own: nothing sent can leave the
# machine, and no other copy of Vantrel holds the port. As root, no skipping.
own_netns "" "$@"
ip link set lo up

out=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-arrival.XXXXXX")
# Debian's tcpdump drops to its own user after opening the capture; the
# directory must stay writable for it.
chmod 1777 "$out"

# Nearest-rank p50, p99 and max of the numbers in file $1, one a line.
percentiles() {
    sort -g "$1" | awk '{ v[NR] = $1 }
        function rank(p,   r) { r = int(p * NR / 100); if (r < p * NR / 100) r++; return r < 1 ? 1 : r }
        END { printf "%.3f %.3f %.3f\n", v[rank(50)], v[rank(99)], v[NR] }'
}

paired=0
for ((round = 1; round <= rounds; round++)); do
    base=$out/round-$round
    # Nanosecond stamps, the whole datagram not needed: headers only.
    tcpdump -i lo -n -s 96 --time-stamp-precision=nano -w "$base.pcap" udp port 1667 \
        2> "$base.tcpdump.log" &
    capture=$!
    "$cli" --mode "Qt msleep" --period 0 --process Realtime --thread "Time Critical" \
        --duration $((seconds + 2)) --json "$base.json" --intervals "$base.us" > "$base.log" 2>&1 &
    receiver=$!
    sleep 1 # the receiver binds, the capture starts
    # The sender at FIFO 98, one below the receiver: held up by the rest
    # of a busy machine, it would send bursts that one wake-up drains
    # together.
    chrt -f 98 "$sender" --gaps 1,2,3,5 "$seconds" > "$base.sender.log"
    wait "$receiver"
    sleep 0.2
    kill -INT "$capture"
    wait "$capture" || true

    # Capture stamps in ns from the first one's second (whole seconds since
    # 1970 in ns are beyond a double's precision), and the intervals between
    # them in us.
    tcpdump -r "$base.pcap" -n -tt --time-stamp-precision=nano 2> /dev/null |
        awk '{ split($1, t, "."); if (NR == 1) s0 = t[1]; printf "%.0f\n", (t[1] - s0) * 1e9 + t[2] }' \
            > "$base.stamps"
    awk 'NR > 1 { printf "%.3f\n", ($1 - last) / 1000 } { last = $1 }' "$base.stamps" > "$base.capture"

    captured=$(wc -l < "$base.stamps")
    ticks=$(json_field "$base.json" tickCount)
    stamped=$(json_field "$base.json" stampedDatagrams)
    echo "round $round: $(cat "$base.sender.log")"
    echo "round $round: captured $captured, the receiver stamped $stamped in $ticks ticks"
    # Bin shares need no pairing: every round counts.
    cat "$base.capture" >> "$out/capture.all"
    awk '{ print $1 }' "$base.us" >> "$out/tick.all"
    # The receiver's arrival bins, from its JSON: "bin" and "count" lines
    # under arrivalBins.
    awk '/"arrivalBins"/ { on = 1 } on && /\]/ { on = 0 }
         on && /"bin":/ { gsub(/[ ,]/, "", $2); b = $2 }
         on && /"count":/ { gsub(/[ ,]/, "", $2); print b, $2 }' "$base.json" >> "$out/arrival.bins"
    if [[ $captured -ne $stamped || $ticks -ne $stamped ]]; then
        echo "round $round: some wake-ups drained more than one datagram (the sender was held up):" \
            "intervals cannot be paired one by one; its bins still count"
        continue
    fi
    paired=$((paired + 1))

    # Row j of --intervals is the j-th tick the histogram counted: the
    # receive clock leaves out ticks 0 to 10 of every 100. Tick t drained
    # datagram t, so its intervals end at datagram t, as capture interval
    # t (counting from 1).
    awk -v dev="$base.kernel.dev" -v tickdev="$base.tick.dev" '
        FNR == NR { capture[NR] = $1; next }
        {
            while (tick % 100 <= 10) tick++
            c = capture[tick]; tick++
            if ($2 != "-") { d = $2 - c; print (d < 0 ? -d : d) > dev }
            d = $1 - c; print (d < 0 ? -d : d) > tickdev
        }' "$base.capture" "$base.us"
    cat "$base.kernel.dev" >> "$out/kernel.dev"
    cat "$base.tick.dev" >> "$out/tick.dev"
done

if [[ ! -s $out/kernel.dev ]]; then
    echo "arrival: no round could be paired; results in $out" >&2
    exit 1
fi

# L1 distance of two bin-share distributions, in points of %: 0.1 ms bins,
# nearest, half up, as the histogram bins them (the last bin, 299, takes the
# rest).
shares() { # file of intervals in us -> "bin count" lines
    awk '{ b = int($1 / 100 + 0.5); if (b > 299) b = 299; n[b]++ } END { for (b in n) print b, n[b] }' "$1"
}
l1() { # two files of "bin count" lines
    awk 'FNR == NR { a[$1] += $2; ta += $2; next } { b[$1] += $2; tb += $2 }
         END { for (k in a) u[k]; for (k in b) u[k]
               for (k in u) s += (a[k] / ta > b[k] / tb) ? a[k] / ta - b[k] / tb : b[k] / tb - a[k] / ta
               printf "%.3f", 100 * s }' "$1" "$2"
}
shares "$out/capture.all" > "$out/capture.bins"
shares "$out/tick.all" > "$out/tick.bins"

read -r k50 k99 kmax < <(percentiles "$out/kernel.dev")
read -r t50 t99 tmax < <(percentiles "$out/tick.dev")
echo
echo "Machine: kernel $(uname -r), $(nproc) cores; $rounds round(s) of $seconds s, gaps 1, 2, 3, 5 ms"
echo "Results in $out"
echo
echo "|difference from the capture| per interval, us, in the $paired round(s) paired one by one:"
echo "                                              p50      p99      max   intervals"
printf '  arrival interval (kernel stamps)      %9s %8s %8s %8s\n' "$k50" "$k99" "$kmax" "$(wc -l < "$out/kernel.dev")"
printf '  tick interval (the wake-ups)          %9s %8s %8s %8s\n' "$t50" "$t99" "$tmax" "$(wc -l < "$out/tick.dev")"
echo
echo "bin shares against the capture's (L1, points of %):"
echo "  arrival bins (every datagram): $(l1 "$out/arrival.bins" "$out/capture.bins")"
echo "  tick intervals (counted ticks): $(l1 "$out/tick.bins" "$out/capture.bins")"
echo
awk -v p99="$k99" -v l="$(l1 "$out/arrival.bins" "$out/capture.bins")" 'BEGIN {
    printf "Goal: arrival p99 at most 5 us: %s; bin shares within 1 %% (L1): %s\n",
        (p99 <= 5 ? "met" : "NOT met"), (l <= 1 ? "met" : "NOT met") }'
