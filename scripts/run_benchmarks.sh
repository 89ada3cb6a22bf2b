#!/usr/bin/env bash
# Runs every benchmark and prints its figures. Nothing here asserts a target:
# the figures are read beside the baselines each benchmark measures in the
# same run.
set -uo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
status=0
for bin in "$BUILD_DIR"/bench/bench_*; do
  [ -x "$bin" ] || continue
  echo "== $(basename "$bin")"
  "$bin" --benchmark_min_time=0.2 || status=1
done
for script in bench/*.py; do
  [ -f "$script" ] || continue
  echo "== $script"
  .venv/bin/python "$script" || status=1
done
exit $status
