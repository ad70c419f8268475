#!/bin/sh
# Starts (start PREFIX [win32]) or stops (stop PREFIX [win32]) the wineserver that the Windows
# tests share, creating the prefix on first use: a 64-bit prefix, or with win32 a 32-bit one run
# by the 32-bit loader and server. Every standard stream goes to /dev/null: Wine's background
# processes would otherwise keep the test runner's output pipe open and it would never finish.
export WINEPREFIX="$2"
export WINEDEBUG=-all
loader=/usr/lib/wine/wine64
server=/usr/lib/wine/wineserver
if [ "${3:-win64}" = win32 ]; then
  export WINEARCH=win32
  loader=/usr/lib/wine/wine
  server=/usr/lib/wine/wineserver32
fi
case "$1" in
  start)
    "$server" -k </dev/null >/dev/null 2>&1
    "$server" -w </dev/null >/dev/null 2>&1
    mkdir -p "$WINEPREFIX"
    "$server" -p </dev/null >/dev/null 2>&1 || exit 1
    # Booting the prefix starts Wine's services now, with our quiet streams, rather than
    # inside the first test (whose output pipe they would inherit).
    "$loader" wineboot --init </dev/null >/dev/null 2>&1 || exit 1
    ;;
  stop)
    "$server" -k </dev/null >/dev/null 2>&1
    "$server" -w </dev/null >/dev/null 2>&1
    ;;
esac
exit 0
