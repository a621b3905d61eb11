#!/bin/sh
# Whether Wine runs 32-bit Windows programs on this machine: a tiny one, built with the 32-bit
# MinGW-w64 compiler, is run under Wine in a prefix of its own and must print its line. Exits
# 0 when it does, 1 when it does not, 2 when there is no compiler or no Wine to ask.
#   scripts/wine32-probe.sh FOLDER     (keeps the program and its Wine prefix there)
set -u
folder=${1:?usage: $0 FOLDER}
command -v i686-w64-mingw32-gcc >/dev/null 2>&1 && command -v wine >/dev/null 2>&1 || exit 2
mkdir -p "$folder"
folder=$(cd "$folder" && pwd)  # Wine takes only an absolute prefix
line="a 32-bit program runs under Wine"
if [ ! -f "$folder/probe.exe" ]; then
    printf '#include <stdio.h>\nint main(void) { puts("%s"); return 0; }\n' "$line" >"$folder/probe.c"
    i686-w64-mingw32-gcc -o "$folder/probe.exe" "$folder/probe.c" 2>/dev/null || exit 2
fi
unset LANG LANGUAGE
out=$(WINEPREFIX="$folder/prefix" WINEDEBUG=-all LC_ALL=C.UTF-8 timeout 300 wine "$folder/probe.exe" 2>/dev/null)
WINEPREFIX="$folder/prefix" wineserver -k >/dev/null 2>&1
case "$out" in
*"$line"*) exit 0 ;;
*) exit 1 ;;
esac
