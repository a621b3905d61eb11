#!/usr/bin/env bash
# Whole-program figure of the Linux build: `morva HWSC` over the default map (MORVA_PORTS
# empty), on this machine as it is, normally with no device on any of the map's names. With an
# earlier build's morva as argument, the same figure for it, for a before-and-after.
# Usage: bench/default_map.sh [runs] [earlier morva]   (builds build/posix's morva)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-20}
before=${2:-}

cmake --build build/posix --target morva >/dev/null

. bench/mean_ms.sh

names=0 placeholders=0
for block in ttyS ttyUSB ttyACM ttyAMA; do
    for n in $(seq 0 31); do
        [ -e "/dev/$block$n" ] || continue
        names=$((names + 1))
        if [ "$(cat "/sys/class/tty/$block$n/type" 2>/dev/null)" = 0 ]; then
            placeholders=$((placeholders + 1))
        fi
    done
done
echo "== morva HWSC, default map ($runs runs each; $names of the map's names exist here," \
    "$placeholders of them placeholders without a UART)"
export MORVA_PORTS=
echo "this build:    $(mean_ms build/posix/morva HWSC) ms ($(build/posix/morva HWSC | head -1))"
if [ -n "$before" ]; then
    echo "earlier build: $(mean_ms "$before" HWSC) ms ($("$before" HWSC | head -1))"
fi
