#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build, test and package morva (both builds).
set -euo pipefail

packages=(
    cmake ninja-build g++ googletest libgtest-dev
    g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine wine64
    srecord time clang libclang-rt-14-dev clang-tidy clang-format cppcheck
    qemu-system-x86 linux-image-amd64 busybox-static
    dpkg-dev icoutils lintian devscripts socat
    g++-mingw-w64-i686-posix mingw-w64-i686-dev
)

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    # A mirror that fails one index (of another architecture) must not stop the rest.
    "${sudo[@]}" apt-get update -q || echo "setup: some package indexes failed; going on" >&2
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q "${missing[@]}"
fi

# The 32-bit Windows build runs its tests under Wine's 32-bit side (wine32:i386), on machines
# whose kernel runs 32-bit programs: elsewhere wine32 would stop Wine as a whole (its loader is
# a 32-bit program), so it is installed only once a 32-bit program is seen to run. Best effort:
# without it the 32-bit rows show as disabled, never as passed.
runs_32bit() { [ -e /lib/ld-linux.so.2 ] && /lib/ld-linux.so.2 --version >/dev/null 2>&1; }
if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "ok installed"; then
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        "${sudo[@]}" dpkg --add-architecture i386
        "${sudo[@]}" apt-get update -q || true
    fi
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q libc6:i386 || true
    if runs_32bit; then
        DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q wine32:i386 || true
    fi
fi
