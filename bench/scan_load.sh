#!/usr/bin/env bash
# The Linux build's scan on a busy machine: HWSC over 256 absent ports and over 16 simulated
# devices, with idle processes running, and then with more sessions (each with a pseudo-terminal
# as its controlling terminal) than morva's table of controlling terminals keeps.
# Usage: bench/scan_load.sh [runs] [processes] [sessions]   (builds from build/posix; the
# sessions need /dev/ptmx and as many pseudo-terminals free; MORVA_BENCH_EXE names another
# morva to measure)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-10}
processes=${2:-2000}
sessions=${3:-1100}

cmake --build build/posix --target morva tarvex-sim >/dev/null
morva=${MORVA_BENCH_EXE:-build/posix/morva}

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/ports" "$work/empty"

# Keeps `count` children alive (with a pseudo-terminal each as its controlling terminal when
# the second argument is "sessions") until it is ended; prints "ready" once they all run.
hold() {
    python3 - "$1" "$2" <<'EOF' &
import fcntl, os, signal, sys, termios
count, kind = int(sys.argv[1]), sys.argv[2]
children = []
for _ in range(count):
    pid = os.fork()
    if pid == 0:
        if kind == "sessions":
            master, slave = os.openpty()
            os.setsid()
            fcntl.ioctl(slave, termios.TIOCSCTTY, 0)
        signal.pause()
        os._exit(0)
    children.append(pid)
print("ready", flush=True)
def end(*_):
    for child in children:
        os.kill(child, signal.SIGKILL)
    os._exit(0)
signal.signal(signal.SIGTERM, end)
while True:
    signal.pause()
EOF
    pids+=($!)
}

# shellcheck source=bench/mean_ms.sh
source bench/mean_ms.sh

ports=()
for n in $(seq 1 16); do ports+=(--port "$n"); done
build/posix/sim/tarvex-sim --dir "$work/ports" "${ports[@]}" >/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -e "$work/ports/com16" ] && break; sleep 0.05; done

figures() {
    echo "$1: $(ls /proc | grep -c '^[0-9]') processes;" \
        "HWSC, no device: $(MORVA_PORTS="$work/empty" mean_ms "$morva" HWSC) ms;" \
        "HWSC, 16 devices: $(MORVA_PORTS="$work/ports" mean_ms "$morva" HWSC) ms"
}

figures "as the machine is"
hold "$processes" processes > "$work/processes.out"
for _ in $(seq 600); do grep -q ready "$work/processes.out" && break; sleep 0.1; done
figures "with $processes idle processes more"
hold "$sessions" sessions > "$work/sessions.out"
for _ in $(seq 600); do grep -q ready "$work/sessions.out" && break; sleep 0.1; done
figures "and $sessions sessions more"
