#!/bin/sh
# Usage: check_imports.sh <objdump> <morva.exe> <morva-model.exe>
# Passes when morva.exe imports every modelled kernel32 function and the model's program none.
set -u
objdump=$1 product=$2 model=$3
names="CreateFileA CloseHandle GetCommState SetCommState GetCommTimeouts SetCommTimeouts
PurgeComm ClearCommError ReadFile WriteFile"
imports() {
    "$objdump" -p "$1" | awk '/DLL Name:/ { dll = tolower($3) } dll == "kernel32.dll" && NF >= 3 { print $3 }'
}
product_imports=$(imports "$product") || exit 1
model_imports=$(imports "$model") || exit 1
status=0
for name in $names; do
    if ! printf '%s\n' "$product_imports" | grep -qx "$name"; then
        echo "morva.exe does not import $name: the list of modelled functions is out of date"
        status=1
    fi
    if printf '%s\n' "$model_imports" | grep -qx "$name"; then
        echo "the model's program imports $name from kernel32: the model is not in effect"
        status=1
    fi
done
[ "$status" = 0 ] && echo "the model takes all 10 imports"
exit "$status"
