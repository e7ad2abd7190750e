#!/bin/sh
# Runs every libFuzzer target of a build for a while, two at a time, each from
# its seed corpus (fuzz/corpus/<name without _fuzz>, when there is one). New
# inputs and crash files go to a scratch folder, never into the sources.
# Prints executions and executions per second per target; fails when any
# target finds a crash, a leak, a time-out or undefined behaviour.
#
#   tools/fuzz-run.sh [SECONDS] [BUILD_DIR]     (defaults: 20, build/fuzz)
#
# A campaign keeps what it found: FUZZ_KEEP=DIR keeps each target's grown
# corpus and any crash files under DIR/<target>.
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-20}
build=${2:-build/fuzz}
jobs=${FUZZ_JOBS:-2}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/fuzz-run.XXXXXX")
trap 'rm -rf "$scratch"' EXIT INT TERM

targets=$(find "$build/fuzz" -maxdepth 1 -type f -name '*_fuzz' -perm -u+x | sort)
if [ -z "$targets" ]; then
  echo "fuzz-run: no fuzz targets in $build/fuzz" >&2
  exit 1
fi

run_one() {
  target=$1
  name=$(basename "$target")
  work="$scratch/$name"
  mkdir -p "$work/corpus" "$work/artifacts"
  seeds="fuzz/corpus/${name%_fuzz}"
  [ -d "$seeds" ] || seeds=""
  # UBSan reports abort the run so that libFuzzer keeps the input.
  status=0
  UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1 \
    "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" "$work/corpus" $seeds >"$work/log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log" | tail -n 1)
  if [ -n "${FUZZ_KEEP:-}" ]; then
    mkdir -p "$FUZZ_KEEP/$name"
    cp -r "$work/corpus" "$work/artifacts" "$work/log" "$FUZZ_KEEP/$name/"
  fi
  if [ "$status" -ne 0 ]; then
    echo "FAILED $name (exit $status) after ${runs:-?} runs"
    tail -n 40 "$work/log"
    return 1
  fi
  printf '%-28s %6ss %12s runs %10s runs/s\n' "$name" "$seconds" "${runs:-?}" "${rate:-?}"
}

failed=0
running=0
pids=""
for target in $targets; do
  run_one "$target" >"$scratch/$(basename "$target").out" 2>&1 &
  pids="$pids $!"
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    for pid in $pids; do wait "$pid" || failed=1; done
    pids=""
    running=0
  fi
done
for pid in $pids; do wait "$pid" || failed=1; done
cat "$scratch"/*.out
if [ "$failed" -ne 0 ]; then
  echo "fuzz-run: a target failed" >&2
  exit 1
fi
