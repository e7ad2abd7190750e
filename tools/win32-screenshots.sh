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
trap 'tools/xvfb-session.sh stop "$state"; rm -rf "$state"' EXIT
tools/xvfb-session.sh start "$state" >/dev/null
DISPLAY=":$(tr -d '\n' <"$state/display")"
WINEPREFIX=$(pwd)/$build/wineprefix
WINEDEBUG=-all
export DISPLAY WINEPREFIX WINEDEBUG
wine=wine
if [ -x /usr/lib/wine/wine64 ]; then wine=/usr/lib/wine/wine64; fi
"$wine" "$build/tests/win32_dialog_screenshots.exe" "Z:$(echo "$out" | tr / '\\')"
echo "screenshots in $out"
