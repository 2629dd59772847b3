#!/bin/bash
# SPDX-License-Identifier: MIT
# Injects three causes of spikes into short vantrel-cli runs and prints what
# the run named, beside what was injected: a busy task on the measured CPU
# (bursts of 3 ms every 200 ms), fresh memory touched in the worker, and
# timer slack on a normal-priority worker. Figures, not a test: on a shared
# machine other load adds spikes of its own.
#   bench/spike-injections.sh [vantrel-cli] [seconds]
# Prefix with AS="setpriv --reuid=nobody --regid=nogroup --clear-groups
# --inh-caps=-all" to run the CLI as an ordinary user.
set -u
cli=${1:-build/src/cli/vantrel-cli}
seconds=${2:-10}
cpu=$(( $(nproc) - 1 ))
out=$(mktemp -d)
chmod 777 "$out" # written by the CLI, which AS may run as another user
trap 'rm -rf "$out"' EXIT

summary() { # json, label
    python3 - "$1" "$2" <<'PY'
import json, sys
s = json.load(open(sys.argv[1]))["spikes"]
counts = {k: v for k, v in s["counts"].items() if v}
print(f"{sys.argv[2]}: threshold {s['threshold_ns']/1000:.0f} us, {s['total']} spikes, {counts}")
PY
}

# 1. A busy task pinned to the measured CPU; the run pinned there too.
python3 -c "
import time
end = time.time() + $seconds + 1
n = 0
while time.time() < end:
    t = time.perf_counter()
    while time.perf_counter() - t < 0.003: pass
    n += 1
    time.sleep(0.2)
print(n)" > "$out/bursts" &
taskset -pc "$cpu" $! > /dev/null
${AS:-} taskset -c "$cpu" "$cli" -m 2 -p 1 -d "$seconds" --thread 3 --process 1 \
    --json "$out/busy.json" 2> /dev/null | sed -n '/Why the long/,$p'
wait
echo "busy task: $(cat "$out/bursts") bursts of 3 ms on CPU $cpu"
summary "$out/busy.json" "busy task"

# 2. Fresh memory: 2000 pages touched by the worker every 250 ticks.
VANTREL_TEST_FAULT_PAGES=2000 VANTREL_TEST_FAULT_EVERY=250 ${AS:-} "$cli" -m 2 -p 1 \
    -d "$seconds" --json "$out/faults.json" 2> /dev/null | sed -n '/Why the long/,$p'
echo "fresh memory: $(( seconds * 1000 / 250 )) touches of 2000 pages"
summary "$out/faults.json" "fresh memory"

# 3. Timer slack of 400 us on a normal-priority worker, spikes from 200 us.
VANTREL_TEST_TIMER_SLACK_NS=400000 ${AS:-} "$cli" -m 2 -p 1 -d "$seconds" --thread 3 \
    --process 1 --spike-above 200us --json "$out/slack.json" 2> /dev/null |
    sed -n '/Why the long/,$p'
summary "$out/slack.json" "timer slack 400 us"
