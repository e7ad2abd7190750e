#!/bin/sh
# Runs one Windows test executable under Wine and fails unless it finished its
# whole test run: a program that crashes or leaves early can end with status 0
# under Wine, so the exit status alone proves nothing. The test main prints
# the line "rodiz-test-main: test run finished" after its last test; without
# that line, or with a non-zero status, this script fails.
#   wine-test.sh XVFB_STATE_DIR WINEPREFIX WINE64 PROGRAM [ARGUMENTS...]
# The program runs in that prefix, on the virtual display of
# tools/xvfb-session.sh when one is up.
set -u
state=$1
WINEPREFIX=$2
wine=$3
shift 3
WINEDEBUG=-all
export WINEPREFIX WINEDEBUG
# Wine finds its server below TMPDIR: with the tests' own TMPDIR every program
# would start a wineserver and Wine's services of its own (seconds each)
# instead of using the run's (tools/wine-session.sh). Windows programs take
# their temporary folder from the prefix, not from TMPDIR.
unset TMPDIR

if [ -s "$state/display" ]; then
  DISPLAY=":$(tr -d '\n' <"$state/display")"
  export DISPLAY
fi

output=$(mktemp)
status_file=$(mktemp)
trap 'rm -f "$output" "$status_file"' EXIT
{
  "$wine" "$@" 2>&1
  echo $? >"$status_file"
} | tee "$output"
status=$(cat "$status_file")

if [ "$status" != 0 ]; then
  echo "wine-test: FAILED: $1 ended with status $status"
  exit 1
fi
if ! grep -q '^rodiz-test-main: test run finished' "$output"; then
  echo "wine-test: FAILED: $1 ended with status 0 but did not finish its test run (a crash or an early exit)"
  exit 1
fi
exit 0
