#!/usr/bin/env bash
# Sets up and builds morva, starts a simulated Tarvex device on COM3 and lets morva talk to it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh demo
cmake --preset posix >/dev/null
cmake --build --preset posix --target morva tarvex-sim

work=$(mktemp -d)
sim_pid=
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/ports" "$work/bin"
cp build/posix/morva "$work/bin/morva"
export MORVA_PORTS="$work/ports"

build/posix/sim/tarvex-sim --dir "$MORVA_PORTS" --port 3 > "$work/sim.out" &
sim_pid=$!
for _ in $(seq 100); do [ -e "$MORVA_PORTS/com3" ] && break; sleep 0.05; done
cat "$work/sim.out"

show() {
    echo
    echo "\$ morva $*"
    set +e
    "$work/bin/morva" "$@"
    echo "[exit code $?]"
    set -e
}

show -c 3 UTID
show -v -c 3 UTID
show -c 3 NOSUCH
show -c 7 UTID
show HWSC
show SCOM 3
show SCOM
show UTID

# Firmware update with a generated sample file, on the port stored by SCOM above: the test pass
# alone, then the test pass and the flash pass.
scripts/make-sample-firmware.sh "$work/sample.mot"
echo
echo "\$ cat sample.mot"
cat "$work/sample.mot"
cd "$work"
show UPDT sample.mot
show UPDT -w sample.mot
