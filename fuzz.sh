#!/usr/bin/env bash
# Runs every fuzz target (Tests/Fuzz) under ASan + UBSan, two at a time, each
# from its seed corpus plus what earlier runs found (build/asan/Tests/Fuzz/Corpus).
#   ./fuzz.sh              60 seconds per target
#   ./fuzz.sh 600          600 seconds per target
#   FUZZ_RUNS=10000000 ./fuzz.sh   10 million executions per target instead
# A crash, a leak, a sanitizer report or a broken check stops that target and
# leaves its input in build/asan/Tests/Fuzz/Findings; the script then exits 1.
set -euo pipefail
cd "$(dirname "$0")"

seconds=${1:-60}
./scripts/install-deps.sh
./scripts/checked-build.sh asan

dir=build/asan/Tests/Fuzz
mapfile -t targets < "$dir/Fuzzers.txt"
if [ -n "${FUZZ_RUNS:-}" ]; then
    limit=(-runs="$FUZZ_RUNS")
else
    limit=(-max_total_time="$seconds")
fi
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

run() {
    local t=$1
    mkdir -p "$dir/Corpus/$t" "$dir/Findings"
    "$dir/$t" "${limit[@]}" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
        -artifact_prefix="$dir/Findings/$t-" "$dir/Corpus/$t" "Tests/Fuzz/Corpus/$t" >"$dir/$t.log" 2>&1
}

failed=0
pids=()
for t in "${targets[@]}"; do
    run "$t" &
    pids+=($!)
    # Two at a time: one per core.
    if [ ${#pids[@]} -ge "$(nproc)" ]; then
        wait "${pids[0]}" || failed=1
        pids=("${pids[@]:1}")
    fi
done
for p in "${pids[@]}"; do
    wait "$p" || failed=1
done

for t in "${targets[@]}"; do
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/$t.log" | tail -1)
    secs=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$dir/$t.log" | tail -1)
    corpus=$(find "$dir/Corpus/$t" -type f | wc -l)
    if grep -qE "ERROR: |check failed|Test unit written|==[0-9]+==" "$dir/$t.log"; then
        verdict="FOUND A FAULT (see $dir/$t.log and $dir/Findings)"
        failed=1
    else
        verdict="nothing found"
    fi
    printf '%-18s %12s executions in %5s s, corpus %5s inputs: %s\n' "$t" "${runs:-?}" "${secs:-?}" "$corpus" "$verdict"
done
exit $failed
