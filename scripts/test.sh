#!/usr/bin/env bash
# Sets up, builds both programs and runs every test, stage by stage. Each stage says when it
# starts; at the end, or at the first stage that fails, one line per stage tells what became of
# it (passed, failed, or skipped and why), with what the stage counted.
set -euo pipefail
cd "$(dirname "$0")/.."

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}
build() {
    cmake --preset "$1"
    cmake --build --preset "$@"
}

names=() commands=()
stage() {
    names+=("$1")
    shift
    commands+=("$(printf '%q ' "$@")")
}
stage "set-up" scripts/setup.sh test
stage "Windows build" build windows
stage "32-bit Windows build" build windows32
stage "Linux build" build posix
stage "every test (ctest --preset posix)" ctest --preset posix
# The Windows builds' unit tests under Wine (the 32-bit ones where Wine has its 32-bit side).
stage "Windows unit tests under Wine" ctest --preset windows
stage "32-bit Windows unit tests under Wine" ctest --preset windows32
# Both builds against a device whose faults are drawn at random, each run checked by an oracle;
# a fresh seed each time, printed so that a failure can be replayed.
seed=${CAMPAIGN_SEED:-$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')}
stage "random fault campaign (bench/campaign.sh, seed $seed)" \
    bench/campaign.sh "${CAMPAIGN_RUNS:-300}" "$seed"
# The Linux build in a virtual machine, against the kernel's drivers of real serial ports.
stage "UART rig (scripts/uart-vm.sh)" scripts/uart-vm.sh
# The packages, made as a release would make them, installed and run as their users would.
stage "packages (scripts/package.sh)" scripts/package.sh
stage "package tests (as root)" as_root tests/package/test_packages.sh
# Hardening: the whole suite again on a build with AddressSanitizer and UndefinedBehaviorSanitizer
# (the end-to-end tests then run the sanitized morva), a bounded fuzzing run of every libFuzzer
# target, and the static checks.
stage "sanitizer build" build sanitize -j 2
stage "every test on the sanitizer build" ctest --preset sanitize
stage "fuzzing (scripts/fuzz.sh 30)" scripts/fuzz.sh 30
stage "lint (scripts/lint.sh)" scripts/lint.sh

# What a stage's output counted: CTest's tally and its disabled tests, else its last line.
counts() {
    local tally disabled
    tally=$(grep -E '^[0-9]+% tests passed' "$1" | tail -1 || true)
    disabled=$(grep -c '\*\*\*Not Run (Disabled)' "$1" || true)
    if [ -n "$tally" ] || [ "$disabled" -gt 0 ]; then
        [ "$disabled" -gt 0 ] && tally+="${tally:+, }$disabled disabled (no Wine for this build here)"
        echo "$tally"
    else
        grep -v '^[[:space:]]*$' "$1" | tail -1 | cut -c1-120 || true
    fi
}

logs=build/test-logs
rm -rf "$logs"
mkdir -p "$logs"
total=${#names[@]}
results=()
status=0
for ((i = 0; i < total; i++)); do
    if [ "$status" -ne 0 ]; then
        results+=("skipped  ${names[$i]}: not run, since an earlier stage failed")
        continue
    fi
    echo "==== test.sh: stage $((i + 1))/$total: ${names[$i]}"
    log=$logs/$((i + 1)).log
    started=$SECONDS
    set +e
    (set -e && eval "${commands[$i]}") 2>&1 | tee "$log"
    rc=${PIPESTATUS[0]}
    set -e
    took="$((SECONDS - started)) s"
    if [ "$rc" -eq 0 ]; then
        results+=("passed   ${names[$i]} ($took): $(counts "$log")")
    else
        results+=("FAILED   ${names[$i]} ($took, exit code $rc): $(counts "$log")")
        status=1
    fi
done

echo "==== test.sh: summary (each stage's output is in $logs/)"
printf '%s\n' "${results[@]}"
[ "$status" -eq 0 ] && echo "test.sh: every stage passed" || echo "test.sh: a stage failed"
exit "$status"
