#!/usr/bin/env bash
# Tests the packages in dist/ (scripts/package.sh) as their users get them, against the
# simulator: SCOM 3, SCOM and a UTID exchange by the program of each package.
#   zips:   morva.exe (64-bit and 32-bit) unpacked to a fresh folder, started by its bare name
#           under Wine in a fresh prefix; its version resource and manifest read back from the file.
#   tar.gz: morva unpacked to a fresh folder, started by its full path.
#   deb:    lintian and hardening-check; installed with dpkg, morva started by its bare name
#           by new users, from a login shell and from an emptied environment: no settings file
#           before the first SCOM, then one port shared by the users in dialout and read-only
#           to the others; upgraded, removed and purged, which must leave nothing behind.
# Needs root (dpkg, useradd) and a machine without a morva package installed.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
dist=${1:-$root/dist}
version=$(sed -n 's/^project(morva VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
tgz=$dist/morva-$version-linux-x86_64.tar.gz
deb=$dist/morva_${version}_amd64.deb
user=morva-pkgtest
user2=morva-pkgtest2
outsider=morva-pkgtest3
identity=$'TARVEX-7310 V2.10\r\n'

[ "$(id -u)" -eq 0 ] || { echo "$0: needs root (dpkg, useradd)" >&2; exit 2; }
if dpkg-query -W -f='${Status}' morva 2>/dev/null | grep -q installed; then
    echo "$0: a morva package is installed on this machine; remove it first" >&2
    exit 2
fi

work=$(mktemp -d)
chmod 755 "$work"
sim_pids=()
installed=no
cleanup() {
    for pid in "${sim_pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
    [ -d "$work/wineprefix" ] && tests/e2e/wine_prefix.sh cleanup "$work/wineprefix"
    [ "$installed" = yes ] && dpkg --purge morva >/dev/null 2>&1
    for name in "$user" "$user2" "$outsider"; do
        id "$name" >/dev/null 2>&1 && userdel -r "$name" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT

failures=0
ok() { echo "ok: $*"; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() {  # check WHAT CONDITION...
    local what=$1
    shift
    if "$@"; then ok "$what"; else fail "$what"; fi
}

# expect WHAT CODE OUTPUT COMMAND...: the command's exit code and its whole standard output.
# Wine's console turns each "\n" into "\r\n": with WINE=1 that is undone first.
expect() {
    local what=$1 want_code=$2 want=$3 code=0
    shift 3
    "$@" >"$work/out" 2>"$work/err" || code=$?
    if [ "${WINE:-0}" = 1 ]; then sed -i 's/\r$//' "$work/out"; fi
    if [ "$code" -eq "$want_code" ] && cmp -s "$work/out" <(printf '%s' "$want"); then
        ok "$what"
    else
        local got
        got=$(cat "$work/out"; echo .)
        fail "$what: exit $code (expected $want_code), output $(printf '%q' "${got%.}") (expected $(printf '%q' "$want"))"
        sed 's/^/    stderr: /' "$work/err" | head -5
    fi
}

# start_sim FOLDER SIMULATOR [COMMAND...]: a simulated device on COM3, published in FOLDER,
# started through COMMAND (such as setpriv) when one is given.
start_sim() {
    local folder=$1 sim=$2
    shift 2
    "$@" "$sim" --dir "$folder" --port 3 >"$work/sim.out" 2>&1 &
    sim_pids+=($!)
    for _ in $(seq 100); do [ -e "$folder/com3" ] && return 0; sleep 0.05; done
    fail "simulator did not publish $folder/com3: $(cat "$work/sim.out")"
    return 1
}
stop_sims() {
    for pid in "${sim_pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true; done
    sim_pids=()
}

stored_port() {  # the port line of a settings file, line end aside
    tr -d '\r' <"$1" | grep -qx "port=$2"
}

for file in "$dist/morva-$version-win64.zip" "$dist/morva-$version-win32.zip" "$tgz" "$deb"; do
    [ -f "$file" ] || { echo "$0: missing $file (run scripts/package.sh)" >&2; exit 2; }
done

for bits in 64 32; do
    zip=$dist/morva-$version-win$bits.zip
    echo "== $(basename "$zip")"
    mkdir "$work/win$bits"
    (cd "$work/win$bits" && cmake -E tar xf "$zip")
    windir=$work/win$bits/morva-$version-win$bits
    check "zip holds morva.exe, morva-ports.exe, tarvex-sim.exe, README.txt, WINDOWS.txt, docs and nothing else" \
        test "$(cd "$windir" && ls | tr '\n' ' ')" = "README.txt WINDOWS.txt docs morva-ports.exe morva.exe tarvex-sim.exe "
    check "zip: docs holds the pages that README.txt links to" \
        test "$(cd "$windir/docs" && ls | tr '\n' ' ')" = "$(cd docs && ls | tr '\n' ' ')"
    machine=$(od -An -tx1 -j "$(($(od -An -tu4 -j 60 -N4 "$windir/morva.exe")))" -N6 \
        "$windir/morva.exe" | tr -d ' ')
    want_machine=$([ "$bits" = 64 ] && echo 504500006486 || echo 504500004c01)
    check "zip: morva.exe is a $bits-bit program" test "$machine" = "$want_machine"
    machine=$(od -An -tx1 -j "$(($(od -An -tu4 -j 60 -N4 "$windir/morva-ports.exe")))" -N6 \
        "$windir/morva-ports.exe" | tr -d ' ')
    check "zip: morva-ports.exe is a $bits-bit program" test "$machine" = "$want_machine"
    # Version resource: the strings in pairs (name, value) and the fixed numbers 4.0.0.0.
    strings_of=$(wrestool -x --raw -t 16 "$windir/morva.exe" | strings -e l | tr '\n' '|')
    for pair in "FileVersion|$version" "ProductVersion|$version" "ProductName|morva" \
        "FileDescription|morva console tool for Tarvex serial devices" \
        "OriginalFilename|morva.exe" "InternalName|morva"; do
        check "version resource: ${pair%%|*} = ${pair#*|}" grep -qF "|$pair|" <<<"|$strings_of"
    done
    fixed=$(wrestool -x --raw -t 16 "$windir/morva.exe" | od -An -tx4 -v -w4 | tr -d ' ' |
        grep -A5 '^feef04bd$' | tr '\n' ' ')
    major=${version%%.*}
    minor=$((10#${version#*.}))
    numbers=$(printf '%08x 00000000 %08x 00000000' $(((major << 16) | minor)) $(((major << 16) | minor)))
    check "version resource: fixed FileVersion and ProductVersion $major.$minor.0.0" \
        test "${fixed#feef04bd 00010000 }" = "$numbers "
    manifest=$(wrestool -x --raw -t 24 -n 1 "$windir/morva.exe")
    check "manifest: asInvoker" grep -q 'requestedExecutionLevel level="asInvoker"' <<<"$manifest"
    for os in e2011457-1546-43c5-a5fe-008deee3d3f0 35138b9a-5d96-4fbd-8e2d-a2440225f93a \
        4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 1f676c76-80e1-4239-95bb-83d0f6d0da78 \
        8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
        check "manifest: supportedOS {$os}" grep -q "supportedOS Id=\"{$os}\"" <<<"$manifest"
    done
done

echo "== $(basename "$tgz")"
mkdir "$work/tgz"
tar xzf "$tgz" -C "$work/tgz"
tgzdir=$work/tgz/morva-$version-linux-x86_64
check "tar.gz holds the programs, their manual pages, the README and its pages" test \
    "$(cd "$tgzdir" && find . -type f ! -path './share/doc/morva/docs/*' | sort | tr '\n' ' ')" = \
    "./bin/morva ./bin/morva-ports ./bin/tarvex-sim ./share/doc/morva/README.md ./share/man/man1/morva-ports.1 ./share/man/man1/morva.1 ./share/man/man1/tarvex-sim.1 "
check "tar.gz: share/doc/morva/docs holds the pages that the README links to" \
    test "$(cd "$tgzdir/share/doc/morva/docs" && ls | tr '\n' ' ')" = "$(cd docs && ls | tr '\n' ' ')"
mkdir "$work/ports"
start_sim "$work/ports" "$tgzdir/bin/tarvex-sim"
export MORVA_PORTS=$work/ports
expect "tar.gz: morva SCOM 3" 0 "" "$tgzdir/bin/morva" SCOM 3
check "tar.gz: morva.ini beside morva holds port 3" stored_port "$tgzdir/bin/morva.ini" 3
expect "tar.gz: morva SCOM" 0 $'3\n' "$tgzdir/bin/morva" SCOM
expect "tar.gz: morva UTID" 0 "$identity" "$tgzdir/bin/morva" UTID
unset MORVA_PORTS

export WINEPREFIX=$work/wineprefix WINEDEBUG=-all
tests/e2e/wine_prefix.sh setup "$WINEPREFIX"
start_sim "$WINEPREFIX/dosdevices" "$tgzdir/bin/tarvex-sim"
for bits in 64 32; do
    echo "== morva-$version-win$bits.zip under Wine"
    if [ "$bits" = 32 ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
        echo "skipped: no 32-bit Wine on this machine"
        continue
    fi
    windir=$work/win$bits/morva-$version-win$bits
    # As in a command prompt in the unpacked folder: "morva" is found there, and so is morva.ini.
    winrun() { (cd "$windir" && wine cmd /c "$@"); }
    WINE=1 expect "zip: morva SCOM 3" 0 "" winrun morva SCOM 3
    check "zip: morva.ini beside morva.exe holds port 3" stored_port "$windir/morva.ini" 3
    WINE=1 expect "zip: morva SCOM" 0 $'3\n' winrun morva SCOM
    WINE=1 expect "zip: morva UTID" 0 "$identity" winrun morva UTID
done
stop_sims
tests/e2e/wine_prefix.sh cleanup "$WINEPREFIX"
unset WINEPREFIX WINEDEBUG

echo "== $(basename "$deb")"
lintian -I "$deb" >"$work/lintian" 2>/dev/null || true
check "deb: lintian -I reports nothing" test ! -s "$work/lintian"
sed 's/^/    /' "$work/lintian"
dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; exit 1; }
installed=yes
check "deb: the programs hardened (hardening-check)" eval \
    'hardening-check --nocfprotection /opt/morva/bin/morva /opt/morva/bin/morva-ports /opt/morva/bin/tarvex-sim >/dev/null'
ini=/var/lib/morva/morva.ini
for file in /opt/morva/bin/morva /opt/morva/bin/morva-ports /opt/morva/bin/tarvex-sim \
    /usr/bin/morva /usr/bin/morva-ports /usr/bin/tarvex-sim /usr/share/man/man1/morva.1.gz \
    /usr/share/man/man1/morva-ports.1.gz /usr/share/doc/morva/copyright; do
    check "deb: installs $file" test -f "$file"
done
check "deb: man finds morva's manual page" test "$(man -w morva)" = /usr/share/man/man1/morva.1.gz
check "deb: morva-ports runs by its bare name" eval 'morva-ports --help | grep -q "^Usage: morva-ports"'
check "deb: ${ini%/*} root:dialout 2775, no settings file yet" \
    eval 'test "$(stat -c "%U:%G %a" "${ini%/*}")" = "root:dialout 2775" && test ! -e "$ini"'
useradd --create-home --home-dir "$work/home" --shell /bin/sh --groups dialout "$user"
useradd --create-home --home-dir "$work/home2" --shell /bin/sh --groups dialout "$user2"
useradd --create-home --home-dir "$work/home3" --shell /bin/sh "$outsider"
mkdir "$work/userports"
chown "$user" "$work/userports"
# The device belongs to the same user, as a user's own simulator or USB adapter would.
start_sim "$work/userports" /opt/morva/bin/tarvex-sim \
    setpriv --reuid="$user" --regid="$user" --init-groups --
# A login shell (PATH as /etc/profile makes it); as_user_plain: no login, the environment
# emptied, as a cron job or a service starts a command.
as_user() { runuser -l "${who:-$user}" -c "MORVA_PORTS=$work/userports $*"; }
as_user_plain() {
    runuser -u "${who:-$user}" -- env -i "MORVA_PORTS=$work/userports" /bin/sh -c "$*"
}
expect "deb: morva found by its bare name on the login PATH" 0 $'/usr/bin/morva\n' \
    as_user command -v morva
expect "deb: fresh install: morva UTID finds no settings file" 1 $'Not found : morva.ini\n' \
    as_user_plain morva UTID
expect "deb: fresh install: morva SCOM finds no settings file" 1 $'SCOM : morva.ini not found\n' \
    as_user morva SCOM
expect "deb: morva SCOM 3 as a user in dialout" 0 "" as_user morva SCOM 3
check "deb: $ini holds port 3, group dialout, mode 664" \
    eval 'stored_port "$ini" 3 && test "$(stat -c "%G %a" "$ini")" = "dialout 664"'
expect "deb: morva UTID from env -i, no login" 0 "$identity" as_user_plain morva UTID
who=$user2 expect "deb: another user in dialout stores port 5" 0 "" as_user morva SCOM 5
who=$outsider expect "deb: a user outside dialout reads it" 0 $'5\n' as_user morva SCOM
who=$outsider as_user morva SCOM 7 >/dev/null 2>&1 || true
check "deb: a user outside dialout cannot change it" stored_port "$ini" 5
expect "deb: the first user reads port 5" 0 $'5\n' as_user_plain morva SCOM
stop_sims

dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; exit 1; }
check "deb: upgrade keeps the stored port" stored_port "$ini" 5
dpkg --remove morva >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; exit 1; }
check "deb: remove takes the programs and keeps the settings file" \
    eval 'test ! -e /opt/morva && test ! -e /usr/bin/morva && stored_port "$ini" 5'
dpkg --purge morva >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; exit 1; }
installed=no
check "deb: purge leaves nothing" eval \
    'test ! -e /opt/morva && test ! -e "${ini%/*}" && ! dpkg-query -W morva >/dev/null 2>&1'

if [ "$failures" -ne 0 ]; then
    echo "package tests: $failures failed"
    exit 1
fi
echo "package tests: all passed"
