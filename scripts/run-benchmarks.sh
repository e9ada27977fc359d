#!/usr/bin/env bash
# Runs every benchmark program of a build directory, one after the other, with its peers in the
# same run. Usage: scripts/run-benchmarks.sh BUILD_DIR [benchmark args...]
set -euo pipefail
build=${1:?build directory}
shift || true
status=0
for program in "$build"/bench/*_bench; do
    [ -x "$program" ] || continue
    echo "== $(basename "$program")"
    "$program" --benchmark_counters_tabular=true "$@" || status=1
done
exit $status
