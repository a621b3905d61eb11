#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build, test and package morva (both builds).
set -euo pipefail

packages=(
    cmake ninja-build g++ googletest libgtest-dev
    g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine wine64
    srecord time clang libclang-rt-14-dev clang-tidy clang-format cppcheck
    qemu-system-x86 linux-image-cloud-amd64 busybox-static
    dpkg-dev icoutils lintian devscripts
    g++-mingw-w64-i686-posix mingw-w64-i686-dev libc6:i386
)

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
# The 32-bit Windows build runs its tests under Wine's 32-bit side (wine32:i386), on machines
# whose kernel runs 32-bit programs: elsewhere wine32 would stop Wine as a whole (its loader is
# a 32-bit program), so it is installed only once a 32-bit program is seen to run.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo[@]}" dpkg --add-architecture i386
fi
runs_32bit() { [ -e /lib/ld-linux.so.2 ] && /lib/ld-linux.so.2 --version >/dev/null 2>&1; }
runs_32bit && packages+=(wine32:i386)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q "${missing[@]}"
# Where libc6:i386 has just come: wine32 follows if 32-bit programs run.
if runs_32bit && ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "ok installed"; then
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q wine32:i386
fi
