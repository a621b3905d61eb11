#!/bin/bash
# The random fault campaign: RUNS seeded runs of each build against the random device, each
# checked against an independent oracle. Exits 0 only when no run disagrees.
#   bench/campaign.sh RUNS SEED [posix|windows]...   (default: both builds where they run)
#   bench/campaign.sh --replay BUILD RUN_SEED        (one run alone, with what it did)
# JOBS sets the runs at a time (default: twice the cores).
set -u
cd "$(dirname "$0")/.."
here=bench
posix=build/posix
windows=build/windows
# Builds the preset's programs when one is missing.
need() {
    [ -x "build/$1/$2" ] || { cmake --preset "$1" >/dev/null && cmake --build --preset "$1" >/dev/null; } ||
        { echo "campaign: cannot build $1" >&2; exit 2; }
}
flags() {
    case "$1" in
    posix) need posix morva && need posix sim/tarvex-sim
           echo "--build posix --morva $posix/morva --sim $posix/sim/tarvex-sim" ;;
    windows) need windows tests/drivers/morva-model.exe && need posix sim/tarvex-sim
             echo "--build windows --morva $windows/morva.exe --sim $posix/sim/tarvex-sim" \
                  "--model $windows/tests/drivers/morva-model.exe" ;;
    esac
}
if [ "${1:-}" = --replay ]; then
    [ $# -eq 3 ] || { echo "usage: $0 --replay posix|windows RUN_SEED" >&2; exit 2; }
    # shellcheck disable=SC2046
    exec python3 "$here/campaign_run.py" $(flags "$2") --replay "$3"
fi
[ $# -ge 2 ] || { echo "usage: $0 RUNS SEED [posix|windows]..." >&2; exit 2; }
runs=$1 seed=$2
shift 2
builds=("$@")
if [ ${#builds[@]} -eq 0 ]; then
    builds=(posix)
    if command -v wine >/dev/null 2>&1 && command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1; then
        builds+=(windows)
    else
        echo "campaign: no Wine or no MinGW here: the Windows build is left out"
    fi
fi
summary=$(mktemp)
trap 'rm -f "$summary"' EXIT
status=0
for build in "${builds[@]}"; do
    # shellcheck disable=SC2046
    python3 "$here/campaign_run.py" $(flags "$build") --runs "$runs" --seed "$seed" \
        --jobs "${JOBS:-$(($(nproc) * 2))}" --summary "$summary" --fixed "$here/campaign_seeds.txt" ||
        status=1
done
read -r total bad < <(awk '{r += $1; m += $2} END {print r + 0, m + 0}' "$summary")
echo "campaign: $total runs, $bad mismatches, seed $seed"
[ "$bad" -eq 0 ] && [ "$status" -eq 0 ]
