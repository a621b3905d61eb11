#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks, for one use of it:
#   scripts/setup.sh demo   the compiler, CMake and Ninja, for scripts/demo.sh
#   scripts/setup.sh [test] everything to build, test and package both programs (the default)
# Nothing is missing on a machine set up before: then it calls neither apt nor sudo.
set -euo pipefail
cd "$(dirname "$0")/.."

profile=${1:-test}
# The posix preset's configuration looks for GoogleTest; the demo's sample firmware needs
# srec_cat.
demo_packages=(cmake ninja-build g++ libgtest-dev srecord)
test_packages=(
    "${demo_packages[@]}" googletest
    g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine wine64
    time clang libclang-rt-14-dev clang-tidy clang-format cppcheck
    qemu-system-x86 linux-image-amd64 busybox-static
    dpkg-dev icoutils lintian devscripts socat
    g++-mingw-w64-i686-posix mingw-w64-i686-dev
)
# The demo does without what its packages only recommend (image libraries, manual pages).
case "$profile" in
demo) packages=("${demo_packages[@]}") install_options=(--no-install-recommends) ;;
test) packages=("${test_packages[@]}") install_options=() ;;
*)
    echo "usage: $0 [demo|test]" >&2
    exit 2
    ;;
esac

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}
# sudo resets the environment: the front end is set behind it, so that apt asks nothing.
apt_get() { as_root env DEBIAN_FRONTEND=noninteractive apt-get -y -q "$@"; }
# A mirror that fails now and then: a failed index or download is tried once more.
apt_update() {
    apt_get update && return 0
    echo "setup: a package index failed to download (above); trying once more" >&2
    apt_get update ||
        echo "setup: a package index failed to download again; harmless: apt installs from the indexes it has, and says below if a package is then missing" >&2
}
apt_install() {
    apt_get install "$@" && return 0
    echo "setup: the install failed (above); refreshing the indexes and trying once more" >&2
    apt_update
    apt_get install "$@"
}

# Whether this kernel runs 32-bit x86 programs, asked of the kernel itself with a tiny static
# i386 program that exits with 42 (no 32-bit library needed). Where it cannot, nothing 32-bit
# is installed: Wine's 32-bit side would stop Wine as a whole there (its loader is a 32-bit
# program), and the 32-bit Windows tests then show as disabled, never as passed.
runs_32bit() {
    mkdir -p build
    local probe
    probe=$(mktemp build/probe-i386.XXXXXX)
    printf '\177ELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\010\64\0\0\0' >"$probe"
    printf '\0\0\0\0\0\0\0\0\64\0\40\0\1\0\0\0\0\0\0\0\1\0\0\0\0\0\0\0\0\200\4\010' >>"$probe"
    printf '\0\200\4\010\135\0\0\0\135\0\0\0\5\0\0\0\0\20\0\0' >>"$probe"
    printf '\61\333\263\52\61\300\100\315\200' >>"$probe"  # exit(42) through int 0x80
    chmod +x "$probe"
    local status=0
    "$probe" 2>/dev/null || status=$?
    rm -f "$probe"
    [ "$status" -eq 42 ]
}

missing=()
for p in "${packages[@]}"; do
    installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    apt_update
    apt_install "${install_options[@]}" "${missing[@]}"
fi

if [ "$profile" = test ] && runs_32bit; then
    missing32=()
    for p in libc6:i386 wine32:i386; do
        installed "$p" || missing32+=("$p")
    done
    if [ ${#missing32[@]} -gt 0 ]; then
        echo "setup: this kernel runs 32-bit programs: installing ${missing32[*]}"
        if ! dpkg --print-foreign-architectures | grep -qx i386; then
            as_root dpkg --add-architecture i386
            apt_update
        fi
        apt_install "${missing32[@]}" ||
            echo "setup: Wine's 32-bit side did not install (above)" >&2
    fi
    # The kernel runs 32-bit code, so the 32-bit build's tests must run: asked of Wine itself.
    # A set-up that cannot make them run fails here, and the test command's summary says so.
    probe_status=0
    scripts/wine32-probe.sh build/wine32-probe || probe_status=$?
    if [ "$probe_status" -eq 1 ]; then
        echo "setup: FAILED: this kernel runs 32-bit programs, but Wine does not run a 32-bit Windows program (scripts/wine32-probe.sh), so the 32-bit build's tests could not run; install wine32:i386 by hand (its dependencies must match the 64-bit side's versions) and run the set-up again" >&2
        exit 1
    fi
fi
