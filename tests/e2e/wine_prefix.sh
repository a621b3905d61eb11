#!/bin/sh
# Creates or removes the Wine prefix that the end-to-end tests of morva.exe share in one run.
# A persistent wineserver keeps Wine from recreating its own com<n> links while tests run.
set -u
action=$1
prefix=$2
# The locale that the tests give Wine, whatever the caller's (names outside ASCII need UTF-8).
unset LANG LANGUAGE
export WINEPREFIX="$prefix" WINEDEBUG=-all LC_ALL=C.UTF-8
case "$action" in
setup)
    WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true
    rm -rf "$prefix"
    mkdir -p "$prefix"
    # The server must be persistent from its start: a later "wineserver -p" does not change a
    # running one, and a restarted server brings back its own com1 link.
    wineserver -p </dev/null >/dev/null 2>&1 || { echo "wineserver failed" >&2; exit 1; }
    wineboot -i >/dev/null 2>&1 || { echo "wineboot failed" >&2; exit 1; }
    rm -f "$prefix"/dosdevices/com*
    ;;
cleanup)
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$prefix"
    ;;
*)
    echo "usage: $0 setup|cleanup PREFIX" >&2
    exit 2
    ;;
esac
