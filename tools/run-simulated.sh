#!/bin/sh
# Sets the machine up, builds the update tool and runs a whole update of the
# simulated mouse in the terminal, answering Start by itself. The trace (one
# line per packet) goes to build/linux-release/MirelFirmwareUpdate.trace.txt.
# Extra arguments go to the tool, for example --sim-faults=drop=120.
set -eu
cd "$(dirname "$0")/.."
tools/setup.sh
cmake --preset linux-release >/dev/null
cmake --build --preset linux-release --target MirelFirmwareUpdate
exec build/linux-release/app/MirelFirmwareUpdate --simulate --console --yes --trace "$@" \
  2>build/linux-release/MirelFirmwareUpdate.trace.txt
