#!/bin/sh
# Sets the machine up, builds and runs every test: Linux with AddressSanitizer
# and UndefinedBehaviorSanitizer (with the installed library and the Debian
# package and its validators), the concurrency tests again under
# ThreadSanitizer, the Windows build under Wine (with its installer and ZIP),
# and every libFuzzer target for 20 seconds from its seed corpus. Fails on the
# first failure.
set -eu
cd "$(dirname "$0")/.."
start=$(date +%s)
# Seconds since the start, so that a slow stage shows in the log.
elapsed() { echo "==== $1 after $(($(date +%s) - start)) s"; }
tools/setup.sh
elapsed "set-up"

for preset in linux-asan linux-tsan windows; do
  echo "==== $preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  elapsed "$preset build"
  ctest --preset "$preset"
  elapsed "$preset tests"
done
echo "==== fuzz"
cmake --preset fuzz
cmake --build --preset fuzz
elapsed "fuzz build"
tools/fuzz-run.sh 20 build/fuzz
elapsed "fuzz runs"
echo "==== all tests passed"
