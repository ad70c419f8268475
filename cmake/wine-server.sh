#!/bin/sh
# Starts (start PREFIX) or stops (stop PREFIX) the wineserver that the Windows tests share,
# creating the prefix on first use. Every standard stream goes to /dev/null: Wine's background
# processes would otherwise keep the test runner's output pipe open and it would never finish.
export WINEPREFIX="$2"
export WINEDEBUG=-all
server=/usr/lib/wine/wineserver
case "$1" in
  start)
    "$server" -k </dev/null >/dev/null 2>&1
    "$server" -w </dev/null >/dev/null 2>&1
    mkdir -p "$WINEPREFIX"
    "$server" -p </dev/null >/dev/null 2>&1 || exit 1
    # Booting the prefix starts Wine's services now, with our quiet streams, rather than
    # inside the first test (whose output pipe they would inherit).
    /usr/lib/wine/wine64 wineboot --init </dev/null >/dev/null 2>&1 || exit 1
    ;;
  stop)
    "$server" -k </dev/null >/dev/null 2>&1
    "$server" -w </dev/null >/dev/null 2>&1
    ;;
esac
exit 0
