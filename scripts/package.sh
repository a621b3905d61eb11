#!/usr/bin/env bash
# Builds the release programs and makes the packages into dist/:
#   morva-<version>-win64.zip           morva.exe, README.txt, WINDOWS.txt
#   morva_<version>_amd64.deb            /opt/morva/bin (morva, tarvex-sim, morva.ini), manual pages
#   morva-<version>-linux-x86_64.tar.gz  the same tree to unpack anywhere
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
dist=$PWD/dist
rm -rf "$dist" build/windows/dist build/release/dist
cmake --preset windows >/dev/null
cmake --build --preset windows --target morva
cmake --preset release >/dev/null
cmake --build --preset release
for preset in windows release; do
    cpack --preset "$preset" -B "$dist"
done
rm -rf "$dist/_CPack_Packages"
ls -l "$dist"
