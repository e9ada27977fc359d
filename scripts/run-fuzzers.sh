#!/usr/bin/env bash
# Runs every fuzz program of a build directory for a bounded time each, starting from its seed
# corpus. Usage: scripts/run-fuzzers.sh BUILD_DIR [SECONDS]
# Crashes and leaks are written to BUILD_DIR/findings/<target>/; the script fails if any target
# found one.
set -euo pipefail
build=${1:?build directory}
seconds=${2:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
status=0
for program in "$build"/fuzz/*_fuzz; do
    [ -x "$program" ] || continue
    name=$(basename "$program")
    corpus="$build/corpus/$name"
    findings="$build/findings/$name"
    mkdir -p "$corpus" "$findings"
    seeds="$root/fuzz/corpus/$name"
    [ -d "$seeds" ] && cp -n "$seeds"/* "$corpus"/ 2>/dev/null || true
    options=(-max_total_time="$seconds" -artifact_prefix="$findings/" -print_final_stats=1)
    [ -f "$root/fuzz/$name.dict" ] && options+=(-dict="$root/fuzz/$name.dict")
    echo "== $name for ${seconds}s"
    if ! "$program" "$corpus" "${options[@]}" 2>&1 | tail -n 20; then
        status=1
    fi
    if [ -n "$(ls -A "$findings")" ]; then
        echo "== $name: findings in $findings"
        status=1
    fi
done
exit $status
