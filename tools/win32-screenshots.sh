#!/bin/sh
# Renders the Windows update window in each state, in English and German, to
# PNG files (default docs/screenshots). Build the windows preset first.
#   tools/win32-screenshots.sh [OUTPUT_DIRECTORY]
set -eu
cd "$(dirname "$0")/.."
build=build/windows
out=${1:-docs/screenshots}
mkdir -p "$out"
out=$(cd "$out" && pwd)
state=$(mktemp -d)
WINEPREFIX=$(pwd)/$build/wineprefix
WINEDEBUG=-all
export WINEPREFIX WINEDEBUG
wine=wine
if [ -x /usr/lib/wine/wine64 ]; then wine=/usr/lib/wine/wine64; fi
# The virtual display has no window manager: Wine draws the caption and the
# frame itself while the pictures are taken, and leaves that to the window
# manager again afterwards (the tests share the prefix).
x11_key='HKCU\Software\Wine\X11 Driver'
cleanup() {
  "$wine" reg delete "$x11_key" /v Decorated /f >/dev/null 2>&1 || true
  wineserver -k >/dev/null 2>&1 || true
  tools/xvfb-session.sh stop "$state"
  rm -rf "$state"
}
trap cleanup EXIT
tools/xvfb-session.sh start "$state" >/dev/null
DISPLAY=":$(tr -d '\n' <"$state/display")"
export DISPLAY
"$wine" reg add "$x11_key" /v Decorated /d N /f >/dev/null 2>&1
"$wine" "$build/tests/win32_dialog_screenshots.exe" "Z:$(echo "$out" | tr / '\\')"
echo "screenshots in $out"
