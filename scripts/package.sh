#!/usr/bin/env bash
# Builds the release programs and makes the packages into dist/:
#   morva-<version>-win64.zip           morva.exe, README.txt, WINDOWS.txt
#   morva-<version>-win32.zip            the same for 32-bit Windows
#   morva_<version>_amd64.deb            /opt/morva/bin (morva, morva-ports, tarvex-sim, morva.ini), manual pages
#   morva-<version>-linux-x86_64.tar.gz  the same tree to unpack anywhere
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
dist=$PWD/dist
rm -rf "$dist" build/windows/dist build/windows32/dist build/release/dist
for preset in windows windows32; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" --target packaged_programs
done
cmake --preset release >/dev/null
cmake --build --preset release
for preset in windows windows32 release; do
    cpack --preset "$preset" -B "$dist"
done
rm -rf "$dist/_CPack_Packages"
ls -l "$dist"
