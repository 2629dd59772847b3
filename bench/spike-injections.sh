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
print(f"{sys.argv[2]}: threshold {s['thresholdSeconds']*1e6:.0f} us, {s['total']} spikes, {counts}")
PY
}

# 1. A busy task pinned to the measured CPU; the worker pinned there too
# (--cpu: the sampler stays off that CPU). Each burst's start is logged on
# CLOCK_MONOTONIC, the spikes' clock. tst_cli injects the same, but judges
# only the bursts that held a tick past the threshold: with other work on
# that CPU, bursts often hold none.
taskset -c "$cpu" python3 -c "
import time
end = time.time() + $seconds + 1
while time.time() < end:
    t = time.perf_counter()
    print(time.monotonic_ns(), flush=True)
    while time.perf_counter() - t < 0.003: pass
    time.sleep(0.2)" > "$out/bursts" &
${AS:-} "$cli" -m 2 -p 1 -d "$seconds" --thread 3 --process 1 --cpu "$cpu" \
    --json "$out/busy.json" 2> /dev/null | sed -n '/Why the long/,$p'
wait
summary "$out/busy.json" "busy task"
# A burst is named when a spike that woke within 10 ms of its start says
# other_task (under load the worker may wake after the burst's 3 ms); bursts
# in the first second (the sampler's to learn in) or older than the oldest
# kept spike are left out.
python3 - "$out/busy.json" "$out/bursts" <<'PY'
import json, sys
s = json.load(open(sys.argv[1]))
spikes = s["spikes"]["newest"]
bursts = [int(l) for l in open(sys.argv[2]) if l.strip()]
first = s["spikes"]["startClockSeconds"] * 1e9
run_end = first + s["elapsedSeconds"] * 1e9
start = first + 1e9
if s["spikes"]["total"] > len(spikes) and spikes:
    start = max(start, first + spikes[0]["seconds"] * 1e9)
during = [b for b in bursts if start <= b <= run_end - 0.1e9]
named = sum(1 for b in during if any(
    b <= first + x["seconds"] * 1e9 <= b + 10e6 and x["cause"] == "other_task" for x in spikes))
print(f"busy task: {named} of {len(during)} bursts during the run named other_task")
PY

# 2. Fresh memory: 2000 pages touched by the worker every 250 ticks.
VANTREL_TEST_FAULT_PAGES=2000 VANTREL_TEST_FAULT_EVERY=250 ${AS:-} "$cli" -m 2 -p 1 \
    -d "$seconds" --json "$out/faults.json" 2> /dev/null | sed -n '/Why the long/,$p'
echo "fresh memory: $(( seconds * 1000 / 250 )) touches of 2000 pages"
summary "$out/faults.json" "fresh memory"

# 3. Timer slack of 400 us on a normal-priority worker, spikes from 200 us;
# pinned as in tst_cli, the sampler off its CPU.
VANTREL_TEST_TIMER_SLACK_NS=400000 ${AS:-} "$cli" -m 2 -p 1 -d "$seconds" --thread 3 \
    --process 1 --cpu "$cpu" --spike-above 200us --json "$out/slack.json" 2> /dev/null |
    sed -n '/Why the long/,$p'
summary "$out/slack.json" "timer slack 400 us"
