#!/bin/sh
# Usage: wine-run.sh [--isolated] PREFIX PROGRAM [ARGS...]
# Runs a Windows program under Wine in PREFIX, unattended: no debug chatter,
# no Mono/Gecko installer dialogs, the prefix created on first use. With
# --isolated the program sees none of the host's files: the prefix loses its
# Z: drive (the host's root) and the program runs from inside its C:, so it
# must lie there too.
set -e
isolated=false
if [ "$1" = --isolated ]; then
    isolated=true
    shift
fi
prefix=$(realpath -m "$1")
shift
export WINEPREFIX="$prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$prefix/system.reg" ]; then
    mkdir -p "$prefix"
    # Parallel test runs may all find the prefix missing; one creates it.
    flock "$prefix/.boot.lock" sh -c '[ -f "$WINEPREFIX/system.reg" ] || wineboot -i >/dev/null 2>&1'
    wineserver -w
fi
# A server and system services that outlive each program make every later
# start cheap. They are started here with no output attached, so they never
# hold the caller's pipes open; whoever runs the tests stops them at the end
# (wineserver -k), as test.sh and the end-to-end cleanup do.
if wineserver -p 30 </dev/null >/dev/null 2>&1; then
    wineboot </dev/null >/dev/null 2>&1
fi
if $isolated; then
    rm -f "$prefix/dosdevices/z:"
    cd "$prefix/drive_c"
fi
exec wine "$@"
