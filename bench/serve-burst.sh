#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The exporter under a burst of scrapers: vantrel-cli measures "Win32
# Periodic" at 1 ms with --serve while bench_serve keeps 200 connections on
# loopback asking for /metrics, beside runs with the server up and nobody
# asking. Rounds take turns, so machine noise falls on both alike. Per round:
# the share of intervals in the period's bin, p99 and max |interval - period|
# (exact, from the run's JSON). Then one run for the process itself: its open
# descriptors before, at the height of and after a burst, and how long a
# scrape and a Ctrl-C take afterwards. Inside a network namespace of its own.
#
#   bash bench/serve-burst.sh [rounds] [seconds]     (default 3 rounds of 10 s; as root)
#
# VANTREL_CLI and VANTREL_SCRAPER name the programs (default under build/).
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
rounds=${1:-3}
seconds=${2:-10}
need_whole "bash bench/serve-burst.sh [rounds, default 3] [whole seconds, default 10]" "$rounds" "$seconds"
connections=200

cli=${VANTREL_CLI:-$repo/build/src/cli/vantrel-cli}
scraper=${VANTREL_SCRAPER:-$repo/build/bench/bench_serve}
need_programs serve-burst "" "$cli" "$scraper"

own_netns "serve-burst: skipped: no network namespace can be made here" "$@"
ip link set lo up

out=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-serve.XXXXXX")
trap 'rm -rf "$out"' EXIT

# Starts vantrel-cli with --serve on a free port; sets pid and port.
start_cli() {
    rm -f "$out/said" # the file is made anew by the program's start, maybe after the loop below begins
    "$cli" -m 2 -p 1 --serve 127.0.0.1:0 "$@" > "$out/report" 2> "$out/said" &
    pid=$!
    port=
    for _ in $(seq 100); do
        port=$(grep -so 'serving metrics at http://127.0.0.1:[0-9]*' "$out/said" | grep -o '[0-9]*$' || true)
        [[ -n $port ]] && return 0
        sleep 0.05
    done
    echo "serve-burst: vantrel-cli did not say where it serves:" >&2
    cat "$out/said" >&2
    exit 1
}

# share p99 max of a run's JSON, in %, us and us.
figures() {
    tr -d ' \n' < "$1" | grep -o '"deviation":{[^]]*' | awk '
        { n = split($0, kv, ",")
          for (i = 1; i <= n; i++) { split(kv[i], p, ":"); gsub(/[{"]/, "", p[1]); v[p[1]] = p[2] } }
        END { printf "%.3f %.1f %.1f", v["periodBinShare"], v["p99"] * 1e6, v["max"] * 1e6 }'
}

fds() { ls "/proc/$1/fd" | wc -l; }

echo "vantrel-cli --serve, \"Win32 Periodic\" at 1 ms; $rounds rounds of $seconds s each way;" \
    "$connections scrapers in the loaded rounds"
echo "round  load      in-bin %   p99 us   max us   scrapes"
for round in $(seq "$rounds"); do
    for load in none burst; do
        # --fail-share makes the run keep every interval: exact figures.
        start_cli -d "$seconds" --json "$out/run.json" --fail-share 0
        scrapes=-
        if [[ $load == burst ]]; then
            "$scraper" "$port" "$connections" "$seconds" > "$out/scraper" || true
            scrapes=$(awk 'NR == 1 { print $6 }' "$out/scraper")
        fi
        wait "$pid" || true
        read -r share p99 max <<< "$(figures "$out/run.json")"
        printf "%5d  %-8s %9s %8s %8s   %s\n" "$round" "$load" "$share" "$p99" "$max" "$scrapes"
    done
done
worker=$(tr -d ' \n' < "$out/run.json" | grep -o '"worker":{[^}]*}')
echo "worker: $worker"

echo
echo "One run until Ctrl-C, with a burst of $seconds s in it:"
start_cli
sleep 1
before=$(fds "$pid")
peak=$before
"$scraper" "$port" "$connections" "$seconds" > "$out/scraper" &
scraping=$!
while kill -0 "$scraping" 2> /dev/null; do
    now=$(fds "$pid")
    ((now > peak)) && peak=$now
    sleep 0.2
done
cat "$out/scraper"
# The kernel's counts of connections refused or dropped at the listening
# socket, and of closed ones that waited out their time, in this namespace
# (all rounds above included).
awk '$1 == "TcpExt:" { if (!n) { for (i = 2; i <= NF; i++) k[i] = $i; n = 1 } else for (i = 2; i <= NF; i++) v[k[i]] = $i }
     END { printf "kernel: ListenOverflows %d, ListenDrops %d, TW %d, TCPTimeWaitOverflow %d\n",
           v["ListenOverflows"], v["ListenDrops"], v["TW"], v["TCPTimeWaitOverflow"] }' /proc/net/netstat
right_after=$(fds "$pid")
# Connections a scraper left open are closed after 5 s without a request.
sleep 6
after=$(fds "$pid")
echo "open descriptors: $before before, $peak at most during, $right_after right after, $after 6 s after"
start=$(date +%s%N)
"$scraper" "$port" 1 1 > /dev/null
echo "one scraper for 1 s afterwards: $(( ($(date +%s%N) - start) / 1000000 )) ms in all"
start=$(date +%s%N)
kill -INT "$pid"
wait "$pid" || true
echo "Ctrl-C to exit: $(( ($(date +%s%N) - start) / 1000000 )) ms; final report printed: $(grep -c '^Actual Rate' "$out/report")"
