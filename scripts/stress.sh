#!/usr/bin/env bash
# The test suite's verdict under load: runs the CTest suite N times on the normal build and N
# times on the sanitizer build, each run beside CPU hogs (six a core unless HOGS says how
# many), and prints each run's tally and every test that failed in it.
#   scripts/stress.sh [N] [posix|sanitize ...]    (default: 10, both builds)
# SIDE_BY_SIDE=1 runs the builds' series at once beside the same hogs (the whole takes about as
# long as the slowest series alone, since the hogs set the load).
# Builds what is missing first (scripts/test.sh sets the machine up). Exits 0 only when every
# run passed.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-10}
shift || true
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(posix sanitize)
hogs=${HOGS:-$((6 * $(nproc)))}

hog_pids=()
stop_hogs() {
    [ ${#hog_pids[@]} -eq 0 ] || kill "${hog_pids[@]}" 2>/dev/null || true
    hog_pids=()
}
trap stop_hogs EXIT

# Logs of earlier runs stay; every run's line is added to runs.txt too, so that runs on
# several days add up to one record.
logs=build/stress-logs
mkdir -p "$logs"
stamp=$(date -u +%Y%m%dT%H%M%S)
# The end-to-end rows run the Windows programs under Wine beside the Linux ones.
for preset in windows windows32 "${presets[@]}"; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" >/dev/null
done

for ((h = 0; h < hogs; h++)); do
    (while :; do :; done) &
    hog_pids+=($!)
done
echo "stress: $hogs CPU hogs beside the suite, $runs runs on each of: ${presets[*]}"

# One build's series; its count of failed runs goes to a file, so that series run side by side
# can be added up.
series() {
    local preset=$1 failed=0 i log started status tally line
    for ((i = 1; i <= runs; i++)); do
        log=$logs/$stamp-$preset-$i.log
        started=$SECONDS
        status=0
        ctest --preset "$preset" >"$log" 2>&1 || status=$?
        tally=$(grep -E '^[0-9]+% tests passed' "$log" | tail -1 || true)
        line="stress: $preset run $i/$runs ($((SECONDS - started)) s, load $(cut -d' ' -f1 /proc/loadavg)): ${tally:-no tally, exit code $status}"
        echo "$line"
        echo "$stamp $(git rev-parse --short HEAD 2>/dev/null || echo -) $line" >>"$logs/runs.txt"
        if [ "$status" -ne 0 ]; then
            failed=$((failed + 1))
            sed -n '/The following tests FAILED:/,$p' "$log" | grep -E '^[[:space:]]+[0-9]+ - ' |
                sed "s/^/stress:     $preset failed: /" | tee -a "$logs/runs.txt" || true
        fi
    done
    echo "$failed" >"$logs/$stamp-$preset.failed"
}

series_pids=()
for preset in "${presets[@]}"; do
    if [ "${SIDE_BY_SIDE:-0}" = 1 ]; then
        series "$preset" &
        series_pids+=($!)
    else
        series "$preset"
    fi
done
[ ${#series_pids[@]} -eq 0 ] || wait "${series_pids[@]}" || true

# A series that did not leave its count (killed, or ctest missing) counts as all runs failed.
failed_runs=0
for preset in "${presets[@]}"; do
    count=$(cat "$logs/$stamp-$preset.failed" 2>/dev/null || echo "$runs")
    failed_runs=$((failed_runs + count))
done
stop_hogs

total=$((runs * ${#presets[@]}))
echo "stress: $((total - failed_runs)) of $total loaded runs passed (logs in $logs/)"
[ "$failed_runs" -eq 0 ]
