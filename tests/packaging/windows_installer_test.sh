#!/bin/sh
# The Windows packages under Wine: the installer installs silently (/S) into
# a folder of the test's own, for this user only; the installed program
# answers --version; the silent uninstaller removes what the installer put
# there (program, uninstaller, Start-menu shortcut, uninstall entry). Then the
# ZIP: it holds the program, and zipping it again gives the same bytes.
#   windows_installer_test.sh XVFB_STATE WINEPREFIX WINE64 INSTALLER ZIP PROGRAM
#                             MAKE_ZIP_SCRIPT SOURCE_DATE_EPOCH SCRATCH
set -eu
state=$1 WINEPREFIX=$2 wine=$3 installer=$4 zip=$5 program=$6 make_zip=$7 epoch=$8 scratch=$9
WINEDEBUG=-all
export WINEPREFIX WINEDEBUG
# The run's persistent wineserver is found below the default TMPDIR only.
unset TMPDIR
if [ -s "$state/display" ]; then
  DISPLAY=":$(tr -d '\n' <"$state/display")"
  export DISPLAY
fi
fail() { echo "FAIL: $*" >&2; exit 1; }

folder=rodiz-installer-test-$$
target_unix=$WINEPREFIX/drive_c/$folder
target='C:\'$folder
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\MirelFirmwareUpdate'
rm -rf "$scratch" "$target_unix"
mkdir -p "$scratch"
trap 'rm -rf "$scratch" "$target_unix"' EXIT

# /D= must come last and unquoted.
timeout -s KILL 120 "$wine" "$installer" /S "/D=$target" || fail "the installer failed"
for file in MirelFirmwareUpdate.exe Uninstall.exe; do
  [ -f "$target_unix/$file" ] || fail "$file was not installed"
done
cmp -s "$program" "$target_unix/MirelFirmwareUpdate.exe" || fail "the installed program is not the built one"
shortcut=$(find "$WINEPREFIX/drive_c/users" -path '*Start Menu/Programs/Mirel Firmware Update.lnk' | head -n 1)
[ -n "$shortcut" ] || fail "no Start-menu shortcut"
"$wine" reg query "$key" /v DisplayVersion 2>/dev/null | grep -q "14.2.7" || fail "no uninstall entry"

version=$(timeout -s KILL 60 "$wine" "$target\\MirelFirmwareUpdate.exe" --version 2>/dev/null | tr -d '\r') ||
  fail "the installed program failed --version"
echo "$version"
case $version in *14.2.7*) ;; *) fail "--version says '$version'" ;; esac

# The uninstaller copies itself away and runs from there, so it returns
# before it is done: wait for its work, up to half a minute.
timeout -s KILL 60 "$wine" "$target\\Uninstall.exe" /S || fail "the uninstaller failed"
tries=0
while [ -e "$target_unix" ] || [ -e "$shortcut" ]; do
  tries=$((tries + 1))
  [ "$tries" -le 300 ] || fail "the uninstaller left $(ls -A "$target_unix" 2>/dev/null) $shortcut"
  sleep 0.1
done
if "$wine" reg query "$key" >/dev/null 2>&1; then fail "the uninstall entry is still there"; fi

# The ZIP: the program alone, and the same bytes when made again.
listing=$(unzip -Z1 "$zip")
[ "$listing" = "MirelFirmwareUpdate.exe" ] || fail "the ZIP holds: $listing"
cmake -DOUTPUT="$scratch/again.zip" -DFILES="$program" -DSOURCE_DATE_EPOCH="$epoch" -P "$make_zip"
cmp "$zip" "$scratch/again.zip" || fail "zipping the program again gave other bytes"
echo "windows packages: silent install, --version, uninstall and reproducible ZIP passed"
