#!/usr/bin/env bash
# Sets up, builds both programs and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset windows
cmake --build --preset windows
cmake --preset posix
cmake --build --preset posix
ctest --preset posix
