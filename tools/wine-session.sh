#!/bin/sh
# Starts or stops the one persistent wineserver that every Windows test
# executable of a ctest run shares, so each test costs milliseconds instead of
# a Wine start-up.
#   wine-session.sh start PREFIX WINE64
#   wine-session.sh stop PREFIX
set -eu
action=$1
export WINEPREFIX=$2
export WINEDEBUG=-all
case "$action" in
  start)
    wine64=$3
    mkdir -p "$WINEPREFIX"
    # The server and the services Wine starts outlive this script; they must not
    # hold ctest's output pipe open, or ctest would wait for them forever.
    wineserver -p </dev/null >/dev/null 2>&1
    # The first program run creates the prefix; do it here, once.
    "$wine64" cmd.exe /c exit 0 </dev/null >/dev/null 2>&1 || true
    ;;
  stop)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    ;;
esac
