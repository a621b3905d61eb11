#!/bin/sh
# Builds a large firmware file (16 MiB of data as S3 records of 32 bytes, with a KRT07Q_ header)
# and compares the firmware file check with srec_info on it: best wall time of several runs and
# peak memory. Peak memory is also taken for a 2.5 MB file (1 MiB of data) and a two-line file:
# constant memory means the same figure for the medium and the big file; the two-line file
# stays below them only by the pages of the 64 KiB read buffer that it never fills.
# Usage: bench/firmware_check.sh [build-folder]   (default: build/posix beside this folder)
set -eu

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build/posix}
runs=${RUNS:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for tool in srec_cat srec_info /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "missing $tool (apt-get install srecord time)"; exit 1; }
done

cmake --build "$build" -j2 --target firmware_check_bench >/dev/null
bench=$build/bench/firmware_check_bench

head -c 16777216 /dev/urandom >"$work/big.bin"
srec_cat "$work/big.bin" -binary -o "$work/big.mot" -motorola -address-length=4 -obs=32 \
    -header KRT07Q_BENCH -execution-start-address=0
head -c 1048576 "$work/big.bin" >"$work/medium.bin"
srec_cat "$work/medium.bin" -binary -o "$work/medium.mot" -motorola -address-length=4 -obs=32 \
    -header KRT07Q_BENCH -execution-start-address=0
printf 'S1050010AABB85\nS9030000FC\n' >"$work/tiny.mot"
echo "input: $(wc -l <"$work/big.mot") lines, $(wc -c <"$work/big.mot") bytes"

echo
echo "== CheckFirmwareFile: $bench big.mot $runs"
"$bench" "$work/big.mot" "$runs"

echo
echo "== peak memory (/usr/bin/time -v, maximum resident set size)"
for file in big medium tiny; do
    rss=$(/usr/bin/time -v "$bench" "$work/$file.mot" 1 2>&1 >/dev/null |
        sed -n 's/.*Maximum resident set size (kbytes): //p')
    echo "firmware_check_bench $file.mot: $rss KiB"
done
rss=$(/usr/bin/time -v srec_info "$work/big.mot" 2>&1 >/dev/null |
    sed -n 's/.*Maximum resident set size (kbytes): //p')
echo "srec_info big.mot: $rss KiB"

echo
echo "== srec_info big.mot, best of $runs runs"
best=
for run in $(seq "$runs"); do
    start=$(date +%s%N)
    srec_info "$work/big.mot" >/dev/null 2>&1
    took=$(( $(date +%s%N) - start ))
    best=$(( ${best:-$took} < took ? ${best:-$took} : took ))
done
awk -v ns="$best" -v bytes="$(wc -c <"$work/big.mot")" 'BEGIN {
    printf "srec_info best of %d runs %.4f s, %.1f MiB/s\n", '"$runs"', ns / 1e9, bytes / 1048576 / (ns / 1e9) }'
