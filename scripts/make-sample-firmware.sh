#!/bin/sh
# Writes a small Tarvex firmware file for demos and benchmarks: a "KRT07Q_" S0 header, S1 data
# records and an S9 end record (no S5 count record), the same bytes on every run.
# Usage: scripts/make-sample-firmware.sh [output] [data bytes] [bytes per record]
#        (defaults: sample.mot, 256, 16; at most 65536 bytes, the 16-bit S1 address range)
set -eu

output=${1:-sample.mot}
size=${2:-256}
record=${3:-16}

command -v srec_cat >/dev/null || { echo "missing srec_cat (apt-get install srecord)" >&2; exit 1; }
case "$size$record" in
*[!0-9]*) echo "usage: $0 [output] [data bytes] [bytes per record]" >&2; exit 2 ;;
esac
if [ "$size" -lt 1 ] || [ "$size" -gt 65536 ] || [ "$record" -lt 1 ] || [ "$record" -gt 122 ]; then
    echo "$0: data bytes 1 to 65536, bytes per record 1 to 122 (lines up to 254 characters)" >&2
    exit 2
fi

srec_cat -generate 0 "$size" -repeat-string "Tarvex sample firmware " \
    -o "$output" -motorola -address-length=2 -obs="$record" -disable=data-count \
    -header "KRT07Q_SAMPLE" -execution-start-address=0
