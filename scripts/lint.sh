#!/usr/bin/env bash
# Static checks: clang-format (the committed .clang-format) over the C++ of src/, sim/, tests/,
# bench/ and fuzz/; clang-tidy (checks in .clang-tidy) and cppcheck over src/. Fails on any
# finding.
# clang-tidy reads the compile commands of the two builds: the POSIX build for the shared and
# POSIX sources, the MinGW-w64 build (as clang's x86_64-w64-mingw32 target) for *_win.cpp.
# MORVA_POSIX_BUILD and MORVA_WINDOWS_BUILD name other build folders than the presets'.
set -euo pipefail
cd "$(dirname "$0")/.."

posix_build=${MORVA_POSIX_BUILD:-build/posix}
windows_build=${MORVA_WINDOWS_BUILD:-build/windows}
[ -f "$posix_build/compile_commands.json" ] || cmake --preset posix >/dev/null
[ -f "$windows_build/compile_commands.json" ] || cmake --preset windows >/dev/null

status=0

mapfile -t formatted < <(find src sim tests bench fuzz -name '*.cpp' -o -name '*.h' | sort)
echo "clang-format: ${#formatted[@]} files"
if ! clang-format --dry-run --Werror "${formatted[@]}"; then
    status=1
fi

# Clang finds the MinGW-w64 headers by the target, but not the C++ library of the posix
# variant of the cross compiler: ask that compiler where its C++ headers are.
cross=$(sed -n 's/^ *"command": "\([^ ]*\) .*/\1/p' "$windows_build/compile_commands.json" | head -1)
cross_args=()
while read -r dir; do
    cross_args+=("--extra-arg-before=-isystem$dir")
done < <(echo | "$cross" -xc++ -E -v - 2>&1 |
    sed -n '/#include <...> search starts/,/End of search/p' | grep '/c++')

mapfile -t posix_sources < <(ls src/*/*.cpp | grep -v '_win\.cpp$')
mapfile -t windows_sources < <(ls src/*/*_win.cpp)

echo "clang-tidy: ${#posix_sources[@]} POSIX and shared files, ${#windows_sources[@]} Windows files"
if ! printf '%s\n' "${posix_sources[@]}" |
    xargs -P2 -n4 clang-tidy --quiet -p "$posix_build" 2>/dev/null; then
    status=1
fi
if ! printf '%s\n' "${windows_sources[@]}" |
    xargs -P2 -n2 clang-tidy --quiet -p "$windows_build" "${cross_args[@]}" 2>/dev/null; then
    status=1
fi

echo "cppcheck: src/"
if ! cppcheck --enable=warning,performance,portability --error-exitcode=1 --inline-suppr \
    --std=c++17 --language=c++ -q -j2 -I src \
    --template='{file}:{line}:{column}: {severity}: {message} [{id}]' src; then
    status=1
fi

if [ "$status" -ne 0 ]; then
    echo "lint: findings above"
else
    echo "lint: clean"
fi
exit "$status"
