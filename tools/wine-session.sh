#!/bin/sh
# Starts or stops the one persistent wineserver that every Windows test
# executable of a ctest run shares, so each test costs milliseconds instead of
# a Wine start-up.
#   wine-session.sh start PREFIX WINE64 [XVFB_STATE_DIR]
#   wine-session.sh stop PREFIX
# With the state directory of tools/xvfb-session.sh, Wine's desktop process
# starts on that virtual display.
set -eu
action=$1
export WINEPREFIX=$2
export WINEDEBUG=-all
case "$action" in
  start)
    wine64=$3
    if [ $# -ge 4 ] && [ -s "$4/display" ]; then
      DISPLAY=":$(tr -d '\n' <"$4/display")"
      export DISPLAY
    fi
    mkdir -p "$WINEPREFIX"
    # The server and the services Wine starts outlive this script; they must not
    # hold ctest's output pipe open, or ctest would wait for them forever.
    wineserver -p </dev/null >/dev/null 2>&1
    # The first program run creates the prefix; do it here, once.
    "$wine64" cmd.exe /c exit 0 </dev/null >/dev/null 2>&1 || true
    # A crashing test must end, not wait in a crash dialog or a debugger.
    "$wine64" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
      </dev/null >/dev/null 2>&1 || true
    "$wine64" reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f \
      </dev/null >/dev/null 2>&1 || true
    ;;
  stop)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    ;;
esac
