#!/usr/bin/env bash
# Sets up, builds both programs and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
for preset in windows windows32; do
    cmake --preset "$preset"
    cmake --build --preset "$preset"
done
cmake --preset posix
cmake --build --preset posix
ctest --preset posix
# The Windows builds' unit tests under Wine (the 32-bit ones where Wine has its 32-bit side).
ctest --preset windows
ctest --preset windows32
# The Linux build in a virtual machine, against the kernel's driver of a real UART.
scripts/uart-vm.sh

# The packages, made as a release would make them, installed and run as their users would.
scripts/package.sh
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
"${sudo[@]}" tests/package/test_packages.sh

# Hardening: the whole suite again on a build with AddressSanitizer and UndefinedBehaviorSanitizer
# (the end-to-end tests then run the sanitized morva), a bounded fuzzing run of every libFuzzer
# target, and the static checks.
cmake --preset sanitize
cmake --build --preset sanitize -j 2
ctest --preset sanitize
scripts/fuzz.sh 30
scripts/lint.sh
