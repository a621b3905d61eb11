#!/usr/bin/env bash
# Whole-program figures on both builds: one exchange with a simulated device that answers at
# once (a run of "-c 3 UTID" less a run that only prints the usage text, i.e. the start-up),
# and a scan over 256 ports with no device at all.
# Usage: bench/exchange.sh [runs]   (builds from build/posix and build/windows)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-20}

cmake --build build/posix --target morva tarvex-sim exchange_bench >/dev/null
cmake --build build/windows --target morva >/dev/null

work=$(mktemp -d)
sim_pid=
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    WINEPREFIX="$work/wine" wineserver -k >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/ports" "$work/empty" "$work/wine"

# shellcheck source=bench/mean_ms.sh
source bench/mean_ms.sh

echo "== in-process (Linux build)"
build/posix/bench/exchange_bench 300

echo "== whole program, Linux build ($runs runs each)"
build/posix/sim/tarvex-sim --dir "$work/ports" --port 3 >/dev/null &
sim_pid=$!
for _ in $(seq 100); do [ -e "$work/ports/com3" ] && break; sleep 0.05; done
export MORVA_PORTS="$work/ports"
ex=$(mean_ms build/posix/morva -c 3 UTID)
st=$(mean_ms build/posix/morva)
echo "morva -c 3 UTID: $ex ms; start-up alone: $st ms; exchange: $(awk "BEGIN{printf \"%.2f\", $ex-$st}") ms"
export MORVA_PORTS="$work/empty"
echo "morva HWSC, no device: $(mean_ms build/posix/morva HWSC) ms"
kill "$sim_pid"; wait "$sim_pid" 2>/dev/null || true; sim_pid=

echo "== whole program, Windows build under Wine ($runs runs each)"
export WINEPREFIX="$work/wine" WINEDEBUG=-all
wineserver -p </dev/null >/dev/null 2>&1
wineboot -i >/dev/null 2>&1
rm -f "$WINEPREFIX"/dosdevices/com*
cp build/windows/morva.exe "$work/morva.exe"
build/posix/sim/tarvex-sim --dir "$WINEPREFIX/dosdevices" --port 3 >/dev/null &
sim_pid=$!
for _ in $(seq 100); do [ -e "$WINEPREFIX/dosdevices/com3" ] && break; sleep 0.05; done
wine "$work/morva.exe" -c 3 UTID >/dev/null
ex=$(mean_ms wine "$work/morva.exe" -c 3 UTID)
st=$(mean_ms wine "$work/morva.exe")
echo "morva.exe -c 3 UTID: $ex ms; start-up alone: $st ms; exchange: $(awk "BEGIN{printf \"%.2f\", $ex-$st}") ms"
kill "$sim_pid"; wait "$sim_pid" 2>/dev/null || true; sim_pid=
hw=$(mean_ms wine "$work/morva.exe" HWSC)
echo "morva.exe HWSC, no device: $hw ms (start-up alone: $st ms)"
