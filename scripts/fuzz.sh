#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz preset) and runs each for a bounded time, default 30 s.
# Fails when a target finds a crash, a sanitizer report, a leak or a hang; the input that
# caused it is kept in build/fuzz/run/artifacts/<target>/ (replay: the target with that file).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-30}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j 2

work=$root/build/fuzz/run
rm -rf "$work/tmp"
mkdir -p "$work/tmp"

# Longest input per target: a command line with a reply script, one S-record line, a firmware
# file of a few dozen lines, one exchange of a full reply in pieces, a settings file.
declare -A max_len=([front]=2048 [srecord]=320 [firmware_file]=4096 [transact]=1024 [profile]=4096)
targets=(front srecord firmware_file transact profile)

failed=()
for target in "${targets[@]}"; do
    corpus=$work/corpus/$target
    artifacts=$work/artifacts/$target
    log=$work/$target.log
    mkdir -p "$corpus" "$artifacts"
    options=(-max_total_time="$seconds" -max_len="${max_len[$target]}" -timeout=10
             -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/")
    if [ -f "$root/fuzz/$target.dict" ]; then
        options+=(-dict="$root/fuzz/$target.dict")
    fi
    # New inputs go to the work corpus; the seeds in the repository are only read.
    if TMPDIR=$work/tmp UBSAN_OPTIONS=print_stacktrace=1 \
        "$root/build/fuzz/fuzz/fuzz_$target" "${options[@]}" "$corpus" "$root/fuzz/corpus/$target" \
        >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
        took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log")
        echo "fuzz_$target: ${runs:-?} runs in ${took:-?} s (${rate:-?}/s), no fault"
    else
        echo "fuzz_$target: FAULT FOUND (log: $log)"
        grep -E "^(==[0-9]+==ERROR|SUMMARY|.*runtime error|artifact_prefix|Test unit written)" \
            "$log" | head -20 || tail -30 "$log"
        failed+=("$target")
    fi
done
rm -rf "$work/tmp"

if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzzing found faults in: ${failed[*]}"
    exit 1
fi
