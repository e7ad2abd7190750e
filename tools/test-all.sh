#!/bin/sh
# Sets the machine up, builds and runs every test: Linux with AddressSanitizer
# and UndefinedBehaviorSanitizer, the concurrency tests again under
# ThreadSanitizer, and the Windows build under Wine. Fails on the first failure.
set -eu
cd "$(dirname "$0")/.."
tools/setup.sh

for preset in linux-asan linux-tsan windows; do
  echo "==== $preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
echo "==== all tests passed"
