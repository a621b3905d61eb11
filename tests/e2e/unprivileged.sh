#!/usr/bin/env bash
# Runs end-to-end rows once more as an unprivileged user, so that none of them passes or fails
# only because of who runs it: the rows that need root must skip, and every other row must
# pass. As root, after the posix and windows builds:
#   tests/e2e/unprivileged.sh [gtest filter]     (default: the settings, update and record rows)
# The user (nobody) may not reach the build tree: it runs copies of the programs at their build
# paths below a folder of its own (MORVA_TEST_PROGRAM_ROOT), with a Wine prefix of its own.
set -euo pipefail
cd "$(dirname "$0")/../.."
filter=${1:-'*Settings*:*Update*:*Record*:*Names*:*ProgramsOnComPorts*'}
user=nobody
group=$(id -gn "$user")
[ "$(id -u)" -eq 0 ] || { echo "unprivileged.sh: run it as root (it becomes $user)" >&2; exit 2; }

cached() { sed -n "s/^$1:[A-Z]*=//p" build/posix/CMakeCache.txt; }
posix_dir=$(cached morva_BINARY_DIR)
windows_exe=$(cached MORVA_WINDOWS_EXE)
# What the rows run or read besides the test program: both builds' programs, the port list,
# the driver model, a program that holds a lock, and the script that reads run records back.
programs=("$posix_dir/tests/e2e/e2e_tests" "$posix_dir/morva" "$windows_exe"
    "$(dirname "$windows_exe")/morva-ports.exe"
    "$(dirname "$windows_exe")/sim/tarvex-sim.exe"
    "$(dirname "$windows_exe")/tests/drivers/morva-model.exe"
    "$(dirname "$windows_exe")/tests/drivers/morva-lock-holder.exe"
    "$(cached morva_SOURCE_DIR)/tests/e2e/record_lines.py")

work=$(mktemp -d)
cleanup() {
    as_user "$work/wine_prefix.sh" cleanup "$work/wine" || true
    rm -rf "$work"
}
as_user() {
    setpriv --reuid="$user" --regid="$group" --clear-groups --reset-env \
        env HOME="$work/home" MORVA_TEST_WINEPREFIX="$work/wine" \
        MORVA_TEST_PROGRAM_ROOT="$work/programs" "$@"
}
trap cleanup EXIT
for program in "${programs[@]}"; do
    mkdir -p "$work/programs$(dirname "$program")"
    cp "$program" "$work/programs$program"
done
cp tests/e2e/wine_prefix.sh "$work/"
mkdir "$work/home"
chown -R "$user:$group" "$work"

echo "unprivileged.sh: end-to-end rows $filter as user $user"
as_user "$work/wine_prefix.sh" setup "$work/wine"
as_user "$work/programs${programs[0]}" --gtest_filter="$filter"
