#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# How close Vantrel's 1 ms clocks come to cyclictest on this machine: runs
# vantrel-cli in "Win32 Periodic" and "Qt msleep" at 1 ms, then cyclictest at
# the same period and priority, back to back, and prints for each the share of
# intervals in the 1.0 ms bin and p50 / p99 / max of |interval - period|.
#
#   bash bench/fidelity.sh [seconds-per-run] [rounds]   (30 and 1; as root for FIFO)
#
# With several rounds the three take turns (cyclictest, "Win32 Periodic",
# "Qt msleep", then again), and the figures pool every round, so noise from
# the rest of the machine falls on all three alike.
#
# VANTREL_CLI names the program to measure (default build/src/cli/vantrel-cli).
# Arithmetic is bash, coreutils and awk only, so a bare Debian can run it.
set -euo pipefail

seconds=${1:-30}
rounds=${2:-1}
if ! [[ $seconds =~ ^[1-9][0-9]*$ && $rounds =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: bash bench/fidelity.sh [whole seconds per run, default 30] [rounds, default 1]" >&2
    exit 2
fi
period_ms=1
period_us=$((period_ms * 1000))
loops=$((seconds * 1000 / period_ms))
# Vantrel leaves its first ticks out of the histogram; cyclictest's first
# intervals are left out alike.
skip=10

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cli=${VANTREL_CLI:-$repo/build/src/cli/vantrel-cli}
if [[ ! -x $cli ]]; then
    echo "fidelity: $cli not found; run 'bash scripts/setup.sh' first (or set VANTREL_CLI)" >&2
    exit 1
fi

root=no
[[ $(id -u) -eq 0 ]] && root=yes
if [[ $root == no ]]; then
    echo "fidelity: not root, so top SCHED_FIFO may be refused; going on with what the OS grants (the goal then does not apply)" >&2
fi
if ! command -v cyclictest > /dev/null; then
    if [[ $root == yes ]]; then
        apt-get update -qq && apt-get install -y -qq rt-tests > /dev/null
    else
        echo "fidelity: cyclictest missing; install it as root: apt-get install rt-tests" >&2
        exit 1
    fi
fi

out=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-fidelity.XXXXXX")
commands=()

# Port 1667 is bound by every run; in a network namespace of its own no other
# copy of Vantrel can hold it. Timers do not care which namespace they are in.
netns=()
if [[ $root == yes ]] && unshare --net true 2> /dev/null; then
    netns=(unshare --net)
fi

# First "key": number in a JSON file written by vantrel-cli (one key a line).
json_field() {
    awk -v key="\"$2\":" '$1 == key { v = $2; sub(/,$/, "", v); gsub(/"/, "", v); print v; exit }' "$1"
}

# Count in histogram bin $2 of a vantrel-cli JSON file (0 when the bin is empty).
json_bin() {
    awk -v want="$2" '
        $1 == "\"bin\":" { b = $2; sub(/,$/, "", b); inbin = (b + 0 == want) }
        inbin && $1 == "\"count\":" { c = $2; sub(/,$/, "", c); print c; found = 1; exit }
        END { if (!found) print 0 }' "$1"
}

# Nearest-rank p50, p99 and max of the numbers in file $1, one a line.
percentiles() {
    local sorted=$1.sorted n
    sort -g "$1" > "$sorted"
    n=$(wc -l < "$sorted")
    awk -v n="$n" '
        function rank(p,   r) { r = int(p * n / 100); if (r < p * n / 100) r++; return r < 1 ? 1 : r }
        BEGIN { r50 = rank(50); r99 = rank(99) }
        NR == r50 { p50 = $1 } NR == r99 { p99 = $1 } { max = $1 }
        END { printf "%.1f %.1f %.1f\n", p50, p99, max }' "$sorted"
}

# One run of vantrel-cli; leaves name.json and name.us (intervals), and adds
# to base.dev and base.jsons.
run_vantrel() {
    local name=$1 mode=$2 base=$3
    local cmd=("${netns[@]}" "$cli" --mode "$mode" --period "$period_ms" --process Realtime
        --thread "Time Critical" --duration "$seconds" --json "$out/$name.json"
        --intervals "$out/$name.us")
    commands+=("$(printf '%q ' "${cmd[@]}")")
    echo "running \"$mode\" for $seconds s ..." >&2
    "${cmd[@]}" > "$out/$name.log" 2>&1 || {
        echo "fidelity: vantrel-cli failed:" >&2
        cat "$out/$name.log" >&2
        exit 1
    }
    awk -v p="$period_us" '{ d = $1 - p; print d < 0 ? -d : d }' "$out/$name.us" >> "$out/$base.dev"
    echo "$out/$name.json" >> "$out/$base.jsons"
}

# cyclictest: -v prints "thread: loop: latency" in us; consecutive wake-ups
# lie period + (latency_k - latency_k-1) apart. It insists on realtime
# priority for itself, so without that right it does not run at all.
cyc=(cyclictest -i "$period_us" -p 99 -v -l "$loops")
commands+=("$(printf '%q ' "${cyc[@]}")")
cyc_ran=yes cyc_wall=0 cyc_n=0 cyc_inbin=0
run_cyclictest() {
    local round=$1 start_ns n inbin
    echo "running cyclictest for $loops loops ..." >&2
    start_ns=$(date +%s%N)
    if ! "${cyc[@]}" > "$out/cyclictest-$round.txt" 2> "$out/cyclictest.err"; then
        echo "fidelity: cyclictest failed:" >&2
        cat "$out/cyclictest.err" >&2
        [[ $root == yes ]] && exit 1
        cyc_ran=no
        return
    fi
    cyc_wall=$((cyc_wall + ($(date +%s%N) - start_ns) / 1000000))
    read -r n inbin < <(awk -v p="$period_us" -v skip="$skip" -v dev="$out/cyclictest.dev" '
        $1 == "0:" && NF == 3 {
            lat = $3 + 0
            if (++seen > skip + 1) {
                d = lat - last; print (d < 0 ? -d : d) >> dev
                i = p + d; n++
                if (int((i + 50) / 100) == p / 100) inbin++
            }
            last = lat
        }
        END { print n + 0, inbin + 0 }' "$out/cyclictest-$round.txt")
    if [[ $n -eq 0 ]]; then
        echo "fidelity: no intervals in cyclictest's output ($out/cyclictest-$round.txt)" >&2
        exit 1
    fi
    cyc_n=$((cyc_n + n)) cyc_inbin=$((cyc_inbin + inbin))
}

for ((round = 1; round <= rounds; round++)); do
    [[ $rounds -gt 1 ]] && echo "round $round of $rounds" >&2
    [[ $cyc_ran == yes ]] && run_cyclictest "$round"
    run_vantrel "periodic-$round" "Win32 Periodic" periodic
    run_vantrel "msleep-$round" "Qt msleep" msleep
    # The commands are the same every round; list them once.
    [[ $round -eq 1 ]] && first_commands=("${commands[@]}")
done
commands=("${first_commands[@]}")

bin=$((period_us / 100))
c50=n/a c99=n/a cmax=n/a cyc_share=n/a
if [[ $cyc_ran == yes ]]; then
    read -r c50 c99 cmax < <(percentiles "$out/cyclictest.dev")
    cyc_share=$(awk -v a="$cyc_inbin" -v n="$cyc_n" 'BEGIN { printf "%.3f", 100 * a / n }')
fi

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b != "n/a" && b > 0) printf "%.2f", a / b; else printf "n/a" }'; }

echo
echo "Machine: kernel $(uname -r), $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo), $(nproc) cores"
echo "Root: $root; $rounds round(s) of $seconds s each, pooled; period $period_ms ms; bin $bin = ${period_ms}.0 ms +- 0.05 ms"
echo "Results in $out"
echo
printf '%-16s %9s %9s %9s %9s %9s   %s\n' "" intervals "in bin %" "p50 us" "p99 us" "max us" "worker / ratio p50 p99 max vs cyclictest"
printf '%-16s %9s %9s %9s %9s %9s   %s\n' cyclictest "$cyc_n" "$cyc_share" "$c50" "$c99" "$cmax" \
    "$([[ $cyc_ran == yes ]] && echo "SCHED_FIFO 99" || echo "did not run (no realtime right)")"

goal_share='' goal_p99='' goal_sched=''
for name in periodic msleep; do
    counted=0 kept=0 inbin=0
    while read -r f; do
        counted=$((counted + $(json_field "$f" countedIntervals)))
        kept=$((kept + $(json_field "$f" keptIntervals)))
        inbin=$((inbin + $(json_bin "$f" "$bin")))
    done < "$out/$name.jsons"
    share=$(awk -v a="$inbin" -v n="$counted" 'BEGIN { printf "%.3f", (n > 0 ? 100 * a / n : 0) }')
    f=$(head -n 1 "$out/$name.jsons")
    sched="$(json_field "$f" policy) $(json_field "$f" priority) nice $(json_field "$f" nice)"
    read -r v50 v99 vmax < <(percentiles "$out/$name.dev")
    label=$([[ $name == periodic ]] && echo "Win32 Periodic" || echo "Qt msleep")
    printf '%-16s %9s %9s %9s %9s %9s   %s; %s %s %s\n' "$label" "$counted" "$share" "$v50" "$v99" \
        "$vmax" "$sched" "$(ratio "$v50" "$c50")" "$(ratio "$v99" "$c99")" "$(ratio "$vmax" "$cmax")"
    [[ $kept == "$counted" ]] || echo "  (only $kept of $counted intervals were kept; percentiles use those)"
    if [[ $name == periodic ]]; then
        goal_share=$share goal_p99=$(ratio "$v99" "$c99") goal_sched=$sched
    fi
done
if [[ $cyc_ran == yes ]]; then
    echo
    echo "cyclictest: $cyc_n intervals after the first $skip; $rounds x $loops loops took $cyc_wall ms (its header's"
    echo "\"Interval\" line may differ; the wall time shows the period it kept)"
fi
echo
echo "Commands:"
printf '  %s\n' "${commands[@]}"
echo
echo "Goal (Win32 Periodic at top FIFO): p99 ratio <= 1.1 and >= 99.5 % in the bin"
if [[ $goal_sched != "SCHED_FIFO 99 "* || $cyc_ran != yes ]]; then
    echo "Not applicable: the worker got $goal_sched, not top FIFO, or cyclictest did not run (run as root)"
elif awk -v r="$goal_p99" -v s="$goal_share" 'BEGIN { exit !(r != "n/a" && r <= 1.1 && s >= 99.5) }'; then
    echo "Met: p99 ratio $goal_p99, $goal_share % in the bin"
else
    echo "Not met: p99 ratio $goal_p99, $goal_share % in the bin"
fi
