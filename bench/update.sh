#!/usr/bin/env bash
# Time of the UPDT test pass on both builds against a simulated device (bench/update_bench.cpp):
# per exchange against the 10 ms floor with a device that answers at once, and the whole pass
# against the wire time of its bytes on an emulated 9600-baud line. The Windows build runs
# under Wine in a throwaway prefix with a persistent wineserver.
# Usage: bench/update.sh [runs] [posix build] [windows build]
#        (defaults: 3, build/posix, build/windows beside this folder)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
posix=${2:-build/posix}
windows=${3:-build/windows}

cmake --build "$posix" --target morva update_bench >/dev/null
cmake --build "$windows" --target morva >/dev/null

work=$(mktemp -d)
cleanup() {
    WINEPREFIX="$work/wine" wineserver -k >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/ports" "$work/wine"

echo "== Linux build: $posix/morva"
"$posix/bench/update_bench" "$work/ports" "$runs" "$PWD/$posix/morva"

echo
echo "== Windows build under Wine: $windows/morva.exe"
export WINEPREFIX="$work/wine" WINEDEBUG=-all
wineserver -p </dev/null >/dev/null 2>&1
wineboot -i >/dev/null 2>&1
rm -f "$WINEPREFIX"/dosdevices/com*
cp "$windows/morva.exe" "$work/morva.exe"
"$posix/bench/update_bench" "$WINEPREFIX/dosdevices" "$runs" wine "$work/morva.exe"
