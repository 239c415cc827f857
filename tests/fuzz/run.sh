#!/usr/bin/env bash
# Runs the libFuzzer targets of build/fuzz for SECONDS each (default 60), each
# on its corpus under build/fuzz/corpus and its seeds, and prints each one's
# executions per second. Stops at the first target that finds a fault, with
# the end of its log (build/fuzz/<target>.log).
#   tests/fuzz/run.sh [SECONDS] [TARGET...]      e.g. tests/fuzz/run.sh 600 fuzz_payload
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
seconds=${1:-60}
shift || true
targets=("$@")
if ((${#targets[@]} == 0)); then
    for f in "$root"/build/fuzz/fuzz_*; do
        [[ -x $f && ! -d $f ]] && targets+=("$(basename "$f")")
    done
fi
for name in "${targets[@]}"; do
    exe=$root/build/fuzz/$name
    log=$root/build/fuzz/$name.log
    corpus=$root/build/fuzz/corpus/$name
    mkdir -p "$corpus"
    seeds=$root/tests/fuzz/seeds/$name
    [[ -d $seeds ]] || seeds=
    "$exe" -max_total_time="$seconds" -rss_limit_mb=1024 -print_final_stats=1 "$corpus" $seeds \
        >"$log" 2>&1 || { tail -30 "$log"; echo "fuzzer $name failed"; exit 1; }
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    peak=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log")
    echo "  $name: ${rate:-?} executions/s, ${runs:-?} runs in ${seconds} s, peak ${peak:-?} MB, no fault"
done
