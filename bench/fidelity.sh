#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# How close Vantrel's 1 ms clocks come to cyclictest on this machine: runs
# cyclictest, then vantrel-cli in "Win32 Periodic" and "Qt msleep", at 1 ms and
# the same priority, back to back, and prints for each, round by round and
# pooled, the share of intervals in the 1.0 ms bin and p50 / p90 / p99 /
# p99.9 / max of |interval - period|; then the lateness from the deadline of
# each: cyclictest's own latency, and Vantrel's 1 us lateness bins.
#
#   bash bench/fidelity.sh [seconds-per-run] [rounds]   (30 and 1; as root for FIFO)
#
# With several rounds the three take turns (cyclictest, "Win32 Periodic",
# "Qt msleep", then again), and the figures pool every round, so noise from
# the rest of the machine falls on all three alike.
#
# VANTREL_CLI names the program to measure (default build/src/cli/vantrel-cli).
# VANTREL_COMPARE may name another build of it (an older version, say): its
# "Win32 Periodic" then takes its turn after this one's, as a fourth row.
# Arithmetic is bash, coreutils and awk only, so a bare Debian can run it.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
seconds=${1:-30}
rounds=${2:-1}
need_whole "bash bench/fidelity.sh [whole seconds per run, default 30] [rounds, default 1]" "$seconds" "$rounds"
period_ms=1
period_us=$((period_ms * 1000))
loops=$((seconds * 1000 / period_ms))
# Vantrel leaves its first ticks out of the histogram; cyclictest's first
# intervals are left out alike.
skip=10

cli=${VANTREL_CLI:-$repo/build/src/cli/vantrel-cli}
need_programs fidelity "(or set VANTREL_CLI)" "$cli"

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

# Count in histogram bin $2 of a vantrel-cli JSON file (0 when the bin is empty).
json_bin() {
    awk -v want="$2" '
        $1 == "\"bin\":" { b = $2; sub(/,$/, "", b); inbin = (b + 0 == want) }
        inbin && $1 == "\"count\":" { c = $2; sub(/,$/, "", c); print c; found = 1; exit }
        END { if (!found) print 0 }' "$1"
}

# Nearest-rank p50, p90, p99, p99.9 and max of the numbers in file $1, one a
# line.
percentiles() {
    local sorted=$1.sorted n
    sort -g "$1" > "$sorted"
    n=$(wc -l < "$sorted")
    awk -v n="$n" '
        function rank(p,   r) { r = int(p * n / 100); if (r < p * n / 100) r++; return r < 1 ? 1 : r }
        BEGIN { r50 = rank(50); r90 = rank(90); r99 = rank(99); r999 = rank(99.9) }
        NR == r50 { p50 = $1 } NR == r90 { p90 = $1 } NR == r99 { p99 = $1 } NR == r999 { p999 = $1 }
        { max = $1 }
        END { printf "%.1f %.1f %.1f %.1f %.1f\n", p50, p90, p99, p999, max }' "$sorted"
}

# One run of vantrel-cli for round $3; leaves name.json and name.us
# (intervals), and the round's deviations and in-bin share as tool-round.dev
# and tool-round.share ("in-bin counted").
run_vantrel() {
    local name=$1 mode=$2 round=$3 program=${4:-$cli}
    local tool=$name
    name=$name-$round
    local cmd=("${netns[@]}" "$program" --mode "$mode" --period "$period_ms" --process Realtime
        --thread "Time Critical" --duration "$seconds" --json "$out/$name.json"
        --intervals "$out/$name.us")
    commands+=("$(printf '%q ' "${cmd[@]}")")
    echo "running \"$mode\" for $seconds s ..." >&2
    "${cmd[@]}" > "$out/$name.log" 2>&1 || {
        echo "fidelity: vantrel-cli failed:" >&2
        cat "$out/$name.log" >&2
        exit 1
    }
    awk -v p="$period_us" '{ d = $1 - p; print d < 0 ? -d : d }' "$out/$name.us" > "$out/$tool-$round.dev"
    echo "$(json_bin "$out/$name.json" "$bin") $(json_field "$out/$name.json" countedIntervals)" \
        > "$out/$tool-$round.share"
    # The lateness bins, { "count": c, "micros": u }, as c lines of u.
    awk '/"lateness"/ { on = 1 } on && /"count":/ { c = $2; sub(/,$/, "", c); c += 0 }
        on && /"micros":/ { u = $2; sub(/,$/, "", u); for (i = 0; i < c; i++) print u }
        on && /^    }/ { on = 0 }' "$out/$name.json" > "$out/$tool-$round.lat"
    local kept counted
    kept=$(json_field "$out/$name.json" keptIntervals)
    counted=$(json_field "$out/$name.json" countedIntervals)
    [[ $kept == "$counted" ]] || echo "fidelity: only $kept of $counted intervals of $name were kept; percentiles use those" >&2
}

# cyclictest: -v prints "thread: loop: latency" in us; consecutive wake-ups
# lie period + (latency_k - latency_k-1) apart. It insists on realtime
# priority for itself, so without that right it does not run at all.
cyc=(cyclictest -i "$period_us" -p 99 -v -l "$loops")
commands+=("$(printf '%q ' "${cyc[@]}")")
cyc_ran=yes cyc_wall=0
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
    read -r n inbin < <(awk -v p="$period_us" -v skip="$skip" -v dev="$out/cyclictest-$round.dev" \
        -v late="$out/cyclictest-$round.lat" '
        $1 == "0:" && NF == 3 {
            lat = $3 + 0
            if (++seen > skip + 1) {
                print lat > late
                d = lat - last; print (d < 0 ? -d : d) > dev
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
    echo "$inbin $n" > "$out/cyclictest-$round.share"
}

bin=$((period_us / 100))
for ((round = 1; round <= rounds; round++)); do
    [[ $rounds -gt 1 ]] && echo "round $round of $rounds" >&2
    [[ $cyc_ran == yes ]] && run_cyclictest "$round"
    run_vantrel periodic "Win32 Periodic" "$round"
    [[ -n ${VANTREL_COMPARE:-} ]] && run_vantrel other "Win32 Periodic" "$round" "$VANTREL_COMPARE"
    run_vantrel msleep "Qt msleep" "$round"
    # The commands are the same every round; list them once.
    [[ $round -eq 1 ]] && first_commands=("${commands[@]}")
done
commands=("${first_commands[@]}")

tools=(periodic)
[[ -n ${VANTREL_COMPARE:-} ]] && tools+=(other)
tools+=(msleep)
[[ $cyc_ran == yes ]] && tools=(cyclictest "${tools[@]}")
label() {
    case $1 in
        cyclictest) echo cyclictest ;;
        periodic) echo "Win32 Periodic" ;;
        msleep) echo "Qt msleep" ;;
        other) echo "Periodic, other" ;;
    esac
}

# One line of the table: label, round, intervals, in-bin %, percentiles.
# Leaves the figures in the globals row_share, row_p50 and row_p99.
row() {
    local tool=$1 round=$2 files=() shares=() inbin=0 n=0 a b
    if [[ $round == pooled ]]; then
        for ((r = 1; r <= rounds; r++)); do
            files+=("$out/$tool-$r.dev")
            shares+=("$out/$tool-$r.share")
        done
    else
        files=("$out/$tool-$round.dev")
        shares=("$out/$tool-$round.share")
    fi
    cat "${files[@]}" > "$out/$tool-$round.all"
    for f in "${shares[@]}"; do
        read -r a b < "$f"
        inbin=$((inbin + a)) n=$((n + b))
    done
    row_share=$(awk -v a="$inbin" -v n="$n" 'BEGIN { printf "%.3f", (n > 0 ? 100 * a / n : 0) }')
    read -r row_p50 row_p90 row_p99 row_p999 row_max < <(percentiles "$out/$tool-$round.all")
    printf '%-16s %-7s %9s %9s %8s %8s %8s %8s %9s\n' "$(label "$tool")" "$round" "$n" "$row_share" \
        "$row_p50" "$row_p90" "$row_p99" "$row_p999" "$row_max"
}

echo
echo "Machine: kernel $(uname -r), $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo), $(nproc) cores"
echo "Root: $root; $rounds round(s) of $seconds s each, taking turns; period $period_ms ms; bin $bin = ${period_ms}.0 ms +- 0.05 ms"
echo "Results in $out"
echo
echo "|interval - period| in us; in-bin: % of intervals within 0.05 ms of the period"
printf '%-16s %-7s %9s %9s %8s %8s %8s %8s %9s\n' "" round intervals "in-bin %" p50 p90 p99 p99.9 max
for tool in "${tools[@]}"; do
    for ((round = 1; round <= rounds; round++)); do
        row "$tool" "$round"
    done
    row "$tool" pooled
    declare "pooled_share_$tool=$row_share" "pooled_p50_$tool=$row_p50" "pooled_p99_$tool=$row_p99"
done
# Lateness from the deadline, pooled and by round: leaves lat_p50 and lat_p99.
lat_row() {
    local tool=$1 round=$2 files=()
    if [[ $round == pooled ]]; then
        for ((r = 1; r <= rounds; r++)); do files+=("$out/$tool-$r.lat"); done
    else
        files=("$out/$tool-$round.lat")
    fi
    cat "${files[@]}" > "$out/$tool-$round.latall"
    if [[ ! -s $out/$tool-$round.latall ]]; then
        printf '%-16s %-7s %9s   (no lateness: a build without it)\n' "$(label "$tool")" "$round" 0
        return
    fi
    read -r lat_p50 lat_p90 lat_p99 lat_p999 lat_max < <(percentiles "$out/$tool-$round.latall")
    printf '%-16s %-7s %9s %8s %8s %8s %8s %9s\n' "$(label "$tool")" "$round" \
        "$(wc -l < "$out/$tool-$round.latall")" "$lat_p50" "$lat_p90" "$lat_p99" "$lat_p999" "$lat_max"
}
echo
echo "Lateness from the deadline in us (cyclictest: its latency; Vantrel: its 1 us bins' floors)"
printf '%-16s %-7s %9s %8s %8s %8s %8s %9s\n' "" round wake-ups p50 p90 p99 p99.9 max
for tool in "${tools[@]}"; do
    for ((round = 1; round <= rounds; round++)); do
        lat_row "$tool" "$round"
    done
    lat_row "$tool" pooled
    declare "lat_p50_$tool=$lat_p50" "lat_p99_$tool=$lat_p99"
done

f="$out/periodic-1.json"
goal_sched="$(json_field "$f" policy) $(json_field "$f" priority)"
echo
echo "worker's scheduling: $goal_sched (nice $(json_field "$f" nice))"
[[ -n ${VANTREL_COMPARE:-} ]] && echo "\"Periodic, other\": \"Win32 Periodic\" of $VANTREL_COMPARE"
if [[ $cyc_ran == yes ]]; then
    echo "cyclictest: $rounds x $loops loops took $cyc_wall ms; an interval is the period plus the"
    echo "difference of two successive latencies, after the first $skip"
fi
echo
echo "Commands:"
printf '  %s\n' "${commands[@]}"
echo
echo "Goals, pooled, \"Win32 Periodic\" against cyclictest at top FIFO: p50 within 0.5 us,"
echo "p99 at most 1.2 x, in-bin share within 0.2 points. \"within\" is read both ways: no"
echo "further apart than that (both sides), and no worse than that (one side)"
if [[ $goal_sched != "SCHED_FIFO 99" || $cyc_ran != yes ]]; then
    echo "Not applicable: the worker got $goal_sched, not top FIFO, or cyclictest did not run (run as root)"
else
    awk -v p50="$pooled_p50_periodic" -v c50="$pooled_p50_cyclictest" \
        -v p99="$pooled_p99_periodic" -v c99="$pooled_p99_cyclictest" \
        -v s="$pooled_share_periodic" -v cs="$pooled_share_cyclictest" 'BEGIN {
            d50 = p50 - c50; r99 = c99 > 0 ? p99 / c99 : 0; ds = s - cs
            printf "p50: %.1f against %.1f us (%+.1f): both sides %s, one side %s\n", p50, c50, d50,
                (d50 <= 0.5 && d50 >= -0.5) ? "met" : "NOT met", (d50 <= 0.5) ? "met" : "NOT met"
            printf "p99: %.1f against %.1f us (%.2f x): %s\n", p99, c99, r99, (r99 <= 1.2) ? "met" : "NOT met"
            printf "in-bin: %.3f against %.3f %% (%+.3f points): both sides %s, one side %s\n", s, cs, ds,
                (ds <= 0.2 && ds >= -0.2) ? "met" : "NOT met", (ds >= -0.2) ? "met" : "NOT met"
        }'
    awk -v p50="$lat_p50_periodic" -v c50="$lat_p50_cyclictest" \
        -v p99="$lat_p99_periodic" -v c99="$lat_p99_cyclictest" 'BEGIN {
            d50 = p50 - c50; r99 = c99 > 0 ? p99 / c99 : 0
            printf "lateness p50: %.1f against %.1f us (%+.1f): %s (goal: within 1 us)\n", p50, c50, d50,
                (d50 <= 1 && d50 >= -1) ? "met" : "NOT met"
            printf "lateness p99: %.1f against %.1f us (%.2f x): %s (goal: at most 1.2 x)\n", p99, c99, r99,
                (r99 <= 1.2) ? "met" : "NOT met"
        }'
fi
